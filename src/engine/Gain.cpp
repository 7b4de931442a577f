#include "engine/Gain.h"

namespace sonavert {

namespace {

template <typename T, typename Map>
void GainPlane(T* plane, uint32_t count, Map map) {
    if (!plane) return;
    for (uint32_t i = 0; i < count; ++i) plane[i] = map(plane[i]);
}

}  // namespace

void ApplyGain16(int16_t* left, int16_t* right, uint32_t count, int channels, float factor) {
    const long double f = factor;
    auto map = [f](int16_t s) -> int16_t {
        long double v = static_cast<long double>(s) * f;
        if (v > 32767.0L) return 32767;
        if (v < -32767.0L) return -32767;
        return static_cast<int16_t>(v);  // truncation toward zero
    };
    GainPlane(left, count, map);
    if (channels == 2) GainPlane(right, count, map);
}

void ApplyGain8(uint8_t* left, uint8_t* right, uint32_t count, int channels, float factor) {
    const long double f = factor;
    auto map = [f](uint8_t u) -> uint8_t {
        long double v = static_cast<long double>(static_cast<int>(u) - 128) * f;
        int t;
        if (v > 127.0L) t = 127;
        else if (v < -128.0L) t = -128;
        else t = static_cast<int>(v);
        return static_cast<uint8_t>(t + 128);
    };
    GainPlane(left, count, map);
    if (channels == 2) GainPlane(right, count, map);
}

}  // namespace sonavert
