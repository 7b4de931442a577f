#pragma once
// Scaling cover pictures down, with FFmpeg's image decoders, its scaler and its encoders.
#include <cstdint>
#include <string>

#include "tags/CoverArt.h"

namespace sonavert {

// Pictures wider or taller than this many pixels are not decoded (a hostile header could ask for
// gigabytes); they are kept as they are.
inline constexpr uint32_t kMaxDecodedPictureSide = 16384;

// Scales a JPEG or PNG picture whose width or height exceeds `maxSide` so that its longer side is
// `maxSide` pixels, keeping its aspect ratio: decoded, resampled with a Lanczos filter, and
// encoded as it came (JPEG as baseline JPEG at quantiser 2, 4:2:0, PNG as 8-bit RGB or RGBA
// when it has transparency). The picture's MIME type, type and description stay; its size
// fields are updated. A picture within the bound is left unchanged. Returns false with `reason`
// set, the picture unchanged, when it cannot be scaled (another image kind, damaged data).
bool ScalePictureDown(Picture& picture, uint32_t maxSide, std::string& reason);

}  // namespace sonavert
