#pragma once
#include <cstdint>

namespace sonavert {

// Multiplies planar 16-bit samples by `factor`, truncating toward zero and clamping to
// -32767..32767. The right plane is processed only when channels is 2.
void ApplyGain16(int16_t* left, int16_t* right, uint32_t count, int channels, float factor);
// The same for unsigned 8-bit planes centred on 128, clamped to -128..127 around the centre.
void ApplyGain8(uint8_t* left, uint8_t* right, uint32_t count, int channels, float factor);

}  // namespace sonavert
