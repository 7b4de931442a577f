#pragma once
// The ID3v1 genre list with its common extensions: 148 names, index 0 "Blues" to 147 "Synthpop".
#include <string>
#include <string_view>

namespace sonavert {

inline constexpr int kGenreCount = 148;

// The names in index order, followed by a null end marker (kGenreCount + 1 entries).
extern const char* const kGenreNames[kGenreCount + 1];

// The name of a genre number, or an empty view outside 0..147.
std::string_view GenreName(int index);
// The index of a genre name compared without regard to ASCII letter case, or -1 when it is not listed.
int GenreIndex(std::string_view name);

}  // namespace sonavert
