#pragma once
// Recognition of containers whose first bytes name them plainly.
#include <string>

struct AVInputFormat;

namespace sonavert::bass {

// The demuxer for a file whose first bytes name its container plainly, or null when they do not
// (then FFmpeg's probe, which tries every demuxer's signature on up to a megabyte, decides). A file
// starting with ID3v2 tags or an MPEG frame is left to the MPEG path and the probe.
const AVInputFormat* ContainerByFirstBytes(const std::string& path);

}  // namespace sonavert::bass
