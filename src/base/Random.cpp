#include "base/Random.h"

#include <mutex>
#include <random>

namespace sonavert {
namespace {

struct Generator {
    std::mutex mutex;
    std::mt19937 engine{5489u};
};

Generator& TheGenerator() {
    static Generator generator;
    return generator;
}

}  // namespace

void SeedRandom(uint64_t seed) {
    Generator& g = TheGenerator();
    std::lock_guard<std::mutex> lock(g.mutex);
    std::seed_seq seq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32)};
    g.engine.seed(seq);
}

uint32_t NextRandom() {
    Generator& g = TheGenerator();
    std::lock_guard<std::mutex> lock(g.mutex);
    return static_cast<uint32_t>(g.engine());
}

}  // namespace sonavert
