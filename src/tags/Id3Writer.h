#pragma once
// Rendering the ID3 tags of MP3 targets, in memory.
#include <cstdint>
#include <vector>

#include "tags/TagRecord.h"

namespace sonavert {

struct Picture;

// Renders one ID3 tag from the texts of `tags` (its track text is not used; `track` and `total`
// give the track, only their low 8 bits count). Version 1 gives the 128-byte ID3v1 block, version
// 2 an ID3v2.3 tag. Returns an empty vector for any other version.
//
// Version 2 frames, in this order: TIT2, TPE1, TALB, TYER (each even when empty), TCON with the
// genre text, TCOM and TCOP only when not empty, COMM (language "XXX", empty description), and
// TRCK ("track" or "track/total") only when the track's low 8 bits are not 0. A text is stored as
// Latin-1 when it fits, otherwise as UTF-16.
//
// Version 1 holds title, artist, album, year, comment and track as Latin-1 (characters outside it
// become '?'), and the genre's number in the genre list, or 12 ("Other") for an unlisted name.
// With `picture`, version 2 ends its frames with an APIC frame holding it (its MIME type, type,
// description and bytes as they are).
std::vector<uint8_t> BuildId3Block(int version, const TagRecord& tags, uint32_t track, uint32_t total = 0,
                                   const Picture* picture = nullptr);

// An ID3v2.3 tag holding only an APIC frame with `picture`: the tag of a target that has a picture
// but no texts.
std::vector<uint8_t> BuildId3PictureTag(const Picture& picture);

}  // namespace sonavert
