#pragma once
// Reading the nine tag texts out of files of every kind. Texts come back as UTF-8, the local text
// encoding of this system.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tags/TagRecord.h"

namespace sonavert {

// The layout of the joined tag text ReadTagsText produces: nine fields separated by line feeds.
inline constexpr std::string_view kTagsTextFormat =
    "%TRCK\n%TITL\n%ARTI\n%ALBM\n%GNRE\n%YEAR\n%CMNT\n%COMP\n%COPY";

// Converts tag text read as UTF-8 to the local text encoding. The local encoding is UTF-8, so valid
// text comes back unchanged; malformed UTF-8 (bad sequences, overlong forms, surrogates, values
// above U+10FFFF) fails.
std::optional<std::string> Utf8ToLocal(std::string_view utf8);

// Resolves an ID3 genre text: "(17)" gives the listed name "Rock", "(17)Rock and Roll" the text after
// the parenthesis, a number outside the list an empty text; anything else comes back unchanged.
std::string ResolveId3Genre(std::string_view genre);

// A track text as a number: leading blanks and a sign allowed, decimal digits up to the first
// other character, 0 when there are none.
int ParseTrackNumber(std::string_view text);

// The Vorbis comments written for a tag record (Ogg Vorbis, Opus, FLAC): TITLE, ARTIST, ALBUM,
// DATE, GENRE, COMMENT, COMPOSER, COPYRIGHT for each text that is not empty and is valid UTF-8,
// then TRACKNUMBER when the track text's value is greater than 0.
std::vector<std::pair<const char*, std::string>> VorbisComments(const TagRecord& tags);

// How deep boxes of an MP4 file and chapter frames (frames holding frames) of an ID3v2 tag may
// nest. Real files stay below ten levels; the tag library walks both recursively, and a file
// nested thousands of levels deep would exhaust its stack.
inline constexpr size_t kTagNestingLimit = 64;

// Whether a file's MP4 boxes and the chapter frames of its ID3v2 tags (at its start, or in the ID3
// chunk of a WAV or AIFF file) stay within kTagNestingLimit. The readers below read no tags from a
// file beyond it (they return false).
bool TagNestingWithinBounds(const std::string& path);

// ID3 tags (ID3v2 first, ID3v1 for whatever ID3v2 lacks) of a file, or of ID3 data held in memory
// (an ID3v2 tag, optionally followed by more data). Fields without a frame are set empty. Artist is
// TPE1, else TPE2, else TPE3. Returns true when any field was found; the record is overwritten
// either way.
bool ReadId3FileTags(const std::string& path, TagRecord& tags);
bool ReadId3Tags(const uint8_t* data, size_t size, TagRecord& tags);

// MP4 metadata (title, artist, album, year, genre, comment, composer, track number). The track
// number alone does not count as tags; copyright is always set empty. Returns true when any text
// was found. Fields without an entry are left as they were.
bool ReadMp4Metadata(const std::string& path, TagRecord& tags);

// The nine tag texts of a file of any tagged format (MP3, FLAC, Ogg, APE, WavPack, MP4, ...) joined
// in the order of kTagsTextFormat. Line feeds inside the first eight fields become blanks so that
// they cannot shift the fields behind them. Returns false (and an empty text) when the file cannot
// be read or holds no tag text at all.
bool ReadTagsText(const std::string& path, std::string& text);

// The tag record of a file of any tagged format, read as ReadTagsText reads it, with the album
// artist and the disc number (which alone do not count as tags, but for MP3 files an album artist
// stands in for a missing artist, as ReadId3FileTags has it). Texts are as the tag library
// gives them (UTF-8). Returns false, the record empty, when there are no tag texts.
bool ReadFileTags(const std::string& path, TagRecord& tags);

// The first nine fields of a record joined in the order of kTagsTextFormat, line feeds inside the
// first eight made blanks.
std::string JoinTagsText(const TagRecord& tags);

// Splits a joined tag text into the record, in the order track, title, artist, album, genre, year,
// comment, composer, copyright. Each of the first eight fields is assigned only when its
// terminating line feed is present; copyright is the rest after the eighth line feed and is
// assigned together with composer. Splitting stops at the first missing line feed, leaving the
// fields behind it untouched. Returns the number of fields assigned.
int SplitTagsText(std::string_view text, TagRecord& tags);

}  // namespace sonavert
