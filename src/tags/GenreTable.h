#pragma once
// The ID3v1 genre table with its common extensions: 148 names, index 0 "Blues" to 147 "Synthpop".
#include <array>
#include <string_view>

namespace sonavert {

inline constexpr int kGenreCount = 148;

// The names in table order; the index of a name is its ID3v1 genre number.
const std::array<std::string_view, kGenreCount>& GenreNames();

}  // namespace sonavert
