#pragma once
// The process's one pseudo-random generator: seeded once by the codec host at start-up, drawn from
// by whoever needs a number nobody should predict twice (for example the serial numbers of Ogg
// streams). Safe to call from several conversion threads at once.
#include <cstdint>

namespace sonavert {

void SeedRandom(uint64_t seed);
// The next 32-bit number of the sequence.
uint32_t NextRandom();

}  // namespace sonavert
