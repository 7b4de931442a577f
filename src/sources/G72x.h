#pragma once
// ITU-T telephone codings decoded to 16-bit linear PCM: the G.711 A-law and mu-law expansions and
// the G.726 family of ADPCM decoders (G.721 at 32 kbit/s, G.723 at 24 and 40 kbit/s), as Sun/NeXT
// audio files carry them.
#include <cstdint>

namespace sonavert {

// G.711 expansions to 16-bit linear.
int16_t ExpandALaw(uint8_t code);
int16_t ExpandMuLaw(uint8_t code);

// One channel of a G.721 / G.723 ADPCM decoder (ITU-T G.721 (1988), G.723 (1988), now both in
// G.726). The arithmetic follows the recommendations' fixed-point blocks word for word, so its
// output equals that of the classic public reference implementation.
class G72xDecoder {
public:
    // codeBits: 4 for G.721 (32 kbit/s), 3 for G.723 at 24 kbit/s, 5 for G.723 at 40 kbit/s.
    explicit G72xDecoder(int codeBits = 4);

    // Back to the initial state of the recommendation (also chooses the coding).
    void Reset(int codeBits);
    int CodeBits() const { return codeBits_; }

    // Decodes one code (its low CodeBits() bits are used) into a 16-bit linear sample. The
    // recommendation's reconstruction has a 14-bit range that a loud signal can overshoot; its
    // 16-bit scaling then saturates instead of wrapping around.
    int16_t Decode(unsigned code);
    // The same step, giving the 16-bit scaling of the reconstruction as it is, which near full scale
    // lies beyond the 16-bit range (the reference implementation's own output value).
    int DecodeUnclamped(unsigned code);

private:
    int PredictorZero() const;
    int PredictorPole() const;
    int StepSize() const;
    void Update(int y, int wi, int fi, int dq, int sr, int dqsez);

    int codeBits_ = 4;
    int32_t yl_ = 0;   // locked (steady state) step size multiplier
    int16_t yu_ = 0;   // unlocked (non-steady state) step size multiplier
    int16_t dms_ = 0;  // short term energy estimate
    int16_t dml_ = 0;  // long term energy estimate
    int16_t ap_ = 0;   // linear weighting of yu and yl
    int16_t a_[2] = {};   // pole coefficients
    int16_t b_[6] = {};   // zero coefficients
    int16_t pk_[2] = {};  // signs of the last two partial reconstructions
    int16_t dq_[6] = {};  // last six quantised differences, in the 4-bit exponent / 6-bit mantissa form
    int16_t sr_[2] = {};  // last two reconstructed samples, in the same form
    bool td_ = false;     // tone detected (delayed)
};

}  // namespace sonavert
