#include "sources/WavReader.h"

#include <gsm.h>
#include <sys/types.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace sonavert {

namespace {

constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagMsAdpcm = 2;
constexpr uint16_t kTagFloat = 3;
constexpr uint16_t kTagALaw = 6;
constexpr uint16_t kTagMuLaw = 7;
constexpr uint16_t kTagImaAdpcm = 17;
constexpr uint16_t kTagGsm = 49;
constexpr uint16_t kTagExtensible = 0xFFFE;

constexpr uint32_t kGsmBlockBytes = 65;
constexpr uint32_t kGsmBlockSamples = 320;

// The 12 bytes that follow the format code in every sub-format GUID of an extensible header.
constexpr uint8_t kGuidTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline int16_t Clamp16(int64_t v) {
    return static_cast<int16_t>(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX));
}

// a * b / c without overflowing 64 bits (c > 0).
uint64_t MulDiv(uint64_t a, uint64_t b, uint64_t c) { return a / c * b + a % c * b / c; }

// A float sample scaled to the 32-bit range, truncated toward zero, keeping its upper 16 bits.
// Values at or beyond full scale saturate; NaN becomes silence.
int16_t FloatTo16(double x) {
    if (std::isnan(x)) return 0;
    double v = x * 2147483647.0;
    if (v >= 2147483647.0) return INT16_MAX;
    if (v <= -2147483648.0) return INT16_MIN;
    return static_cast<int16_t>(static_cast<int32_t>(v) >> 16);
}

// Writes the first sample of each frame to left and the second to right; frames of more than two
// channels are converted whole into `scratch` and mixed down to stereo.
template <typename Convert>
void Spread(const uint8_t* raw, uint32_t frames, uint32_t channels, uint32_t sampleBytes, int16_t* left,
            int16_t* right, const StereoDownmix& downmix, std::vector<int16_t>& scratch, Convert convert) {
    if (channels > 2) {
        const size_t samples = static_cast<size_t>(frames) * channels;
        scratch.resize(samples);
        for (size_t k = 0; k < samples; ++k) scratch[k] = convert(raw + k * sampleBytes);
        downmix.Mix(scratch.data(), frames, left, right);
        return;
    }
    const uint32_t frameBytes = channels * sampleBytes;
    for (uint32_t i = 0; i < frames; ++i) {
        const uint8_t* frame = raw + static_cast<size_t>(i) * frameBytes;
        left[i] = convert(frame);
        if (channels >= 2) right[i] = convert(frame + sampleBytes);
    }
}

constexpr int kMsAdaptation[16] = {230, 230, 230, 230, 307, 409, 512, 614, 768, 614, 512, 409, 307, 230, 230, 230};

constexpr int kImaSteps[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
    130,   143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
    544,   598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
    2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
    9493,  10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr int kImaIndex[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

}  // namespace

// ---- Microsoft ADPCM ----

MsAdpcmDecoder::MsAdpcmDecoder(std::vector<uint8_t> format) : format_(std::move(format)) {
    channels_ = Le16(&format_[2]);
    blockAlign_ = Le16(&format_[12]);
    samplesPerBlock_ = Le16(&format_[18]);
    coefficientCount_ = Le16(&format_[20]);
}

int32_t MsAdpcmDecoder::Coefficient(uint32_t pair, uint32_t which) const {
    return static_cast<int16_t>(Le16(&format_[22 + pair * 4 + which * 2]));
}

bool MsAdpcmDecoder::Decode(const uint8_t* block, int16_t* out) const {
    const uint32_t ch = channels_;
    int32_t coef1[2], coef2[2];
    int64_t delta[2], s1[2], s2[2];
    for (uint32_t c = 0; c < ch; ++c) {
        uint8_t predictor = block[c];
        // An index outside the file's own table cannot be decoded.
        if (predictor >= coefficientCount_) return false;
        coef1[c] = Coefficient(predictor, 0);
        coef2[c] = Coefficient(predictor, 1);
        delta[c] = static_cast<int16_t>(Le16(block + ch + 2 * c));
        s1[c] = static_cast<int16_t>(Le16(block + 3 * ch + 2 * c));
        s2[c] = static_cast<int16_t>(Le16(block + 5 * ch + 2 * c));
        out[c] = static_cast<int16_t>(s2[c]);
        out[ch + c] = static_cast<int16_t>(s1[c]);
    }
    const uint8_t* nibbles = block + 7 * ch;
    const uint32_t count = (static_cast<uint32_t>(samplesPerBlock_) - 2) * ch;
    for (uint32_t j = 0; j < count; ++j) {
        const uint32_t c = j % ch;
        const int n = (j & 1) ? (nibbles[j / 2] & 0x0F) : (nibbles[j / 2] >> 4);
        const int signedN = (n & 8) ? n - 16 : n;
        int64_t predicted = (s1[c] * coef1[c] + s2[c] * coef2[c]) / 256 + signedN * delta[c];
        const int16_t sample = Clamp16(predicted);
        // The step size only grows by at most 3x per nibble; bound it so a hostile stream cannot
        // run it away.
        delta[c] = std::clamp<int64_t>(delta[c] * kMsAdaptation[n] / 256, 16, INT32_MAX / 768);
        s2[c] = s1[c];
        s1[c] = sample;
        out[2 * ch + j] = sample;
    }
    return true;
}

// ---- IMA ADPCM ----

ImaAdpcmDecoder::ImaAdpcmDecoder(std::vector<uint8_t> format) : format_(std::move(format)) {
    channels_ = Le16(&format_[2]);
    blockAlign_ = Le16(&format_[12]);
    samplesPerBlock_ = Le16(&format_[18]);
}

namespace {

// One IMA ADPCM code: the difference from the current step, the step index moved by the index
// table and clamped to 0..88, the sample clamped to 16 bits.
inline void ImaStep(int n, int32_t& sample, int32_t& index) {
    const int step = kImaSteps[index];
    int diff = step >> 3;
    if (n & 1) diff += step >> 2;
    if (n & 2) diff += step >> 1;
    if (n & 4) diff += step;
    if (n & 8) diff = -diff;
    sample = Clamp16(static_cast<int64_t>(sample) + diff);
    index = std::clamp(index + kImaIndex[n], 0, 88);
}

}  // namespace

bool ImaAdpcmDecoder::DecodeAppleIma4(const uint8_t* block, int16_t* out) const {
    const uint32_t ch = channels_;
    for (uint32_t c = 0; c < ch; ++c) {
        const uint8_t* packet = block + 34 * c;
        int32_t sample = static_cast<int16_t>(static_cast<uint16_t>((packet[0] << 8) | (packet[1] & 0x80)));
        int32_t index = std::min<int32_t>(packet[1] & 0x7F, 88);
        for (uint32_t k = 0; k < 64; ++k) {
            const uint8_t byte = packet[2 + k / 2];
            ImaStep((k & 1) ? (byte >> 4) : (byte & 0x0F), sample, index);
            out[k * ch + c] = static_cast<int16_t>(sample);
        }
    }
    return true;
}

bool ImaAdpcmDecoder::Decode(const uint8_t* block, int16_t* out) const {
    const uint32_t ch = channels_;
    const uint32_t spb = samplesPerBlock_;
    int32_t sample[2], index[2];
    for (uint32_t c = 0; c < ch; ++c) {
        sample[c] = static_cast<int16_t>(Le16(block + 4 * c));
        index[c] = std::min<int32_t>(block[4 * c + 2], 88);
        out[c] = static_cast<int16_t>(sample[c]);
    }
    const uint8_t* data = block + 4 * ch;
    for (uint32_t group = 0; 1 + 8 * group < spb; ++group) {
        for (uint32_t c = 0; c < ch; ++c) {
            const uint8_t* bytes = data + (static_cast<size_t>(group) * ch + c) * 4;
            for (uint32_t k = 0; k < 8; ++k) {
                const uint32_t s = 1 + 8 * group + k;
                if (s >= spb) break;
                ImaStep((k & 1) ? (bytes[k / 2] >> 4) : (bytes[k / 2] & 0x0F), sample[c], index[c]);
                out[static_cast<size_t>(s) * ch + c] = static_cast<int16_t>(sample[c]);
            }
        }
    }
    return true;
}

// ---- WavReader ----

void WavReader::GsmDestroyer::operator()(gsm_state* g) const { gsm_destroy(g); }

WavReader::~WavReader() { Close(); }

void WavReader::Close() {
    file_.reset();
    statedSeconds_ = 0;
    sizeStated_ = false;
    formatTag_ = 0;
    storedBits_ = 0;
    validBits_ = 0;
    blockAlign_ = 0;
    formatSeen_ = false;
    floatSamples_ = false;
    failed_ = false;
    routine_ = nullptr;
    expand_ = nullptr;
    adpcm_.reset();
    gsm_.reset();
    raw_.clear();
    raw_.shrink_to_fit();
    readUnit_ = 0;
    channelMask_ = 0;
    downmix_ = StereoDownmix();
    mixScratch_.clear();
    mixScratch_.shrink_to_fit();
    block_.clear();
    block_.shrink_to_fit();
    blockValues_ = 0;
    cursor_ = 0;
    ResetFormat();
}

int WavReader::Open(const std::string& path, uint32_t /*renderRate*/) {
    Close();
    return OpenStream(std::fopen(path.c_str(), "rb"));
}

int WavReader::OpenStream(std::FILE* stream) {
    Close();
    if (!stream) return 0;
    file_.reset(stream);
    // A failed open leaves nothing behind: the reader is closed again.
    if (!Walk() || !ChooseRoutine()) {
        Close();
        return 0;
    }
    return 1;
}

int WavReader::Walk() {
    std::FILE* f = file_.get();
    std::rewind(f);
    uint8_t header[12];
    if (std::fread(header, 1, sizeof header, f) != sizeof header) return 0;
    if (std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0) return 0;
    for (;;) {
        uint8_t chunk[8];
        if (std::fread(chunk, 1, sizeof chunk, f) != sizeof chunk) return 0;
        const uint32_t size = Le32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (!ParseFormat(size)) return 0;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!formatSeen_) return 0;
            const off_t start = ftello(f);
            if (start < 0) return 0;
            sizeStated_ = size != 0 && size != 0xFFFFFFFFu;
            if (size != 0) {
                length = size;
            } else {
                // Size 0: the data runs to the end of the file.
                if (fseeko(f, 0, SEEK_END) != 0) return 0;
                const off_t end = ftello(f);
                if (end < 0 || fseeko(f, start, SEEK_SET) != 0) return 0;
                length = end > start ? static_cast<uint64_t>(end - start) : 0;
            }
            position = 0;
            DeriveValues();
            return 1;
        } else if (fseeko(f, static_cast<off_t>(size), SEEK_CUR) != 0) {
            return 0;
        }
        if (!Resynchronise()) return 0;
    }
}

// Passes over pad bytes and stray bytes: the next chunk header starts at the next ASCII letter.
bool WavReader::Resynchronise() {
    std::FILE* f = file_.get();
    for (;;) {
        int c = std::fgetc(f);
        if (c == EOF) return false;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return std::ungetc(c, f) != EOF;
    }
}

bool WavReader::ParseFormat(uint32_t chunkSize) {
    std::FILE* f = file_.get();
    std::vector<uint8_t> format(16);
    if (std::fread(format.data(), 1, 16, f) != 16) return false;
    formatSeen_ = false;
    floatSamples_ = false;
    channelMask_ = 0;
    validBits_ = 0;
    adpcm_.reset();
    formatTag_ = Le16(&format[0]);
    const uint16_t ch = Le16(&format[2]);
    const uint32_t rate = Le32(&format[4]);
    blockAlign_ = Le16(&format[12]);
    storedBits_ = Le16(&format[14]);
    storedChannels = ch;
    channels = std::min<uint32_t>(ch, 2);
    sampleRate = rate;
    // Every length derived later divides by these; a rate beyond any writer's (a damaged header's
    // 0xFFFFFFFF) is left to another decoder.
    if (ch == 0 || !UsableSampleRate(rate)) return false;
    // Sample formats whose frames have a fixed size: a block align of 0 is taken as channels times
    // the stored sample size. Block-coded formats need the header's value.
    const bool frameFormat = formatTag_ == kTagPcm || formatTag_ == kTagExtensible || formatTag_ == kTagFloat ||
                             formatTag_ == kTagALaw || formatTag_ == kTagMuLaw;
    if (blockAlign_ == 0 && frameFormat) blockAlign_ = static_cast<uint16_t>(ch * ((storedBits_ + 7u) / 8u));
    if (blockAlign_ == 0) return false;

    uint64_t consumed = 16;
    auto readMore = [&](size_t n) {
        const size_t at = format.size();
        format.resize(at + n);
        consumed += n;
        return std::fread(format.data() + at, 1, n, f) == n;
    };
    auto integerRules = [&] {
        if (storedBits_ != 8 && storedBits_ != 16 && storedBits_ != 24 && storedBits_ != 32) return false;
        if (ch > 8) return false;
        bitsPerSample = storedBits_ == 8 ? 8 : 16;
        return true;
    };
    auto floatRules = [&] {
        if (ch > 8) return false;
        floatSamples_ = true;
        bitsPerSample = 16;
        return true;
    };

    switch (formatTag_) {
    case kTagPcm:
        if (!integerRules()) return false;
        break;
    case kTagExtensible: {
        // cbSize, valid bits, channel mask, then the sub-format GUID that decides the sample type.
        // Writers that leave the extension short or out (cbSize below 22, an 18-byte chunk) mean
        // integer PCM of the stored bits.
        if (chunkSize < 40) {
            if (!integerRules()) return false;
            break;
        }
        if (!readMore(24)) return false;
        if (Le16(&format[16]) < 22) {
            if (!integerRules()) return false;
            break;
        }
        channelMask_ = Le32(&format[20]);
        validBits_ = Le16(&format[18]);
        const uint8_t* guid = &format[24];
        if (std::memcmp(guid + 4, kGuidTail, sizeof kGuidTail) != 0) return false;
        const uint32_t subFormat = Le32(guid);
        if (subFormat == kTagPcm) {
            if (!integerRules()) return false;
        } else if (subFormat == kTagFloat) {
            if (!floatRules()) return false;
        } else if (subFormat == kTagALaw || subFormat == kTagMuLaw) {
            // Companded samples: decoded as the plain A-law or µ-law format would be.
            if (ch > 2) return false;
            formatTag_ = static_cast<uint16_t>(subFormat);
            bitsPerSample = 16;
        } else {
            // Anything else is left to a decoder that knows it.
            return false;
        }
        break;
    }
    case kTagFloat:
        if (!floatRules()) return false;
        break;
    case kTagALaw:
    case kTagMuLaw:
        if (ch > 2) return false;
        bitsPerSample = 16;
        break;
    case kTagMsAdpcm: {
        if (!readMore(6) || Le16(&format[16]) < 4) return false;
        const uint32_t pairs = Le16(&format[20]);
        if (pairs == 0 || !readMore(static_cast<size_t>(pairs) * 4)) return false;
        if (ch > 2) return false;
        // The header of each channel takes 7 bytes, then one nibble per further sample.
        const uint32_t spb = Le16(&format[18]);
        if (spb < 2 || 7u * ch + ((spb - 2) * ch + 1) / 2 > blockAlign_) return false;
        adpcm_ = std::make_unique<MsAdpcmDecoder>(std::move(format));
        bitsPerSample = 16;
        break;
    }
    case kTagImaAdpcm: {
        if (!readMore(4) || Le16(&format[16]) < 2) return false;
        if (ch > 2) return false;
        // 4 header bytes per channel, then groups of 4 bytes (8 samples) per channel.
        const uint32_t spb = Le16(&format[18]);
        if (spb < 1 || 4u * ch * (1 + (spb - 1 + 7) / 8) > blockAlign_) return false;
        adpcm_ = std::make_unique<ImaAdpcmDecoder>(std::move(format));
        bitsPerSample = 16;
        break;
    }
    case kTagGsm:
        if (blockAlign_ != kGsmBlockBytes || chunkSize < 20 || ch != 1) return false;
        if (!readMore(4) || Le16(&format[16]) < 2 || Le16(&format[18]) != kGsmBlockSamples) return false;
        bitsPerSample = 16;
        break;
    default:
        return false;
    }
    if (chunkSize > consumed && fseeko(f, static_cast<off_t>(chunkSize - consumed), SEEK_CUR) != 0) return false;
    formatSeen_ = true;
    return true;
}

void WavReader::DeriveValues() {
    uint64_t frames = 0;
    if (formatTag_ == kTagMsAdpcm || formatTag_ == kTagImaAdpcm)
        frames = MulDiv(length, adpcm_->GetSamplesPerBlock(), blockAlign_);
    else if (formatTag_ == kTagGsm)
        frames = MulDiv(length, kGsmBlockSamples, kGsmBlockBytes);
    else if (storedBits_ != 0)
        frames = MulDiv(length, 8, storedBits_) / storedChannels;
    const uint64_t seconds = frames / sampleRate;
    duration = static_cast<int32_t>(std::min<uint64_t>(seconds, INT32_MAX));
    statedSeconds_ = sizeStated_ ? static_cast<double>(frames) / sampleRate : 0;
    // length / seconds / 125 equals length / (seconds * 125) and cannot overflow.
    const uint64_t kbps = seconds != 0 ? length / seconds / 125
                                       : static_cast<uint64_t>(storedBits_) * storedChannels * sampleRate / 1000;
    bitRate = static_cast<uint32_t>(std::min<uint64_t>(kbps, UINT32_MAX));
}

bool WavReader::ChooseRoutine() {
    const uint32_t ch = storedChannels;
    if (formatTag_ == kTagMsAdpcm || formatTag_ == kTagImaAdpcm) {
        readUnit_ = blockAlign_;
        blockValues_ = static_cast<uint32_t>(adpcm_->GetSamplesPerBlock()) * channels;
        routine_ = &WavReader::ReadCompressed;
    } else if (formatTag_ == kTagGsm) {
        gsm_.reset(gsm_create());
        int one = 1;
        if (!gsm_ || gsm_option(gsm_.get(), GSM_OPT_WAV49, &one) < 0) return false;
        readUnit_ = kGsmBlockBytes;
        blockValues_ = kGsmBlockSamples;
        routine_ = &WavReader::ReadCompressed;
    } else if (formatTag_ == kTagALaw || formatTag_ == kTagMuLaw) {
        readUnit_ = ch * 1152;
        expand_ = formatTag_ == kTagALaw ? &ExpandALaw : &ExpandMuLaw;
        routine_ = &WavReader::ReadG711;
    } else if (floatSamples_) {
        if (storedBits_ == 32) {
            readUnit_ = ch * 4608;
            routine_ = &WavReader::ReadFloat32;
        } else if (storedBits_ == 64) {
            readUnit_ = ch * 9216;
            routine_ = &WavReader::ReadFloat64;
        } else {
            return false;
        }
    } else {
        readUnit_ = ch * kBlockFrames * (storedBits_ / 8);
        switch (storedBits_) {
        case 8: routine_ = &WavReader::ReadPcm8; break;
        case 16: routine_ = &WavReader::ReadPcm16; break;
        case 24: routine_ = &WavReader::ReadPcm24; break;
        default: routine_ = &WavReader::ReadPcm32; break;
        }
    }
    bytesPerSample = bitsPerSample / 8;
    // Frames of more than two channels are mixed down by the speaker positions of the extensible
    // header's mask, or of the usual order for the channel count.
    if (ch > 2) downmix_ = StereoDownmix(LayoutFromMask(ch, channelMask_));
    raw_.assign(readUnit_, 0);
    block_.assign(blockValues_, 0);
    cursor_ = blockValues_;  // nothing decoded yet
    return true;
}

uint32_t WavReader::Read(void* left, void* right) {
    if (!file_ || !routine_ || !left) return 0;
    return (this->*routine_)(left, right);
}

bool WavReader::WideFrames() const {
    return routine_ == &WavReader::ReadPcm8 || routine_ == &WavReader::ReadPcm16 || routine_ == &WavReader::ReadPcm24 ||
           routine_ == &WavReader::ReadPcm32 || routine_ == &WavReader::ReadFloat32 || routine_ == &WavReader::ReadFloat64;
}

WideFormat WavReader::GetWideFormat() {
    if (!file_ || !WideFrames()) return AudioSource::GetWideFormat();
    WideFormat f;
    f.channels = storedChannels;
    f.channelMask = channelMask_;
    f.isFloat = floatSamples_;
    // Integer samples may use fewer bits than their container (20 bits in 3 bytes).
    f.bits = !floatSamples_ && validBits_ > 0 && validBits_ < storedBits_ ? validBits_ : storedBits_;
    return f;
}

uint32_t WavReader::ReadWide(double* out) {
    if (!file_ || !routine_ || !out) return 0;
    if (!WideFrames()) return AudioSource::ReadWide(out);
    const uint32_t sampleBytes = storedBits_ / 8u;
    const size_t got = ReadRequest(raw_.data());
    // The same least requests as the 16-bit read's routines.
    if (got < 1 || (got < sampleBytes && storedBits_ != 8 && storedBits_ != 24)) return 0;
    const uint32_t frames = CompleteFrames(raw_.data(), got, sampleBytes, storedBits_ == 8 && !floatSamples_ ? 0x80 : 0);
    const size_t count = static_cast<size_t>(frames) * storedChannels;
    const uint8_t* p = raw_.data();
    if (floatSamples_ && storedBits_ == 32) {
        for (size_t k = 0; k < count; ++k, p += 4) {
            const uint32_t bits = Le32(p);
            float x;
            std::memcpy(&x, &bits, sizeof x);
            out[k] = x;
        }
    } else if (floatSamples_) {
        for (size_t k = 0; k < count; ++k, p += 8) {
            const uint64_t bits = static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
            std::memcpy(&out[k], &bits, sizeof bits);
        }
    } else if (storedBits_ == 8) {
        for (size_t k = 0; k < count; ++k) out[k] = (static_cast<int>(p[k]) - 128) / 128.0;
    } else {
        // Little-endian two's complement of 2, 3 or 4 bytes, scaled by the container's size.
        const double scale = 1.0 / std::ldexp(1.0, static_cast<int>(storedBits_) - 1);
        const int shift = 32 - static_cast<int>(storedBits_);
        for (size_t k = 0; k < count; ++k, p += sampleBytes) {
            uint32_t u = 0;
            for (uint32_t b = 0; b < sampleBytes; ++b) u |= static_cast<uint32_t>(p[b]) << (8 * b);
            const int32_t v = static_cast<int32_t>(u << shift) >> shift;
            out[k] = v * scale;
        }
    }
    return frames;
}

size_t WavReader::ReadRequest(uint8_t* target) {
    if (failed_ || position >= length) return 0;
    const uint64_t request = std::min<uint64_t>(readUnit_, length - position);
    position += request;
    return std::fread(target, 1, static_cast<size_t>(request), file_.get());
}

uint32_t WavReader::CompleteFrames(uint8_t* target, size_t got, uint32_t sampleBytes, uint8_t silence) {
    const size_t frameBytes = static_cast<size_t>(sampleBytes) * storedChannels;
    const size_t frames = (got + frameBytes - 1) / frameBytes;
    std::memset(target + got, silence, frames * frameBytes - got);
    return static_cast<uint32_t>(frames);
}

uint32_t WavReader::ReadPcm8(void* left, void* right) {
    const size_t got = ReadRequest(raw_.data());
    if (got < 1) return 0;
    const uint32_t frames = CompleteFrames(raw_.data(), got, 1, 0x80);
    auto* l = static_cast<uint8_t*>(left);
    auto* r = static_cast<uint8_t*>(right);
    const uint32_t ch = storedChannels;
    if (ch == 1) {
        std::memcpy(l, raw_.data(), frames);
        return frames;
    }
    if (ch > 2) {
        downmix_.Mix(raw_.data(), frames, l, r);
        return frames;
    }
    for (uint32_t i = 0; i < frames; ++i) {
        l[i] = raw_[static_cast<size_t>(i) * ch];
        r[i] = raw_[static_cast<size_t>(i) * ch + 1];
    }
    return frames;
}

uint32_t WavReader::ReadPcm16(void* left, void* right) {
    const uint32_t ch = storedChannels;
    if (ch == 1) {
        // Mono: straight into the caller's plane (the samples are little-endian like the host).
        auto* target = static_cast<uint8_t*>(left);
        const size_t got = ReadRequest(target);
        if (got < 2) return 0;
        return CompleteFrames(target, got, 2, 0);
    }
    const size_t got = ReadRequest(raw_.data());
    if (got < 2) return 0;
    const uint32_t frames = CompleteFrames(raw_.data(), got, 2, 0);
    Spread(raw_.data(), frames, ch, 2, static_cast<int16_t*>(left), static_cast<int16_t*>(right), downmix_,
           mixScratch_, [](const uint8_t* p) { return static_cast<int16_t>(Le16(p)); });
    return frames;
}

uint32_t WavReader::ReadPcm24(void* left, void* right) {
    const size_t got = ReadRequest(raw_.data());
    if (got < 1) return 0;
    const uint32_t frames = CompleteFrames(raw_.data(), got, 3, 0);
    // The upper two bytes of each little-endian triple: the low 8 bits are dropped.
    Spread(raw_.data(), frames, storedChannels, 3, static_cast<int16_t*>(left), static_cast<int16_t*>(right),
           downmix_, mixScratch_, [](const uint8_t* p) { return static_cast<int16_t>(Le16(p + 1)); });
    return frames;
}

uint32_t WavReader::ReadPcm32(void* left, void* right) {
    const size_t got = ReadRequest(raw_.data());
    if (got < 4) return 0;
    const uint32_t frames = CompleteFrames(raw_.data(), got, 4, 0);
    Spread(raw_.data(), frames, storedChannels, 4, static_cast<int16_t*>(left), static_cast<int16_t*>(right),
           downmix_, mixScratch_, [](const uint8_t* p) { return static_cast<int16_t>(static_cast<int32_t>(Le32(p)) >> 16); });
    return frames;
}

uint32_t WavReader::ReadFloat32(void* left, void* right) {
    const size_t got = ReadRequest(raw_.data());
    if (got < 4) return 0;
    const uint32_t frames = CompleteFrames(raw_.data(), got, 4, 0);
    Spread(raw_.data(), frames, storedChannels, 4, static_cast<int16_t*>(left), static_cast<int16_t*>(right),
           downmix_, mixScratch_, [](const uint8_t* p) {
               const uint32_t bits = Le32(p);
               float x;
               std::memcpy(&x, &bits, sizeof x);
               return FloatTo16(x);
           });
    return frames;
}

uint32_t WavReader::ReadFloat64(void* left, void* right) {
    const size_t got = ReadRequest(raw_.data());
    if (got < 8) return 0;
    const uint32_t frames = CompleteFrames(raw_.data(), got, 8, 0);
    Spread(raw_.data(), frames, storedChannels, 8, static_cast<int16_t*>(left), static_cast<int16_t*>(right),
           downmix_, mixScratch_, [](const uint8_t* p) {
               const uint64_t bits = static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
               double x;
               std::memcpy(&x, &bits, sizeof x);
               return FloatTo16(x);
           });
    return frames;
}

uint32_t WavReader::ReadG711(void* left, void* right) {
    const size_t got = ReadRequest(raw_.data());
    if (got < 1) return 0;
    // Silence codes pad a partial last frame.
    const uint32_t frames = CompleteFrames(raw_.data(), got, 1, formatTag_ == kTagALaw ? 0xD5 : 0xFF);
    auto expand = expand_;
    Spread(raw_.data(), frames, storedChannels, 1, static_cast<int16_t*>(left), static_cast<int16_t*>(right),
           downmix_, mixScratch_, [expand](const uint8_t* p) { return expand(*p); });
    return frames;
}

uint32_t WavReader::ReadCompressed(void* left, void* right) {
    auto* l = static_cast<int16_t*>(left);
    auto* r = static_cast<int16_t*>(right);
    uint32_t done = Deliver(l, r, 0);
    while (done < kBlockFrames && DecodeNextBlock()) done = Deliver(l, r, done);
    return done;
}

uint32_t WavReader::Deliver(int16_t* left, int16_t* right, uint32_t done) {
    if (channels == 2) {
        while (done < kBlockFrames && cursor_ + 2 <= blockValues_) {
            left[done] = block_[cursor_];
            right[done] = block_[cursor_ + 1];
            cursor_ += 2;
            ++done;
        }
    } else {
        while (done < kBlockFrames && cursor_ < blockValues_) left[done++] = block_[cursor_++];
    }
    return done;
}

bool WavReader::DecodeNextBlock() {
    if (failed_ || position >= length) return false;
    const uint64_t request = std::min<uint64_t>(readUnit_, length - position);
    position += request;
    // A short last block is dropped.
    if (std::fread(raw_.data(), 1, static_cast<size_t>(request), file_.get()) != readUnit_) return false;
    bool ok;
    if (gsm_) {
        ok = gsm_decode(gsm_.get(), raw_.data(), block_.data()) >= 0 &&
             gsm_decode(gsm_.get(), raw_.data() + 33, block_.data() + 160) >= 0;
    } else {
        ok = adpcm_->Decode(raw_.data(), block_.data());
    }
    if (!ok) {
        failed_ = true;
        return false;
    }
    cursor_ = 0;
    return true;
}

}  // namespace sonavert
