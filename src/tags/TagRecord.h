#pragma once
#include <string>

namespace sonavert {

// The nine tag texts carried from a source to a target, in their fixed order, then the album
// artist and disc number, which name targets (a library's folders) but are not written.
struct TagRecord {
    std::string title;
    std::string artist;
    std::string album;
    std::string year;
    std::string genre;
    std::string comment;
    std::string track;
    std::string composer;
    std::string copyright;
    std::string albumArtist;
    std::string disc;  // the disc's number as the file has it ("1", "1/2")
};

}  // namespace sonavert
