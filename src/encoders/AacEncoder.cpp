#include "encoders/AacEncoder.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sonavert {

AacEncoder::~AacEncoder() { Close(); }

int AacEncoder::Fail(std::string reason) {
    failed_ = true;
    reason_ = std::move(reason);
    return 0;
}

bool AacEncoder::WriteAll(const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd_, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            Fail(std::string("cannot write the AAC file: ") + (n < 0 ? std::strerror(errno) : "nothing written"));
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int AacEncoder::Open(const std::string& path, uint32_t sampleRate, uint32_t channels, uint32_t bitsPerSample) {
    Close();
    failed_ = false;
    reason_.clear();
    sampleRate_ = sampleRate;
    channels_ = channels;
    bitsPerSample_ = bitsPerSample;

    int fd;
    do {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Fail(std::string("cannot create the AAC file: ") + std::strerror(errno));
    fd_ = fd;

    faac_.reset(faacEncOpen(sampleRate, channels, &inputSamples_, &maxOutputBytes_));
    if (!faac_) return Fail("the AAC encoder takes 1 or 2 channels at a nonzero rate");
    config_ = faacEncGetCurrentConfiguration(faac_.get());
    if (!config_) return Fail("the AAC encoder has no configuration");
    config_->aacObjectType = kFaacObjectLow;
    config_->mpegVersion = kFaacMpeg4;
    config_->useTns = 0;
    config_->allowMidside = 1;
    config_->bandWidth = 0;
    config_->outputFormat = kFaacAdts;
    config_->inputFormat = kFaacInput16Bit;
    return 1;
}

FaacConfiguration* AacEncoder::Configuration() { return fd_ >= 0 ? config_ : nullptr; }

int AacEncoder::Start() {
    if (fd_ < 0 || !faac_ || !config_) return Fail("the AAC file is not open");
    if (started_) return Fail("the AAC encoder is already started");
    if (!faacEncSetConfiguration(faac_.get(), config_)) return Fail(faacEncGetLastError(faac_.get()));
    input_.Reset(inputSamples_, channels_);
    output_.assign(maxOutputBytes_, 0);
    started_ = true;
    return 1;
}

int AacEncoder::EncodeAndWrite(const int16_t* samples, size_t count) {
    const int bytes = faacEncEncode(faac_.get(), samples, static_cast<unsigned>(count), output_.data(),
                                    static_cast<unsigned>(output_.size()));
    if (bytes < 0) {
        Fail(faacEncGetLastError(faac_.get()));
        return -1;
    }
    if (bytes > 0 && !WriteAll(output_.data(), static_cast<size_t>(bytes))) return -1;
    return bytes;
}

template <typename Sample>
int AacEncoder::EncodeBlock(const Sample* left, const Sample* right, uint32_t count) {
    if (!started_ || failed_) return 0;
    if (count == 0) return 1;
    if (!left || (channels_ == 2 && !right)) return Fail("a block without samples");
    const bool ok = input_.Append(left, right, count, [this](const int16_t* samples, size_t n) {
        return EncodeAndWrite(samples, n) >= 0;
    });
    return ok ? 1 : 0;
}

int AacEncoder::EncodeBlock16(const int16_t* left, const int16_t* right, uint32_t count) {
    return EncodeBlock(left, right, count);
}

int AacEncoder::EncodeBlock8(const uint8_t* left, const uint8_t* right, uint32_t count) {
    return EncodeBlock(left, right, count);
}

int AacEncoder::Close() {
    if (fd_ >= 0 && faac_ && config_ && started_ && !failed_) {
        // The remainder (possibly nothing) goes in first, then empty calls drain the encoder.
        int bytes = EncodeAndWrite(input_.data(), input_.fill());
        input_.Clear();
        while (bytes >= 0) {
            bytes = EncodeAndWrite(nullptr, 0);
            if (bytes == 0) break;
        }
    }
    if (fd_ >= 0) {
        if (close(fd_) != 0 && !failed_) Fail(std::string("cannot write the AAC file: ") + std::strerror(errno));
        fd_ = -1;
    }
    faac_.reset();
    config_ = nullptr;
    input_.Release();
    output_.clear();
    output_.shrink_to_fit();
    sampleRate_ = channels_ = bitsPerSample_ = 0;
    inputSamples_ = maxOutputBytes_ = 0;
    started_ = false;
    return failed_ ? 0 : 1;
}

}  // namespace sonavert
