#pragma once
// Snapping a requested value (a sample rate, a bit rate) to an ascending table of allowed values.
#include <cstdint>
#include <span>

namespace sonavert {

// Returns the table entry nearest to `value`: an entry equal to it stays; a value below the first
// entry gives the first, above the last gives the last; between two entries the nearer one wins,
// the lower one on a tie. `table` must be ascending and not empty.
inline uint32_t NearestValue(std::span<const uint32_t> table, uint32_t value) {
    if (table.empty()) return value;
    if (value <= table.front()) return table.front();
    if (value >= table.back()) return table.back();
    for (size_t i = 1; i < table.size(); ++i) {
        if (value > table[i]) continue;
        const uint32_t lower = table[i - 1];
        const uint32_t upper = table[i];
        return (value - lower <= upper - value) ? lower : upper;
    }
    return table.back();
}

}  // namespace sonavert
