#pragma once
// A bounds-checked reader of Standard MIDI Files (and RIFF RMID wrappers) for the playing time.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sonavert::bass {

struct SmfTiming {
    bool valid = false;
    int format = 0;
    int tracks = 0;
    uint64_t endTick = 0;  // tick of the last event over all tracks
    double seconds = 0;    // playing time up to endTick, following the tempo map
};

// Returns the SMF bytes inside `data`: the whole of it for a plain SMF, the "data" chunk of a RIFF
// RMID file. Sets `size` to 0 when there is no SMF.
const uint8_t* FindSmf(const uint8_t* data, size_t& size);

// Parses an SMF (format 0, 1 or 2) and computes its playing time from the tempo meta events.
// Malformed tracks end where they become unreadable.
SmfTiming ParseSmfTiming(const uint8_t* data, size_t size);

}  // namespace sonavert::bass
