#include "encoders/WavWriter.h"

#include <cerrno>
#include <cstring>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sonavert {

namespace {

constexpr uint32_t kHeaderBytes = 44;
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

int WavWriter::Open(const std::string& path, int stereo, uint32_t bits, uint32_t rate) {
    Close();
    failure_.clear();
    if (bits != 8 && bits != 16) return Fail("WAV files are written with 8 or 16 bits per sample, not " + std::to_string(bits));
    const uint16_t channels = stereo ? 2 : 1;
    const uint32_t avgBytes = (channels * bits * rate) >> 3;
    const uint16_t blockAlign = static_cast<uint16_t>(channels * bits / 8);

    int fd;
    do {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Fail(std::strerror(errno));
    fd_ = fd;

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
    if (!WriteAll(h, sizeof h)) {
        const int error = errno;
        close(fd_);
        fd_ = -1;
        return Fail(std::strerror(error));
    }
    channels_ = channels;
    bits_ = static_cast<uint16_t>(bits);
    dataBytes_ = 0;
    failed_ = false;
    return 1;
}

int WavWriter::WriteBlock(const void* left, const void* right, uint32_t count, uint32_t sampleBytes) {
    if (fd_ < 0 || failed_ || bits_ != sampleBytes * 8) return 0;
    if (count == 0) return 1;
    if (!left || (channels_ == 2 && !right)) return 0;
    const uint64_t blockBytes = static_cast<uint64_t>(count) * channels_ * sampleBytes;
    // Stop before the header's 32-bit size fields would wrap round.
    if (blockBytes > maxDataBytes_ - dataBytes_) return Fail("the WAV file would pass its 4 GB size limit");

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
    if (!WriteAll(buffer_.data(), buffer_.size())) {
        // A short or failed write (full disk, file size limit) ends the file here; Close still
        // patches the header from what really reached the disk.
        failed_ = true;
        return Fail(std::strerror(errno));
    }
    dataBytes_ += blockBytes;
    return 1;
}

int WavWriter::WriteSamples16(const int16_t* left, const int16_t* right, uint32_t count) {
    return WriteBlock(left, right, count, 2);
}

int WavWriter::WriteSamples8(const uint8_t* left, const uint8_t* right, uint32_t count) {
    return WriteBlock(left, right, count, 1);
}

int WavWriter::Close() {
    if (fd_ < 0) return 1;
    bool ok = false;
    struct stat st {};
    if (fstat(fd_, &st) == 0 && st.st_size >= static_cast<off_t>(kHeaderBytes)) {
        uint64_t size = static_cast<uint64_t>(st.st_size);
        // The size guard keeps this within 32 bits; clamp all the same rather than wrap.
        if (size - kHeaderBytes > kMaxDataBytes) size = kMaxDataBytes + kHeaderBytes;
        ok = PutAt(fd_, 4, static_cast<uint32_t>(size - 8)) &&
             PutAt(fd_, 40, static_cast<uint32_t>(size - kHeaderBytes));
    }
    if (!ok) failure_ = std::strerror(errno);
    if (close(fd_) != 0 && ok) {
        failure_ = std::strerror(errno);
        ok = false;
    }
    fd_ = -1;
    channels_ = 0;
    bits_ = 0;
    dataBytes_ = 0;
    failed_ = false;
    buffer_.clear();
    buffer_.shrink_to_fit();
    return ok ? 1 : 0;
}

}  // namespace sonavert
