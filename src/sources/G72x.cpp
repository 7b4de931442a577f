#include "sources/G72x.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

namespace sonavert {

// ---- G.711 ----

int16_t ExpandALaw(uint8_t code) {
    code ^= 0x55;
    int t = (code & 0x0F) << 4;
    int segment = (code & 0x70) >> 4;
    if (segment == 0)
        t += 8;
    else
        t = (t + 0x108) << (segment - 1);
    return static_cast<int16_t>((code & 0x80) ? t : -t);
}

int16_t ExpandMuLaw(uint8_t code) {
    code = static_cast<uint8_t>(~code);
    int t = (((code & 0x0F) << 3) + 0x84) << ((code & 0x70) >> 4);
    return static_cast<int16_t>((code & 0x80) ? (0x84 - t) : (t - 0x84));
}

// ---- G.721 / G.723 ADPCM ----
//
// The recommendations describe the decoder as fixed-point blocks (ACCUM, MIX, ADDA, ANTILOG, ...);
// each step below names its block. Words the recommendations keep in 16 bits are held in int16_t,
// so that every intermediate result wraps exactly where theirs does.

namespace {

inline int16_t S16(int v) { return static_cast<int16_t>(v); }

// The exponent of a magnitude: the index of the first of the powers of two 1 .. 0x4000 above it
// (the recommendations' table search), which is the magnitude's bit width, at most 15.
int Exponent(int value) {
    if (value <= 0) return 0;
    return std::min(static_cast<int>(std::bit_width(static_cast<unsigned>(value))), 15);
}

// FMULT: multiplies a predictor coefficient by a signal held in the floating form (4-bit exponent,
// 6-bit mantissa, sign in bit 10).
int FMult(int an, int srn) {
    const int16_t anmag = S16(an > 0 ? an : ((-an) & 0x1FFF));
    const int16_t anexp = S16(Exponent(anmag) - 6);
    const int16_t anmant = S16(anmag == 0 ? 32 : anexp >= 0 ? anmag >> anexp : anmag << -anexp);
    const int16_t wanexp = S16(anexp + ((srn >> 6) & 0xF) - 13);
    const int16_t wanmant = S16((anmant * (srn & 077) + 0x30) >> 4);
    const int16_t retval = S16(wanexp >= 0 ? ((wanmant << wanexp) & 0x7FFF) : (wanmant >> -wanexp));
    return (an ^ srn) < 0 ? -retval : retval;
}

// ADDA and ANTILOG: the quantised difference from its log magnitude and the step size.
int Reconstruct(bool sign, int dqln, int y) {
    const int16_t dql = S16(dqln + (y >> 2));
    if (dql < 0) return sign ? -0x8000 : 0;
    const int16_t dex = S16((dql >> 7) & 15);
    const int16_t dqt = S16(128 + (dql & 127));
    // dex stays at or below 14 for every step size the adaptation reaches; guard the shift anyway.
    const int16_t dq = S16(dex <= 14 ? (dqt << 7) >> (14 - dex) : 0x7FFF);
    return sign ? (dq - 0x8000) : dq;
}

// The inverse quantiser tables of each coding: log magnitude of the difference, scale factor
// multiplier and speed control value per code.
struct Coding {
    const int16_t* dqln;
    const int16_t* wi;
    const int16_t* fi;
    int witScale;     // G.721's multipliers are listed divided by 32
    int signBit;      // the code's sign bit
    int dqMask;       // magnitude bits of a negative difference taken into the reconstruction
    int zeroLeakage;  // shift of the zero coefficients' leakage (UPB)
};

// G.721, 32 kbit/s (Table 2/G.721 and the W and F functions).
constexpr int16_t kDqln721[16] = {-2048, 4, 135, 213, 273, 323, 373, 425, 425, 373, 323, 273, 213, 135, 4, -2048};
constexpr int16_t kWi721[16] = {-12, 18, 41, 64, 112, 198, 355, 1122, 1122, 355, 198, 112, 64, 41, 18, -12};
constexpr int16_t kFi721[16] = {0,     0,     0,     0x200, 0x200, 0x200, 0x600, 0xE00,
                                0xE00, 0x600, 0x200, 0x200, 0x200, 0,     0,     0};

// G.723, 24 kbit/s.
constexpr int16_t kDqln723_24[8] = {-2048, 135, 273, 373, 373, 273, 135, -2048};
constexpr int16_t kWi723_24[8] = {-128, 960, 4384, 18624, 18624, 4384, 960, -128};
constexpr int16_t kFi723_24[8] = {0, 0x200, 0x400, 0xE00, 0xE00, 0x400, 0x200, 0};

// G.723, 40 kbit/s.
constexpr int16_t kDqln723_40[32] = {-2048, -66, 28,  104, 169, 224, 274, 318, 358, 395, 429,
                                     459,   488, 514, 539, 566, 566, 539, 514, 488, 459, 429,
                                     395,   358, 318, 274, 224, 169, 104, 28,  -66, -2048};
constexpr int16_t kWi723_40[32] = {448,   448,   768,   1248,  1280,  1312,  1856,  3200,  4512,  5728,  7008,
                                   8960,  11456, 14080, 16928, 22272, 22272, 16928, 14080, 11456, 8960,  7008,
                                   5728,  4512,  3200,  1856,  1312,  1280,  1248,  768,   448,   448};
constexpr int16_t kFi723_40[32] = {0,     0,     0,     0,     0,     0x200, 0x200, 0x200, 0x200, 0x200, 0x400,
                                   0x600, 0x800, 0xA00, 0xC00, 0xC00, 0xC00, 0xC00, 0xA00, 0x800, 0x600, 0x400,
                                   0x200, 0x200, 0x200, 0x200, 0x200, 0,     0,     0,     0,     0};

const Coding& CodingOf(int codeBits) {
    static const Coding g721{kDqln721, kWi721, kFi721, 32, 0x08, 0x3FFF, 8};
    static const Coding g723_24{kDqln723_24, kWi723_24, kFi723_24, 1, 0x04, 0x3FFF, 8};
    static const Coding g723_40{kDqln723_40, kWi723_40, kFi723_40, 1, 0x10, 0x7FFF, 9};
    return codeBits == 3 ? g723_24 : codeBits == 5 ? g723_40 : g721;
}

// FLOAT A / FLOAT B: a magnitude and sign into the 4-bit exponent, 6-bit mantissa form.
int16_t ToFloatForm(int16_t mag, bool negative) {
    const int16_t exp = S16(Exponent(mag));
    const int v = (exp << 6) + ((mag << 6) >> exp);
    return S16(negative ? v - 0x400 : v);
}

}  // namespace

G72xDecoder::G72xDecoder(int codeBits) { Reset(codeBits); }

void G72xDecoder::Reset(int codeBits) {
    codeBits_ = (codeBits == 3 || codeBits == 5) ? codeBits : 4;
    yl_ = 34816;
    yu_ = 544;
    dms_ = 0;
    dml_ = 0;
    ap_ = 0;
    for (int i = 0; i < 2; ++i) {
        a_[i] = 0;
        pk_[i] = 0;
        sr_[i] = 32;
    }
    for (int i = 0; i < 6; ++i) {
        b_[i] = 0;
        dq_[i] = 32;
    }
    td_ = false;
}

// ACCUM, the sixth-order zero section.
int G72xDecoder::PredictorZero() const {
    int sezi = 0;
    for (int i = 0; i < 6; ++i) sezi += FMult(b_[i] >> 2, dq_[i]);
    return sezi;
}

// ACCUM, the second-order pole section.
int G72xDecoder::PredictorPole() const { return FMult(a_[1] >> 2, sr_[1]) + FMult(a_[0] >> 2, sr_[0]); }

// MIX: the quantiser step size from the two scale factors.
int G72xDecoder::StepSize() const {
    if (ap_ >= 256) return yu_;
    int y = static_cast<int>(yl_ >> 6);
    const int dif = yu_ - y;
    const int al = ap_ >> 2;
    if (dif > 0)
        y += (dif * al) >> 6;
    else if (dif < 0)
        y += (dif * al + 0x3F) >> 6;
    return y;
}

int16_t G72xDecoder::Decode(unsigned code) {
    const int out = DecodeUnclamped(code);
    return S16(out > 32767 ? 32767 : out < -32768 ? -32768 : out);
}

int G72xDecoder::DecodeUnclamped(unsigned code) {
    const Coding& coding = CodingOf(codeBits_);
    const int i = static_cast<int>(code & ((1u << codeBits_) - 1));

    const int16_t sezi = S16(PredictorZero());
    const int16_t sez = S16(sezi >> 1);
    const int16_t sei = S16(sezi + PredictorPole());
    const int16_t se = S16(sei >> 1);  // signal estimate

    const int16_t y = S16(StepSize());
    const int16_t dq = S16(Reconstruct((i & coding.signBit) != 0, coding.dqln[i], y));
    // ADDB: the reconstructed signal.
    const int16_t sr = S16(dq < 0 ? se - (dq & coding.dqMask) : se + dq);
    // ADDC: the pole section's input.
    const int16_t dqsez = S16(sr - se + sez);

    Update(y, coding.wi[i] * coding.witScale, coding.fi[i], dq, sr, dqsez);

    // The reconstruction has a 14-bit range; the output is its 16-bit scaling.
    return sr * 4;
}

void G72xDecoder::Update(int y, int wi, int fi, int dq, int sr, int dqsez) {
    const Coding& coding = CodingOf(codeBits_);
    const int16_t pk0 = dqsez < 0 ? 1 : 0;
    int16_t mag = S16(dq & 0x7FFF);

    // TRANS: transition detector.
    const int16_t ylint = S16(yl_ >> 15);
    const int16_t ylfrac = S16((yl_ >> 10) & 0x1F);
    const int16_t thr1 = S16((32 + ylfrac) << ylint);
    const int16_t thr2 = S16(ylint > 9 ? 31 << 10 : thr1);
    const int16_t dqthr = S16((thr2 + (thr2 >> 1)) >> 1);
    const bool tr = td_ && mag > dqthr;

    // FUNCTW, FILTD, LIMB: the unlocked scale factor.
    yu_ = S16(y + ((wi - y) >> 5));
    if (yu_ < 544)
        yu_ = 544;
    else if (yu_ > 5120)
        yu_ = 5120;
    // FILTE: the locked scale factor.
    yl_ += yu_ + ((-yl_) >> 6);

    int16_t a2p = 0;
    if (tr) {
        // A modem signal resets the predictor.
        a_[0] = a_[1] = 0;
        for (int16_t& b : b_) b = 0;
    } else {
        const int16_t pks1 = S16(pk0 ^ pk_[0]);
        // UPA2: the second pole coefficient.
        a2p = S16(a_[1] - (a_[1] >> 7));
        if (dqsez != 0) {
            const int16_t fa1 = S16(pks1 ? a_[0] : -a_[0]);
            if (fa1 < -8191)
                a2p = S16(a2p - 0x100);
            else if (fa1 > 8191)
                a2p = S16(a2p + 0xFF);
            else
                a2p = S16(a2p + (fa1 >> 5));
            if (pk0 ^ pk_[1]) {
                // LIMC
                if (a2p <= -12160)
                    a2p = -12288;
                else if (a2p >= 12416)
                    a2p = 12288;
                else
                    a2p = S16(a2p - 0x80);
            } else if (a2p <= -12416) {
                a2p = -12288;
            } else if (a2p >= 12160) {
                a2p = 12288;
            } else {
                a2p = S16(a2p + 0x80);
            }
        }
        a_[1] = a2p;

        // UPA1 and LIMD: the first pole coefficient.
        a_[0] = S16(a_[0] - (a_[0] >> 8));
        if (dqsez != 0) a_[0] = S16(pks1 == 0 ? a_[0] + 192 : a_[0] - 192);
        const int16_t a1ul = S16(15360 - a2p);
        if (a_[0] < -a1ul)
            a_[0] = S16(-a1ul);
        else if (a_[0] > a1ul)
            a_[0] = a1ul;

        // UPB: the zero coefficients.
        for (int k = 0; k < 6; ++k) {
            b_[k] = S16(b_[k] - (b_[k] >> coding.zeroLeakage));
            if (dq & 0x7FFF) b_[k] = S16((dq ^ dq_[k]) >= 0 ? b_[k] + 128 : b_[k] - 128);
        }
    }

    // DELAY and FLOAT A: the difference history.
    for (int k = 5; k > 0; --k) dq_[k] = dq_[k - 1];
    if (mag == 0)
        dq_[0] = S16(dq >= 0 ? 0x20 : 0xFC20);
    else
        dq_[0] = ToFloatForm(mag, dq < 0);

    // FLOAT B: the reconstructed signal history.
    sr_[1] = sr_[0];
    if (sr == 0) {
        sr_[0] = 0x20;
    } else if (sr > 0) {
        sr_[0] = ToFloatForm(S16(sr), false);
    } else if (sr > -32768) {
        mag = S16(-sr);
        sr_[0] = ToFloatForm(mag, true);
    } else {
        sr_[0] = S16(0xFC20);
    }

    pk_[1] = pk_[0];
    pk_[0] = pk0;

    // TONE: a small sample-to-sample correlation suggests data.
    if (tr)
        td_ = false;
    else
        td_ = a2p < -11776;

    // FILTA, FILTB, SUBTC, FILTC: adaptation speed control.
    dms_ = S16(dms_ + ((fi - dms_) >> 5));
    dml_ = S16(dml_ + (((fi << 2) - dml_) >> 7));
    if (tr)
        ap_ = 256;
    else if (y < 1536 || td_ || std::abs((dms_ << 2) - dml_) >= (dml_ >> 3))
        ap_ = S16(ap_ + ((0x200 - ap_) >> 4));
    else
        ap_ = S16(ap_ + ((-ap_) >> 4));
}

}  // namespace sonavert
