#pragma once
// The table of stored settings shared by the store and SetByName: each flat field with its name
// and save group, in the order they are read and written.
#include <cstdint>
#include <string>
#include <vector>

#include "settings/Settings.h"

namespace sonavert::detail {

struct FieldInfo {
    const char* name;
    int32_t Settings::*intField;       // set for integer values
    std::string Settings::*textField;  // set for text values
    unsigned group;
};

struct TagFieldInfo {
    const char* name;
    int32_t TagOverrides::*intField;
    std::string TagOverrides::*textField;
};

const std::vector<FieldInfo>& SettingsFields();
// The eight texts in their stored order, then TitleAsFileName, TrackNumType, CustomTrackNum.
const std::vector<TagFieldInfo>& TagFields();

// The tag sets with their names ("MP3", "OGG", "WMA", "M4A", "FLAC"), in loading order.
struct TagSetInfo {
    const char* name;
    TagOverrides Settings::*set;
};
const std::vector<TagSetInfo>& TagSets();

}  // namespace sonavert::detail
