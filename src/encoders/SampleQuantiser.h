#pragma once
// Wide samples in [-1, 1] scale to the integers of an encoder's sample size.
#include <cmath>
#include <cstdint>

namespace sonavert {

// `x` times `scale` (2^(bits-1)) rounded half away from zero and clamped to the sample size's
// range; NaN gives 0. Integer samples that came in as value / scale come out as they were.
inline int32_t QuantiseSample(double x, double scale) {
    const double v = x * scale;
    if (!(v > -scale)) return std::isnan(v) ? 0 : static_cast<int32_t>(-scale);
    if (v >= scale - 1.0) return static_cast<int32_t>(scale - 1.0);
    return static_cast<int32_t>(v < 0 ? v - 0.5 : v + 0.5);
}

}  // namespace sonavert
