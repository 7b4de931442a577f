#include "sources/AuReader.h"

#include <sys/types.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "sources/SampleBytes.h"

namespace sonavert {

using namespace samplebytes;

namespace {

enum : uint32_t {
    kMuLaw = 1,
    kLinear8 = 2,
    kLinear16 = 3,
    kLinear24 = 4,
    kLinear32 = 5,
    kFloat = 6,
    kDouble = 7,
    kG721 = 23,
    kG723_3 = 25,
    kG723_5 = 26,
    kALaw = 27,
};

// Bits of one coded sample of each encoding; 0 for an encoding the reader does not decode.
uint32_t CodedBits(uint32_t encoding) {
    switch (encoding) {
        case kMuLaw:
        case kLinear8:
        case kALaw: return 8;
        case kLinear16: return 16;
        case kLinear24: return 24;
        case kLinear32:
        case kFloat: return 32;
        case kDouble: return 64;
        case kG721: return 4;
        case kG723_3: return 3;
        case kG723_5: return 5;
        default: return 0;
    }
}

// Sample rates below this or above kMaxSampleRate are taken as the telephone rate.
constexpr uint32_t kMinRate = 1000;
constexpr uint32_t kFallbackRate = 8000;

}  // namespace

AuReader::AuReader() : buffer_(new uint8_t[kReadBufferBytes]) {}

AuReader::~AuReader() { Close(); }

void AuReader::Close() {
    file_.reset();
    std::memset(header_, 0, sizeof header_);
    bigEndian_ = true;
    encoding_ = 0;
    codedBits_ = 0;
    dataOffset_ = 0;
    fileChannels_ = 0;
    adpcm_ = false;
    statedEmpty_ = false;
    g72x_.Reset(4);
    pendingBits_ = 0;
    pendingCount_ = 0;
    ResetFormat();
}

int AuReader::Open(const std::string& path, uint32_t /*renderRate*/) {
    Close();
    return OpenStream(std::fopen(path.c_str(), "rb"));
}

int AuReader::OpenStream(std::FILE* stream) {
    Close();
    if (!stream) return 0;
    file_.reset(stream);
    if (!ReadHeader()) {
        Close();
        return 0;
    }
    return 1;
}

bool AuReader::ReadHeader() {
    std::FILE* f = file_.get();
    const size_t got = std::fread(header_, 1, sizeof header_, f);
    if (got < 24) return false;

    if (std::memcmp(header_, ".snd", 4) == 0 || std::memcmp(header_, "\x2E\x73\x64\x00", 4) == 0)
        bigEndian_ = true;
    else if (std::memcmp(header_, "dns.", 4) == 0 || std::memcmp(header_, "\x00\x64\x73\x2E", 4) == 0)
        bigEndian_ = false;
    else
        return false;
    auto field = [&](size_t at) { return bigEndian_ ? Be32(header_ + at) : Le32(header_ + at); };

    dataOffset_ = field(4);
    if (dataOffset_ <= 23) return false;
    const uint32_t dataSize = field(8);

    uint32_t encoding = field(12);
    uint32_t rate = 0, fileChannels = 0;
    if (encoding >= 28) {
        // Some writers put more before the encoding: take the first small value of the next bytes,
        // and the rate and channels after it, from what was read.
        bool found = false;
        for (size_t at = 13; at < 13 + 20 && at + 4 <= got; ++at) {
            if (field(at) < 28) {
                if (at + 12 > got) return false;
                encoding = field(at);
                rate = field(at + 4);
                fileChannels = field(at + 8);
                found = true;
                break;
            }
        }
        if (!found) return false;
    } else {
        rate = field(16);
        fileChannels = field(20);
    }

    codedBits_ = CodedBits(encoding);
    if (codedBits_ == 0) return false;
    encoding_ = encoding;
    adpcm_ = encoding == kG721 || encoding == kG723_3 || encoding == kG723_5;
    if (adpcm_) {
        g72x_.Reset(static_cast<int>(codedBits_));
        pendingBits_ = 0;
        pendingCount_ = 0;
    }

    // No channel count means mono; more than two deliver their first channel. A count whose
    // block of 1152 frames would not fit the read buffer is refused.
    if (fileChannels > kMaxChannels) return false;
    if (fileChannels == 0) fileChannels = 1;
    fileChannels_ = fileChannels;
    storedChannels = fileChannels;
    channels = fileChannels == 2 ? 2 : 1;
    bitsPerSample = 16;
    bytesPerSample = 2;
    sampleRate = (rate < kMinRate || rate > kMaxSampleRate) ? kFallbackRate : rate;

    if (fseeko(f, 0, SEEK_END) != 0) return false;
    const off_t end = ftello(f);
    if (end < 0) return false;
    const uint64_t fileSize = static_cast<uint64_t>(end);
    // The data must start inside the file.
    if (dataOffset_ > fileSize) return false;
    if (fseeko(f, static_cast<off_t>(dataOffset_), SEEK_SET) != 0) return false;
    position = 0;
    length = dataSize == 0xFFFFFFFFu ? fileSize - dataOffset_ : dataSize;
    statedEmpty_ = dataSize == 0;

    const uint64_t frames = length * 8 / (static_cast<uint64_t>(codedBits_) * fileChannels_);
    const uint64_t seconds = frames / sampleRate;
    duration = static_cast<int32_t>(std::min<uint64_t>(seconds, INT32_MAX));
    const uint64_t kbps = seconds != 0 ? length / seconds / 125
                                       : static_cast<uint64_t>(codedBits_) * fileChannels_ * sampleRate / 1000;
    bitRate = static_cast<uint32_t>(std::min<uint64_t>(kbps, UINT32_MAX));
    return true;
}

int16_t AuReader::Convert(const uint8_t* p) const {
    const bool be = bigEndian_;
    switch (encoding_) {
        case kMuLaw: return ExpandMuLaw(*p);
        case kALaw: return ExpandALaw(*p);
        case kLinear8: return static_cast<int16_t>(static_cast<int8_t>(*p) * 256);
        case kLinear16: return static_cast<int16_t>(be ? Be16(p) : Le16(p));
        // 24 and 32 bits: the upper 16 bits.
        case kLinear24: return static_cast<int16_t>(be ? Be16(p) : (p[2] << 8) | p[1]);
        case kLinear32: return static_cast<int16_t>(be ? Be16(p) : Le16(p + 2));
        case kFloat: return FloatTo16(FloatOfBits(be ? Be32(p) : Le32(p)));
        case kDouble: return FloatTo16(DoubleOfBits(be ? Be64(p) : Le64(p)));
        default: return 0;
    }
}

uint32_t AuReader::Read(void* left, void* right) {
    if (!file_ || !left || codedBits_ == 0) return 0;
    if (channels == 2 && !right) return 0;
    if (position >= length) return 0;
    const uint64_t ch = fileChannels_;
    // One block of 1152 frames, cut to the data left.
    const uint64_t block = adpcm_ ? kBlockFrames * ch * codedBits_ / 8 : kBlockFrames * ch * (codedBits_ / 8);
    const size_t request = static_cast<size_t>(std::min<uint64_t>(block, length - position));
    position += request;
    const size_t got = std::fread(buffer_.get(), 1, request, file_.get());

    auto* l = static_cast<int16_t*>(left);
    auto* r = static_cast<int16_t*>(right);
    if (adpcm_) return ReadAdpcm(l, r, got);

    const size_t sampleBytes = codedBits_ / 8;
    const size_t frameBytes = sampleBytes * ch;
    const uint32_t frames = static_cast<uint32_t>(got / frameBytes);
    const uint8_t* p = buffer_.get();
    for (uint32_t i = 0; i < frames; ++i) {
        l[i] = Convert(p + i * frameBytes);
        if (channels == 2) r[i] = Convert(p + i * frameBytes + sampleBytes);
    }
    return frames;
}

bool AuReader::WideSamples() const {
    const bool linear = encoding_ == kLinear8 || encoding_ == kLinear16 || encoding_ == kLinear24 ||
                        encoding_ == kLinear32 || encoding_ == kFloat || encoding_ == kDouble;
    return linear && fileChannels_ >= 1 && fileChannels_ <= kMaxWideChannels;
}

WideFormat AuReader::GetWideFormat() {
    if (!file_ || !WideSamples()) return AudioSource::GetWideFormat();
    WideFormat f;
    f.channels = fileChannels_;
    f.channelMask = 0;
    f.bits = codedBits_;
    f.isFloat = encoding_ == kFloat || encoding_ == kDouble;
    return f;
}

double AuReader::ConvertWide(const uint8_t* p) const {
    const bool be = bigEndian_;
    switch (encoding_) {
        case kLinear8: return static_cast<int8_t>(*p) / 128.0;
        case kLinear16: return static_cast<int16_t>(be ? Be16(p) : Le16(p)) / 32768.0;
        case kLinear24: {
            const uint32_t u = be ? (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8)
                                  : (uint32_t{p[2]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[0]} << 8);
            return static_cast<int32_t>(u) / 2147483648.0;
        }
        case kLinear32: return static_cast<int32_t>(be ? Be32(p) : Le32(p)) / 2147483648.0;
        case kFloat: return FloatOfBits(be ? Be32(p) : Le32(p));
        case kDouble: return DoubleOfBits(be ? Be64(p) : Le64(p));
        default: return 0;
    }
}

uint32_t AuReader::ReadWide(double* out) {
    if (!file_ || !out || codedBits_ == 0) return 0;
    if (!WideSamples()) return AudioSource::ReadWide(out);
    if (position >= length) return 0;
    const size_t sampleBytes = codedBits_ / 8;
    const size_t frameBytes = sampleBytes * fileChannels_;
    const size_t request = static_cast<size_t>(std::min<uint64_t>(kBlockFrames * frameBytes, length - position));
    position += request;
    const size_t got = std::fread(buffer_.get(), 1, request, file_.get());
    const uint32_t frames = static_cast<uint32_t>(got / frameBytes);
    const size_t count = static_cast<size_t>(frames) * fileChannels_;
    for (size_t k = 0; k < count; ++k) out[k] = ConvertWide(buffer_.get() + k * sampleBytes);
    return frames;
}

uint32_t AuReader::ReadAdpcm(int16_t* left, int16_t* right, size_t got) {
    const uint32_t ch = fileChannels_;
    const int width = static_cast<int>(codedBits_);
    const uint64_t available = static_cast<uint64_t>(pendingCount_) + got * 8;
    const uint32_t frames = static_cast<uint32_t>(std::min<uint64_t>(available / (static_cast<uint64_t>(ch) * width), kBlockFrames));
    const uint8_t* p = buffer_.get();
    size_t next = 0;
    for (uint32_t i = 0; i < frames; ++i) {
        for (uint32_t c = 0; c < ch; ++c) {
            // Codes come least significant bit first: a new byte goes above the pending bits.
            if (pendingCount_ < width) {
                if (next >= got) return i;
                pendingBits_ |= static_cast<uint32_t>(p[next++]) << pendingCount_;
                pendingCount_ += 8;
            }
            const unsigned code = pendingBits_ & ((1u << width) - 1);
            pendingBits_ >>= width;
            pendingCount_ -= width;
            // Every code goes through the one decoder state; the first two channels are kept.
            const int16_t sample = g72x_.Decode(code);
            if (c == 0)
                left[i] = sample;
            else if (c == 1 && channels == 2)
                right[i] = sample;
        }
    }
    return frames;
}

}  // namespace sonavert
