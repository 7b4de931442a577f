#pragma once
// Wide samples in [-1, 1] scale to the integers of an encoder's sample size.
#include <algorithm>
#include <cmath>
#include <cstdint>

namespace sonavert {

// `x` times `scale` (2^(bits-1)) rounded half away from zero and clamped to the sample size's
// range; NaN gives 0. Integer samples that came in as value / scale come out as they were.
inline int32_t QuantiseSample(double x, double scale) {
    // Written without branches, so that loops over whole blocks vectorise.
    const double v = x * scale;
    const bool nan = std::isnan(v);
    const double clamped = std::clamp(v, -scale, scale - 1.0);
    const double rounded = clamped + std::copysign(0.5, clamped);
    return nan ? 0 : static_cast<int32_t>(rounded);
}

}  // namespace sonavert
