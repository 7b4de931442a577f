#include "sources/AiffReader.h"

#include <gsm.h>
#include <sys/types.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>

#include "sources/G72x.h"
#include "sources/SampleBytes.h"
#include "sources/WavReader.h"
#include "tags/TagReading.h"

namespace sonavert {

using namespace samplebytes;

namespace {

constexpr uint32_t kImaBlockBytes = 68;  // one 34-byte packet per channel, two channels
constexpr uint32_t kImaBlockFrames = 64;
constexpr uint32_t kGsmFrameBytes = 33;
constexpr uint32_t kGsmFrameSamples = 160;

bool IdIs(const uint8_t* id, const char* text) { return std::memcmp(id, text, 4) == 0; }

// The 80-bit IEEE 754 extended value of "COMM" (sign, 15-bit exponent, 64-bit mantissa with its
// integer bit) as a double; infinity for the exponent of all ones.
double Extended80(const uint8_t* p) {
    const int exponent = ((p[0] & 0x7F) << 8) | p[1];
    const uint32_t high = Be32(p + 2);
    const uint32_t low = Be32(p + 6);
    if (exponent == 0 && high == 0 && low == 0) return 0.0;
    if (exponent == 0x7FFF) return (p[0] & 0x80) ? -HUGE_VAL : HUGE_VAL;
    double value = std::ldexp(static_cast<double>(high), exponent - 16414) +
                   std::ldexp(static_cast<double>(low), exponent - 16446);
    return (p[0] & 0x80) ? -value : value;
}

// The channel table: the index of the stored channel delivered as "right", 0 for mono, -1 when the
// count is refused. Three or more channels are mixed down instead (AiffLayout).
int RightChannelIndex(uint32_t stored) {
    switch (stored) {
        case 1: return 0;
        case 2:
        case 3:
        case 4: return 1;
        case 6: return 3;
        default: return -1;
    }
}

// Speaker positions of the channel orders AIFF defines: 3 L R C, 4 quad, 6 L LC C R RC S.
SpeakerLayout AiffLayout(uint32_t stored) {
    switch (stored) {
        case 3: return {kSpeakerFrontLeft, kSpeakerFrontRight, kSpeakerFrontCenter};
        case 4: return {kSpeakerFrontLeft, kSpeakerFrontRight, kSpeakerBackLeft, kSpeakerBackRight};
        case 6:
            return {kSpeakerFrontLeft,  kSpeakerFrontLeftOfCenter,  kSpeakerFrontCenter,
                    kSpeakerFrontRight, kSpeakerFrontRightOfCenter, kSpeakerBackCenter};
        default: return {};
    }
}

// The WAVE mask of AIFF's channel orders, and for each channel in WAVE order the stored channel
// it comes from.
struct WideOrder {
    uint32_t mask;
    uint32_t from[6];
};
WideOrder AiffWideOrder(uint32_t stored) {
    switch (stored) {
        case 1: return {kSpeakerFrontCenter, {0}};
        case 2: return {kSpeakerFrontLeft | kSpeakerFrontRight, {0, 1}};
        case 3: return {kSpeakerFrontLeft | kSpeakerFrontRight | kSpeakerFrontCenter, {0, 1, 2}};
        case 4: return {kSpeakerFrontLeft | kSpeakerFrontRight | kSpeakerBackLeft | kSpeakerBackRight, {0, 1, 2, 3}};
        // L LC C R RC S: WAVE order is FL FR FC FLC FRC BC.
        case 6:
            return {kSpeakerFrontLeft | kSpeakerFrontRight | kSpeakerFrontCenter | kSpeakerFrontLeftOfCenter |
                        kSpeakerFrontRightOfCenter | kSpeakerBackCenter,
                    {0, 3, 2, 1, 4, 5}};
        default: return {0, {0}};
    }
}

}  // namespace

void AiffReader::GsmDestroyer::operator()(gsm_state* g) const { gsm_destroy(g); }

AiffReader::AiffReader() : work_(new uint8_t[kWorkBytes]) {}

AiffReader::~AiffReader() { Close(); }

void AiffReader::Close() {
    ima_.reset();
    gsm_.reset();
    gsmOut_.clear();
    gsmOut_.shrink_to_fit();
    dwvwOut_.clear();
    dwvwOut_.shrink_to_fit();
    dwvw_ = DwvwState{};
    file_.reset();
    tags_ = TagRecord{};
    frames_ = 0;
    framesKnown_ = false;
    sampleBits_ = 0;
    sampleBytes_ = 0;
    kind_ = Kind::None;
    littleEndian_ = false;
    commSeen_ = false;
    ssndSeen_ = false;
    rightIndex_ = 0;
    downmix_ = StereoDownmix();
    mix16_.clear();
    mix16_.shrink_to_fit();
    mix8_.clear();
    mix8_.shrink_to_fit();
    dataStart_ = 0;
    dataBytes_ = 0;
    remaining_ = 0;
    routine_ = nullptr;
    expand_ = nullptr;
    ResetFormat();
}

int AiffReader::Open(const std::string& path, uint32_t /*renderRate*/) {
    Close();
    return OpenStream(std::fopen(path.c_str(), "rb"));
}

int AiffReader::OpenStream(std::FILE* stream) {
    Close();
    if (!stream) return 0;
    file_.reset(stream);
    if (!Walk() || !Prepare()) {
        Close();
        return 0;
    }
    return 1;
}

bool AiffReader::Walk() {
    std::FILE* f = file_.get();
    // The length is the size of the whole file.
    if (fseeko(f, 0, SEEK_END) != 0) return false;
    const off_t end = ftello(f);
    if (end < 0 || fseeko(f, 0, SEEK_SET) != 0) return false;
    length = static_cast<uint64_t>(end);

    uint8_t header[12];
    if (std::fread(header, 1, sizeof header, f) != sizeof header) return false;
    if (!IdIs(header, "FORM")) return false;
    bool aifc;
    if (IdIs(header + 8, "AIFF"))
        aifc = false;
    else if (IdIs(header + 8, "AIFC"))
        aifc = true;
    else
        return false;

    for (;;) {
        uint8_t chunk[8];
        if (std::fread(chunk, 1, sizeof chunk, f) != sizeof chunk) break;
        const off_t bodyStart = ftello(f);
        if (bodyStart < 0) return false;
        // An odd size is followed by a pad byte.
        const uint64_t declared = Be32(chunk + 4);
        const uint64_t size = (declared + 1) & ~uint64_t{1};

        if (IdIs(chunk, "COMM")) {
            // A "COMM" chunk must fit the work buffer; plain AIFF has exactly 18 bytes, AIFF-C at least 22.
            if (size > kWorkBytes) return false;
            if (std::fread(work_.get(), 1, size, f) != size) return false;
            if (aifc ? size < 22 : size != 18) return false;
            if (!ParseComm(work_.get(), aifc)) return false;
            commSeen_ = true;
            continue;
        }
        if (IdIs(chunk, "SSND")) {
            if (size < 8) return false;
            uint8_t offsets[8];
            if (std::fread(offsets, 1, sizeof offsets, f) != sizeof offsets) return false;
            const uint64_t offset = Be32(offsets);
            // The offset must stay inside the chunk and the data must start inside the file.
            if (offset > size - 8) return false;
            dataStart_ = static_cast<uint64_t>(bodyStart) + 8 + offset;
            if (dataStart_ > length) return false;
            // The pad byte after an odd-sized chunk is not sample data.
            dataBytes_ = declared >= 8 + offset ? declared - 8 - offset : 0;
            remaining_ = dataBytes_;
            ssndSeen_ = true;
        } else if (IdIs(chunk, "ID3 ") && size <= kWorkBytes) {
            // The tags are read from memory; a short chunk at the end of the file gives what it holds.
            const size_t got = std::fread(work_.get(), 1, size, f);
            TagRecord found;
            if (got > 0 && ReadId3Tags(work_.get(), got, found)) tags_ = std::move(found);
            if (got != size) break;
            continue;
        }
        // Skip the chunk (or the rest of "SSND"). A chunk that runs past the end ends the walk.
        if (static_cast<uint64_t>(bodyStart) + size > static_cast<uint64_t>(INT64_MAX)) break;
        if (fseeko(f, bodyStart + static_cast<off_t>(size), SEEK_SET) != 0) break;
    }
    return commSeen_ && ssndSeen_;
}

bool AiffReader::ParseComm(const uint8_t* body, bool aifc) {
    const uint32_t ch = Be16(body);
    uint32_t frames = Be32(body + 2);
    const uint32_t size = Be16(body + 6);
    const double rate = Extended80(body + 8);

    framesKnown_ = frames != 0 && frames != 0xFFFFFFFFu;
    if (!framesKnown_) frames = 1;

    const int right = RightChannelIndex(ch);
    if (right < 0) return false;

    // A rate that truncates to 0, a negative, infinite or undefined rate and one beyond 32 bits
    // are refused.
    if (!(rate >= 1.0) || !(rate < 2147483648.0)) return false;
    // So is one beyond what any writer takes, once truncated.
    if (!UsableSampleRate(static_cast<uint64_t>(rate))) return false;

    char type[4] = {'N', 'O', 'N', 'E'};
    if (aifc)
        for (int i = 0; i < 4; ++i)
            type[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(body[18 + i])));
    auto is = [&](const char* t) { return std::memcmp(type, t, 4) == 0; };

    littleEndian_ = false;
    uint32_t bits = size;
    if (is("NONE") || is("TWOS") || is("IN24") || is("IN32")) {
        kind_ = Kind::Pcm;
    } else if (is("SOWT") || is("23NI")) {
        kind_ = Kind::Pcm;
        littleEndian_ = true;
    } else if (is("ULAW")) {
        kind_ = Kind::MuLaw;
        bits = 8;
    } else if (is("ALAW")) {
        kind_ = Kind::ALaw;
        bits = 8;
    } else if (is("FL32")) {
        kind_ = Kind::Float32;
        bits = 32;
    } else if (is("FL64")) {
        kind_ = Kind::Float64;
        bits = 64;
    } else if (is("IMA4")) {
        if (ch != 2) return false;
        kind_ = Kind::Ima4;
        bits = 4;
    } else if (is("RAW ")) {
        kind_ = Kind::Raw;
        bits = 8;
    } else if (is("GSM ")) {
        // GSM frames hold one channel.
        if (ch != 1 || size == 0) return false;
        kind_ = Kind::Gsm;
    } else if (is("DWVW")) {
        if (size < 8 || size > 24) return false;
        kind_ = Kind::Dwvw;
    } else {
        return false;
    }
    if (kind_ == Kind::Pcm && (size == 0 || size > 32)) return false;

    storedChannels = ch;
    channels = ch == 1 ? 1 : 2;
    rightIndex_ = static_cast<uint32_t>(right);
    // More than two channels are mixed down by the positions of AIFF's channel order.
    if (ch > 2) downmix_ = StereoDownmix(AiffLayout(ch));
    sampleRate = static_cast<uint32_t>(rate);
    sampleBits_ = bits;
    sampleBytes_ = (bits + 7) / 8;
    frames_ = frames;
    bitsPerSample = ((kind_ == Kind::Pcm && bits <= 8) || kind_ == Kind::Raw) ? 8 : 16;
    bytesPerSample = bitsPerSample / 8;
    return true;
}

bool AiffReader::Prepare() {
    const uint32_t ch = storedChannels;
    switch (kind_) {
        case Kind::Pcm:
            if (sampleBits_ <= 8)
                routine_ = &AiffReader::ReadPcm8;
            else if (sampleBits_ <= 16)
                routine_ = &AiffReader::ReadPcm16;
            else if (sampleBits_ <= 24)
                routine_ = &AiffReader::ReadPcm24;
            else
                routine_ = &AiffReader::ReadPcm32;
            break;
        case Kind::Raw: routine_ = &AiffReader::ReadRaw; break;
        case Kind::MuLaw:
        case Kind::ALaw:
            expand_ = kind_ == Kind::ALaw ? &ExpandALaw : &ExpandMuLaw;
            routine_ = &AiffReader::ReadG711;
            break;
        case Kind::Float32: routine_ = &AiffReader::ReadFloat32; break;
        case Kind::Float64: routine_ = &AiffReader::ReadFloat64; break;
        case Kind::Ima4: {
            // The WAV-style format block of the IMA decoder: tag 17, two channels, the rate, block
            // align 68, 4 bits, cbSize 0, 64 samples per block.
            std::vector<uint8_t> format(20, 0);
            auto put16 = [&](size_t at, uint32_t v) {
                format[at] = static_cast<uint8_t>(v);
                format[at + 1] = static_cast<uint8_t>(v >> 8);
            };
            put16(0, 17);
            put16(2, 2);
            put16(4, sampleRate & 0xFFFF);
            put16(6, sampleRate >> 16);
            put16(12, kImaBlockBytes);
            put16(14, 4);
            put16(16, 0);
            put16(18, kImaBlockFrames);
            ima_ = std::make_unique<ImaAdpcmDecoder>(std::move(format));
            frames_ = dataBytes_ * kImaBlockFrames / kImaBlockBytes;
            routine_ = &AiffReader::ReadIma4;
            break;
        }
        case Kind::Gsm: {
            gsm_.reset(gsm_create());
            if (!gsm_) return false;
            gsmOut_.assign(kGsmFrameSamples, 0);
            frames_ = dataBytes_ * kGsmFrameSamples / kGsmFrameBytes;
            routine_ = &AiffReader::ReadGsm;
            break;
        }
        case Kind::Dwvw:
            dwvw_ = DwvwState{};
            dwvw_.bitWidth = static_cast<int>(sampleBits_);
            dwvw_.dwmMax = dwvw_.bitWidth / 2;
            dwvw_.maxDelta = int32_t{1} << (dwvw_.bitWidth - 1);
            dwvw_.span = int32_t{1} << dwvw_.bitWidth;
            // The frame count bounds the decoding: the zero bits that pad the last byte would
            // otherwise decode as further samples.
            dwvw_.samplesLeft = framesKnown_ ? frames_ * ch : UINT64_MAX;
            dwvwOut_.assign(static_cast<size_t>(ch) * kBlockFrames, 0);
            routine_ = &AiffReader::ReadDwvw;
            break;
        case Kind::None: return false;
    }

    const uint64_t seconds = frames_ / sampleRate;
    duration = static_cast<int32_t>(std::min<uint64_t>(seconds, INT32_MAX));
    const uint64_t kbps = seconds != 0 ? length / seconds / 125
                                       : static_cast<uint64_t>(sampleBits_) * ch * sampleRate / 1000;
    bitRate = static_cast<uint32_t>(std::min<uint64_t>(kbps, UINT32_MAX));

    if (fseeko(file_.get(), static_cast<off_t>(dataStart_), SEEK_SET) != 0) return false;
    position = dataStart_;
    return true;
}

int AiffReader::ReadTags(TagRecord& tags) {
    const TagRecord& t = tags_;
    if (t.title.empty() && t.artist.empty() && t.album.empty() && t.year.empty() && t.genre.empty() &&
        t.comment.empty() && t.track.empty() && t.composer.empty() && t.copyright.empty())
        return 0;
    tags = t;
    return 1;
}

uint32_t AiffReader::Read(void* left, void* right) {
    if (!file_ || !routine_ || !left) return 0;
    if (channels == 2 && !right) return 0;
    return (this->*routine_)(left, right);
}

bool AiffReader::StoredSamples() const {
    return kind_ == Kind::Pcm || kind_ == Kind::Raw || kind_ == Kind::Float32 || kind_ == Kind::Float64;
}

WideFormat AiffReader::GetWideFormat() {
    if (!file_ || !routine_ || !StoredSamples()) return AudioSource::GetWideFormat();
    WideFormat f;
    f.channels = storedChannels;
    f.channelMask = AiffWideOrder(storedChannels).mask;
    f.bits = sampleBits_;
    f.isFloat = kind_ == Kind::Float32 || kind_ == Kind::Float64;
    return f;
}

uint32_t AiffReader::ReadWide(double* out) {
    if (!file_ || !routine_ || !out) return 0;
    // The companded and block-coded kinds widen the 16-bit read.
    if (!StoredSamples()) return AudioSource::ReadWide(out);
    const uint32_t ch = storedChannels;
    const uint32_t frames = ReadFrames(static_cast<size_t>(ch) * kBlockFrames * sampleBytes_);
    const WideOrder order = AiffWideOrder(ch);
    const uint8_t* p = work_.get();
    // Integer samples are left-justified in their bytes: scaled by the container's size.
    const double scale = 1.0 / std::ldexp(1.0, static_cast<int>(8 * sampleBytes_) - 1);
    auto sample = [&](const uint8_t* s) -> double {
        switch (kind_) {
            case Kind::Float32: return FloatOfBits(Be32(s));
            case Kind::Float64: return DoubleOfBits(Be64(s));
            case Kind::Raw: return (static_cast<int>(*s) - 128) / 128.0;
            default: break;
        }
        uint32_t u = 0;
        for (uint32_t b = 0; b < sampleBytes_; ++b) {
            const uint32_t byte = littleEndian_ ? s[sampleBytes_ - 1 - b] : s[b];
            u = (u << 8) | byte;
        }
        const int shift = 32 - static_cast<int>(8 * sampleBytes_);
        return (static_cast<int32_t>(u << shift) >> shift) * scale;
    };
    for (uint32_t i = 0; i < frames; ++i) {
        const uint8_t* frame = p + static_cast<size_t>(i) * ch * sampleBytes_;
        for (uint32_t c = 0; c < ch; ++c) out[static_cast<size_t>(i) * ch + c] = sample(frame + order.from[c] * sampleBytes_);
    }
    return frames;
}

// ---- uncompressed routines ----

uint32_t AiffReader::ReadFrames(size_t unit) {
    if (remaining_ == 0) return 0;
    const size_t request = static_cast<size_t>(std::min<uint64_t>(unit, remaining_));
    remaining_ -= request;
    const size_t got = std::fread(work_.get(), 1, request, file_.get());
    position += got;
    return static_cast<uint32_t>(got / (static_cast<size_t>(storedChannels) * sampleBytes_));
}

template <typename Convert>
uint32_t AiffReader::Spread16(uint32_t frames, uint32_t sampleBytes, void* left, void* right, Convert convert) {
    auto* l = static_cast<int16_t*>(left);
    auto* r = static_cast<int16_t*>(right);
    const uint8_t* p = work_.get();
    const size_t frameBytes = static_cast<size_t>(storedChannels) * sampleBytes;
    const size_t rightOffset = static_cast<size_t>(rightIndex_) * sampleBytes;
    if (channels == 1) {
        for (uint32_t i = 0; i < frames; ++i) l[i] = convert(p + i * frameBytes);
    } else if (storedChannels > 2) {
        const size_t samples = static_cast<size_t>(frames) * storedChannels;
        mix16_.resize(samples);
        for (size_t k = 0; k < samples; ++k) mix16_[k] = convert(p + k * sampleBytes);
        downmix_.Mix(mix16_.data(), frames, l, r);
    } else {
        for (uint32_t i = 0; i < frames; ++i) {
            l[i] = convert(p + i * frameBytes);
            r[i] = convert(p + i * frameBytes + rightOffset);
        }
    }
    return frames;
}

uint32_t AiffReader::ReadPcm8(void* left, void* right) {
    const uint32_t frames = ReadFrames(static_cast<size_t>(storedChannels) * 1152);
    auto* l = static_cast<uint8_t*>(left);
    auto* r = static_cast<uint8_t*>(right);
    const uint8_t* p = work_.get();
    const uint32_t ch = storedChannels;
    // Signed bytes become unsigned bytes centred on 128.
    if (ch > 2) {
        mix8_.resize(static_cast<size_t>(frames) * ch);
        for (size_t k = 0; k < mix8_.size(); ++k) mix8_[k] = static_cast<uint8_t>(p[k] ^ 0x80);
        downmix_.Mix(mix8_.data(), frames, l, r);
        return frames;
    }
    for (uint32_t i = 0; i < frames; ++i) {
        l[i] = static_cast<uint8_t>(p[i * ch] ^ 0x80);
        if (channels == 2) r[i] = static_cast<uint8_t>(p[i * ch + rightIndex_] ^ 0x80);
    }
    return frames;
}

uint32_t AiffReader::ReadRaw(void* left, void* right) {
    const uint32_t frames = ReadFrames(static_cast<size_t>(storedChannels) * 1152);
    auto* l = static_cast<uint8_t*>(left);
    auto* r = static_cast<uint8_t*>(right);
    const uint8_t* p = work_.get();
    const uint32_t ch = storedChannels;
    if (ch > 2) {
        downmix_.Mix(p, frames, l, r);
        return frames;
    }
    for (uint32_t i = 0; i < frames; ++i) {
        l[i] = p[i * ch];
        if (channels == 2) r[i] = p[i * ch + rightIndex_];
    }
    return frames;
}

uint32_t AiffReader::ReadPcm16(void* left, void* right) {
    const uint32_t frames = ReadFrames(static_cast<size_t>(storedChannels) * 2304);
    if (littleEndian_)
        return Spread16(frames, 2, left, right, [](const uint8_t* p) { return static_cast<int16_t>(Le16(p)); });
    return Spread16(frames, 2, left, right, [](const uint8_t* p) { return static_cast<int16_t>(Be16(p)); });
}

uint32_t AiffReader::ReadPcm24(void* left, void* right) {
    const uint32_t frames = ReadFrames(static_cast<size_t>(storedChannels) * 3456);
    // The upper two bytes of each 3-byte sample; the low byte is dropped.
    if (littleEndian_)
        return Spread16(frames, 3, left, right,
                        [](const uint8_t* p) { return static_cast<int16_t>((p[2] << 8) | p[1]); });
    return Spread16(frames, 3, left, right, [](const uint8_t* p) { return static_cast<int16_t>(Be16(p)); });
}

uint32_t AiffReader::ReadPcm32(void* left, void* right) {
    const uint32_t frames = ReadFrames(static_cast<size_t>(storedChannels) * 4608);
    if (littleEndian_)
        return Spread16(frames, 4, left, right, [](const uint8_t* p) { return static_cast<int16_t>(Le16(p + 2)); });
    return Spread16(frames, 4, left, right, [](const uint8_t* p) { return static_cast<int16_t>(Be16(p)); });
}

uint32_t AiffReader::ReadFloat32(void* left, void* right) {
    const uint32_t frames = ReadFrames(static_cast<size_t>(storedChannels) * 4608);
    return Spread16(frames, 4, left, right, [](const uint8_t* p) { return FloatTo16(FloatOfBits(Be32(p))); });
}

uint32_t AiffReader::ReadFloat64(void* left, void* right) {
    const uint32_t frames = ReadFrames(static_cast<size_t>(storedChannels) * 9216);
    return Spread16(frames, 8, left, right, [](const uint8_t* p) { return FloatTo16(DoubleOfBits(Be64(p))); });
}

uint32_t AiffReader::ReadG711(void* left, void* right) {
    const uint32_t frames = ReadFrames(static_cast<size_t>(storedChannels) * 1152);
    auto expand = expand_;
    return Spread16(frames, 1, left, right, [expand](const uint8_t* p) { return expand(*p); });
}

// ---- compressed routines ----

uint32_t AiffReader::ReadIma4(void* left, void* right) {
    if (remaining_ < kImaBlockBytes) return 0;
    remaining_ -= kImaBlockBytes;
    const size_t got = std::fread(work_.get(), 1, kImaBlockBytes, file_.get());
    position += got;
    if (got != kImaBlockBytes) return 0;
    int16_t out[kImaBlockFrames * 2];
    if (!ima_->DecodeAppleIma4(work_.get(), out)) return 0;
    auto* l = static_cast<int16_t*>(left);
    auto* r = static_cast<int16_t*>(right);
    for (uint32_t i = 0; i < kImaBlockFrames; ++i) {
        l[i] = out[2 * i];
        r[i] = out[2 * i + 1];
    }
    return kImaBlockFrames;
}

uint32_t AiffReader::ReadGsm(void* left, void* /*right*/) {
    if (remaining_ < kGsmFrameBytes) return 0;
    remaining_ -= kGsmFrameBytes;
    const size_t got = std::fread(work_.get(), 1, kGsmFrameBytes, file_.get());
    position += got;
    if (got != kGsmFrameBytes) return 0;
    if (gsm_decode(gsm_.get(), work_.get(), gsmOut_.data()) < 0) return 0;
    std::memcpy(left, gsmOut_.data(), kGsmFrameSamples * sizeof(int16_t));
    return kGsmFrameSamples;
}

bool AiffReader::DwvwBits(int count, uint32_t& out) {
    DwvwState& s = dwvw_;
    while (s.bitCount < count) {
        if (s.inIndex >= s.inEnd) {
            // Refill the input block, 256 bytes at a time, from the data bytes still unread.
            if (remaining_ == 0) return false;
            const size_t request = static_cast<size_t>(std::min<uint64_t>(sizeof s.in, remaining_));
            remaining_ -= request;
            const size_t got = std::fread(s.in, 1, request, file_.get());
            position += got;
            if (got == 0) {
                remaining_ = 0;
                return false;
            }
            s.inIndex = 0;
            s.inEnd = static_cast<uint32_t>(got);
        }
        s.bits = (s.bits << 8) | s.in[s.inIndex++];
        s.bitCount += 8;
    }
    s.bitCount -= count;
    out = static_cast<uint32_t>((s.bits >> s.bitCount) & ((uint64_t{1} << count) - 1));
    return true;
}

uint32_t AiffReader::ReadDwvw(void* left, void* right) {
    DwvwState& s = dwvw_;
    const uint32_t ch = storedChannels;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(ch) * kBlockFrames, s.samplesLeft));
    size_t count = 0;
    bool ended = true;  // the input ran out in the middle of a sample
    while (count < want) {
        // The width modifier: zeros before a one, at most dwmMax of them.
        int modifier = 0;
        uint32_t bit = 0;
        bool end = false;
        while (modifier < s.dwmMax) {
            if (!DwvwBits(1, bit)) {
                end = true;
                break;
            }
            if (bit) break;
            ++modifier;
        }
        if (end) break;
        if (modifier != 0) {
            if (!DwvwBits(1, bit)) break;
            if (bit) modifier = -modifier;
        }
        const int width = (s.lastWidth + modifier + s.bitWidth) % s.bitWidth;
        int32_t delta = 0;
        if (width != 0) {
            uint32_t magnitude = 0, sign = 0;
            if (!DwvwBits(width - 1, magnitude) || !DwvwBits(1, sign)) break;
            delta = static_cast<int32_t>(magnitude | (uint32_t{1} << (width - 1)));
            if (delta == s.maxDelta - 1) {
                uint32_t extra = 0;
                if (!DwvwBits(1, extra)) break;
                delta += static_cast<int32_t>(extra);
            }
            if (sign) delta = -delta;
        }
        int32_t sample = s.lastSample + delta;
        if (sample >= s.maxDelta)
            sample -= s.span;
        else if (sample < -s.maxDelta)
            sample += s.span;
        s.lastWidth = width;
        s.lastSample = sample;
        // Justified to the most significant bit.
        dwvwOut_[count++] = static_cast<int32_t>(static_cast<uint32_t>(sample) << (32 - s.bitWidth));
    }
    if (count == want) ended = false;
    s.samplesLeft -= count;
    // Once the input ran out, the bits left over belong to no sample.
    if (ended) s.samplesLeft = 0;

    const uint32_t frames = static_cast<uint32_t>(count / ch);
    auto* l = static_cast<int16_t*>(left);
    auto* r = static_cast<int16_t*>(right);
    if (ch > 2) {
        mix16_.resize(static_cast<size_t>(frames) * ch);
        for (size_t k = 0; k < mix16_.size(); ++k) mix16_[k] = static_cast<int16_t>(dwvwOut_[k] >> 16);
        downmix_.Mix(mix16_.data(), frames, l, r);
        return frames;
    }
    for (uint32_t i = 0; i < frames; ++i) {
        l[i] = static_cast<int16_t>(dwvwOut_[static_cast<size_t>(i) * ch] >> 16);
        if (channels == 2) r[i] = static_cast<int16_t>(dwvwOut_[static_cast<size_t>(i) * ch + rightIndex_] >> 16);
    }
    return frames;
}

}  // namespace sonavert
