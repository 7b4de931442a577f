#pragma once

namespace sonavert {

// True when the linked FFmpeg offers what Windows Media output and input need (the ASF muxer and
// demuxer, the WMA v2 encoder and the WMA decoders). Checked once, then remembered.
bool LoadWindowsMediaRuntime();

}  // namespace sonavert
