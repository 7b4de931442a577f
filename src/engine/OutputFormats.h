#pragma once
#include <string>
#include <vector>

namespace sonavert {

// One output format: its code, the name shown in progress texts and the target's extension.
struct OutputFormatInfo {
    int code;
    const char* name;
    const char* extension;
};

// Every output format, in code order.
const std::vector<OutputFormatInfo>& OutputFormats();
// The format of a code, or null for an unknown code.
const OutputFormatInfo* FindOutputFormat(int code);
// The format named like "mp3" or "M4A" (its name or extension without the dot), or null.
const OutputFormatInfo* FindOutputFormatByName(const std::string& name);

}  // namespace sonavert
