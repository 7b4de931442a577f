#include "encoders/WavWriter.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Downmix.h"
#include "base/GrowingFile.h"
#include "encoders/SampleQuantiser.h"

namespace sonavert {

namespace {

constexpr uint32_t kHeaderBytes = 44;
// RIFF header, extensible format chunk and data header.
constexpr uint32_t kExtensibleHeaderBytes = 12 + 48 + 8;
constexpr uint16_t kTagExtensible = 0xFFFE;
constexpr uint32_t kMaxChannels = 8;
// Both size fields hold this until Close patches them.
constexpr uint32_t kPlaceholder = 4;

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool PutAt(int fd, off_t offset, uint32_t value) {
    uint8_t bytes[4];
    Put32(bytes, value);
    ssize_t n;
    do {
        n = pwrite(fd, bytes, sizeof bytes, offset);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof bytes);
}

}  // namespace

WavWriter::WavWriter(uint64_t maxDataBytes)
    : maxDataBytes_(maxDataBytes < kMaxDataBytes ? maxDataBytes : kMaxDataBytes) {}

WavWriter::~WavWriter() { Close(); }

int WavWriter::Fail(const std::string& reason) {
    failure_ = reason;
    return 0;
}

bool WavWriter::WriteAll(const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd_, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int WavWriter::Create(const std::string& path, const uint8_t* header, uint32_t headerBytes) {
    int fd;
    do {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Fail(std::strerror(errno));
    fd_ = fd;
    if (!WriteAll(header, headerBytes)) {
        const int error = errno;
        close(fd_);
        fd_ = -1;
        return Fail(std::strerror(error));
    }
    headerBytes_ = headerBytes;
    dataBytes_ = 0;
    failed_ = false;
    path_ = path;
    return 1;
}

void WavWriter::FollowWith(std::shared_ptr<GrowingFile> file) {
    if (!file) return;
    if (fd_ < 0 || failed_ || follow_ || dataBytes_ > 0) {
        file->Fail();
        return;
    }
    // The file is open for writing only: the reader opens it again, and makes sure it is the same.
    int fd;
    do {
        fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    struct stat mine {}, theirs {};
    std::vector<uint8_t> header(headerBytes_);
    const bool same = fd >= 0 && fstat(fd_, &mine) == 0 && fstat(fd, &theirs) == 0 && mine.st_dev == theirs.st_dev &&
                      mine.st_ino == theirs.st_ino &&
                      pread(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size());
    if (!same || !file->TakeReader(fd)) {
        if (!same && fd >= 0) close(fd);
        file->Fail();
        return;
    }
    Put32(header.data() + headerBytes_ - 4, 0);
    file->SetPrefix(std::move(header));
    follow_ = std::move(file);
    published_ = headerBytes_;
    follow_->Publish(published_);
}

int WavWriter::Open(const std::string& path, int stereo, uint32_t bits, uint32_t rate) {
    Close();
    failure_.clear();
    if (bits != 8 && bits != 16) return Fail("WAV files are written with 8 or 16 bits per sample, not " + std::to_string(bits));
    const uint16_t channels = stereo ? 2 : 1;
    const uint32_t avgBytes = (channels * bits * rate) >> 3;
    const uint16_t blockAlign = static_cast<uint16_t>(channels * bits / 8);

    uint8_t h[kHeaderBytes];
    std::memcpy(h, "RIFF", 4);
    Put32(h + 4, kPlaceholder);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    Put32(h + 16, 16);
    Put16(h + 20, 1);  // PCM
    Put16(h + 22, channels);
    Put32(h + 24, rate);
    Put32(h + 28, avgBytes);
    Put16(h + 32, blockAlign);
    Put16(h + 34, static_cast<uint16_t>(bits));
    std::memcpy(h + 36, "data", 4);
    Put32(h + 40, kPlaceholder);
    if (!Create(path, h, sizeof h)) return 0;
    channels_ = channels;
    bits_ = static_cast<uint16_t>(bits);
    float_ = false;
    interleaved_ = false;
    factOffset_ = 0;
    return 1;
}

int WavWriter::OpenInterleaved(const std::string& path, uint32_t channels, uint32_t bits, bool isFloat, uint32_t rate,
                               uint32_t channelMask) {
    Close();
    failure_.clear();
    if (channels < 1 || channels > kMaxChannels) return Fail("WAV files are written with 1 to 8 channels, not " + std::to_string(channels));
    const bool bitsOk = isFloat ? (bits == 32 || bits == 64) : (bits == 8 || bits == 16 || bits == 24 || bits == 32);
    if (!bitsOk)
        return Fail("WAV files are written with 8, 16, 24 or 32 bits per sample or 32- or 64-bit floats, not " +
                    std::to_string(bits) + (isFloat ? "-bit floats" : " bits"));
    if (rate == 0) return Fail("a WAV file needs a sample rate");
    const uint32_t blockAlign = channels * bits / 8;
    const uint64_t avgBytes = static_cast<uint64_t>(blockAlign) * rate;
    if (avgBytes > 0xFFFFFFFFull) return Fail("the WAV format cannot state " + std::to_string(avgBytes) + " bytes per second");
    if (!isFloat && bits <= 16 && channels <= 2) {
        if (!Open(path, channels == 2, bits, rate)) return 0;
        interleaved_ = true;
        return 1;
    }
    if (channelMask == 0) channelMask = DefaultChannelMask(channels);
    // RIFF header, a 40-byte extensible format chunk, a "fact" chunk for floats, the data header.
    uint8_t h[kExtensibleHeaderBytes + 12];
    uint32_t size = 0;
    auto put = [&](const char* text) { std::memcpy(h + size, text, 4), size += 4; };
    auto put16 = [&](uint32_t v) { Put16(h + size, static_cast<uint16_t>(v)), size += 2; };
    auto put32 = [&](uint32_t v) { Put32(h + size, v), size += 4; };
    put("RIFF");
    put32(kPlaceholder);
    put("WAVE");
    put("fmt ");
    put32(40);
    put16(kTagExtensible);
    put16(channels);
    put32(rate);
    put32(static_cast<uint32_t>(avgBytes));
    put16(blockAlign);
    put16(bits);
    put16(22);    // extension size
    put16(bits);  // valid bits
    put32(channelMask);
    // The sub-format GUID: the format tag (1 PCM, 3 IEEE float), then the fixed WAVE tail.
    static const uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                          0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    put16(isFloat ? 3 : 1);
    std::memcpy(h + size, kGuidTail, sizeof kGuidTail);
    size += sizeof kGuidTail;
    uint32_t factOffset = 0;
    if (isFloat) {
        put("fact");
        put32(4);
        factOffset = size;
        put32(0);  // frames, patched at Close
    }
    put("data");
    put32(kPlaceholder);
    if (!Create(path, h, size)) return 0;
    channels_ = static_cast<uint16_t>(channels);
    bits_ = static_cast<uint16_t>(bits);
    float_ = isFloat;
    interleaved_ = true;
    factOffset_ = factOffset;
    return 1;
}

uint64_t WavWriter::DataLimit() const {
    // The RIFF size field counts the whole file but its first 8 bytes.
    const uint64_t limit = 0xFFFFFFFFull - (headerBytes_ - 8);
    return maxDataBytes_ < limit ? maxDataBytes_ : limit;
}

int WavWriter::WriteBlock(const void* left, const void* right, uint32_t count, uint32_t sampleBytes) {
    if (fd_ < 0 || failed_ || float_ || bits_ != sampleBytes * 8 || channels_ > 2) return 0;
    if (count == 0) return 1;
    if (!left || (channels_ == 2 && !right)) return 0;
    const uint64_t blockBytes = static_cast<uint64_t>(count) * channels_ * sampleBytes;
    // Stop before the header's 32-bit size fields would wrap round.
    if (blockBytes > DataLimit() - dataBytes_) return Fail("the WAV file would pass its 4 GB size limit");

    buffer_.resize(static_cast<size_t>(blockBytes));
    uint8_t* out = buffer_.data();
    if (sampleBytes == 2) {
        const int16_t* l = static_cast<const int16_t*>(left);
        const int16_t* r = static_cast<const int16_t*>(right);
        for (uint32_t i = 0; i < count; ++i) {
            Put16(out, static_cast<uint16_t>(l[i]));
            out += 2;
            if (channels_ == 2) {
                Put16(out, static_cast<uint16_t>(r[i]));
                out += 2;
            }
        }
    } else {
        const uint8_t* l = static_cast<const uint8_t*>(left);
        const uint8_t* r = static_cast<const uint8_t*>(right);
        for (uint32_t i = 0; i < count; ++i) {
            *out++ = l[i];
            if (channels_ == 2) *out++ = r[i];
        }
    }
    return Flush(blockBytes) ? 1 : 0;
}

bool WavWriter::Flush(uint64_t blockBytes) {
    if (!WriteAll(buffer_.data(), buffer_.size())) {
        // A short or failed write (full disk, file size limit) ends the file here; Close still
        // patches the header from what really reached the disk.
        failed_ = true;
        return Fail(std::strerror(errno)) != 0;
    }
    dataBytes_ += blockBytes;
    if (follow_ && headerBytes_ + dataBytes_ - published_ >= kPublishBytes) {
        published_ = headerBytes_ + dataBytes_;
        follow_->Publish(published_);
    }
    return true;
}

int WavWriter::WriteInterleaved(const double* samples, uint32_t frames) {
    if (fd_ < 0 || failed_ || !interleaved_) return 0;
    if (frames == 0) return 1;
    if (!samples) return 0;
    const uint32_t sampleBytes = bits_ / 8u;
    const size_t count = static_cast<size_t>(frames) * channels_;
    const uint64_t blockBytes = static_cast<uint64_t>(count) * sampleBytes;
    if (blockBytes > DataLimit() - dataBytes_) return Fail("the WAV file would pass its 4 GB size limit");
    buffer_.resize(static_cast<size_t>(blockBytes));
    uint8_t* out = buffer_.data();
    if (float_) {
        for (size_t i = 0; i < count; ++i, out += sampleBytes) {
            if (bits_ == 32) {
                const float f = static_cast<float>(samples[i]);
                uint32_t u;
                std::memcpy(&u, &f, 4);
                Put32(out, u);
            } else {
                uint64_t u;
                std::memcpy(&u, &samples[i], 8);
                Put32(out, static_cast<uint32_t>(u));
                Put32(out + 4, static_cast<uint32_t>(u >> 32));
            }
        }
    } else {
        const double scale = std::ldexp(1.0, bits_ - 1);
        for (size_t i = 0; i < count; ++i, out += sampleBytes) {
            const int64_t v = QuantiseSample(samples[i], scale);
            if (bits_ == 8) {
                *out = static_cast<uint8_t>(v + 128);
                continue;
            }
            const uint32_t u = static_cast<uint32_t>(v);
            for (uint32_t b = 0; b < sampleBytes; ++b) out[b] = static_cast<uint8_t>(u >> (8 * b));
        }
    }
    return Flush(blockBytes) ? 1 : 0;
}

int WavWriter::WriteSamples16(const int16_t* left, const int16_t* right, uint32_t count) {
    return WriteBlock(left, right, count, 2);
}

int WavWriter::WriteSamples8(const uint8_t* left, const uint8_t* right, uint32_t count) {
    return WriteBlock(left, right, count, 1);
}

int WavWriter::Close() {
    if (fd_ < 0) return 1;
    const bool writeFailed = failed_;
    bool ok = false;
    struct stat st {};
    if (fstat(fd_, &st) == 0 && st.st_size >= static_cast<off_t>(headerBytes_)) {
        uint64_t size = static_cast<uint64_t>(st.st_size);
        // The size guard keeps this within 32 bits; clamp all the same rather than wrap.
        if (size - headerBytes_ > DataLimit()) size = DataLimit() + headerBytes_;
        const uint64_t data = size - headerBytes_;
        ok = PutAt(fd_, 4, static_cast<uint32_t>(size - 8)) &&
             PutAt(fd_, static_cast<off_t>(headerBytes_) - 4, static_cast<uint32_t>(data));
        // A float file's frame count; a partial last frame does not count.
        const uint64_t frameBytes = static_cast<uint64_t>(channels_) * (bits_ / 8u);
        if (ok && factOffset_ && frameBytes) ok = PutAt(fd_, factOffset_, static_cast<uint32_t>(data / frameBytes));
    }
    if (!ok) failure_ = std::strerror(errno);
    if (close(fd_) != 0 && ok) {
        failure_ = std::strerror(errno);
        ok = false;
    }
    fd_ = -1;
    if (follow_) {
        if (ok && !writeFailed)
            follow_->Finish(static_cast<uint64_t>(st.st_size));
        else
            follow_->Fail();
        follow_.reset();
    }
    channels_ = 0;
    bits_ = 0;
    float_ = false;
    interleaved_ = false;
    headerBytes_ = 0;
    factOffset_ = 0;
    dataBytes_ = 0;
    failed_ = false;
    buffer_.clear();
    buffer_.shrink_to_fit();
    return ok ? 1 : 0;
}

bool WavHeaderOnlyCompleted(const std::vector<uint8_t>& first, const std::vector<uint8_t>& finished) {
    const size_t size = first.size();
    if (size != finished.size() || size < 12 || std::memcmp(first.data(), finished.data(), 4) != 0 ||
        std::memcmp(first.data() + 8, finished.data() + 8, 4) != 0)
        return false;
    const uint8_t* a = first.data();
    const uint8_t* b = finished.data();
    for (size_t at = 12; at <= size && size - at >= 8;) {
        if (std::memcmp(a + at, b + at, 4) != 0) return false;
        if (std::memcmp(a + at, "data", 4) == 0) return at + 8 == size;
        const size_t length = a[at + 4] | size_t{a[at + 5]} << 8 | size_t{a[at + 6]} << 16 | size_t{a[at + 7]} << 24;
        if (size - at - 8 < length) return false;
        // A "fact" chunk's frame count is patched; every other chunk stays as it was.
        const size_t same = std::memcmp(a + at, "fact", 4) == 0 ? 8 : 8 + length;
        if (std::memcmp(a + at, b + at, same) != 0) return false;
        at += 8 + length + (length & 1);
    }
    return false;
}

}  // namespace sonavert
