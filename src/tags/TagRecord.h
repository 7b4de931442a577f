#pragma once
#include <string>

namespace sonavert {

// The nine tag texts carried from a source to a target, in their fixed order.
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
};

}  // namespace sonavert
