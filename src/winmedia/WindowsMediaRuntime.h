#pragma once

namespace sonavert {

// True when the linked FFmpeg offers what Windows Media output and input need (the ASF muxer and
// demuxer, the WMA v2 encoder and the WMA decoders). Checked once, then remembered: once loaded it
// stays loaded.
bool LoadWindowsMediaRuntime();

// Test hook: while set, the runtime counts as missing (LoadWindowsMediaRuntime returns false), so
// the question, the decoder fallback and a batch that converts nothing can be exercised.
void SetWindowsMediaRuntimeMissingForTesting(bool missing);

}  // namespace sonavert
