#pragma once
// Small helpers the file readers share: numbers in either byte order and the float-to-16-bit rule.
#include <cmath>
#include <cstdint>
#include <cstring>

namespace sonavert::samplebytes {

inline uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t Be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Be64(const uint8_t* p) { return (static_cast<uint64_t>(Be32(p)) << 32) | Be32(p + 4); }
inline uint64_t Le64(const uint8_t* p) { return (static_cast<uint64_t>(Le32(p + 4)) << 32) | Le32(p); }

inline float FloatOfBits(uint32_t bits) {
    float x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}
inline double DoubleOfBits(uint64_t bits) {
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// A float sample scaled to the 32-bit range, truncated toward zero, keeping its upper 16 bits
// (1.0 gives 32767, 0.5 gives 16383). Values at or beyond full scale saturate; NaN is silence.
inline int16_t FloatTo16(double x) {
    if (std::isnan(x)) return 0;
    const double v = x * 2147483647.0;
    if (v >= 2147483647.0) return INT16_MAX;
    if (v <= -2147483648.0) return INT16_MIN;
    return static_cast<int16_t>(static_cast<int32_t>(v) >> 16);
}

}  // namespace sonavert::samplebytes
