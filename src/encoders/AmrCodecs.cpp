#include "encoders/AmrCodecs.h"

#include <opencore-amrnb/interf_enc.h>
#include <vo-amrwbenc/enc_if.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <unistd.h>

static_assert(sizeof(short) == sizeof(int16_t), "the codecs take 16-bit samples as short");

namespace sonavert {

namespace {

// Room for one encoded frame; the largest in storage form is 61 bytes (wide band, 23.85 kbps).
constexpr size_t kFrameRoom = 128;

std::string ErrorText(int error) {
    char buffer[256];
    // The GNU variant: returns the text, which need not be in `buffer`.
    return strerror_r(error, buffer, sizeof buffer);
}

// The target file of one handle. Remembers the first failure so that nothing is appended after a
// frame that did not reach the file in full.
class StorageFile {
public:
    StorageFile() = default;
    StorageFile(const StorageFile&) = delete;
    StorageFile& operator=(const StorageFile&) = delete;
    ~StorageFile() {
        if (fd_ >= 0) close(fd_);
    }

    bool Create(const std::string& path, const char* magic, std::string& reason) {
        int fd;
        do {
            fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            reason = ErrorText(errno);
            return false;
        }
        fd_ = fd;
        return Append(reinterpret_cast<const uint8_t*>(magic), std::strlen(magic), reason);
    }

    bool Append(const uint8_t* data, size_t size, std::string& reason) {
        if (failed_) {
            reason = failure_;
            return false;
        }
        while (size > 0) {
            const ssize_t n = write(fd_, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return Fail(ErrorText(errno), reason);
            if (n == 0) return Fail("Short write", reason);
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    bool Fail(const std::string& text, std::string& reason) {
        if (!failed_) {
            failed_ = true;
            failure_ = text;
        }
        reason = failure_;
        return false;
    }

    bool Close(std::string& reason) {
        if (fd_ < 0) return !failed_;
        const int result = close(fd_);
        const int error = errno;
        fd_ = -1;
        // close() may report a delayed write error (network file systems); EINTR leaves the
        // descriptor closed on Linux and says nothing about the data.
        if (result != 0 && error != EINTR) Fail(ErrorText(error), reason);
        if (failed_) {
            reason = failure_;
            return false;
        }
        return true;
    }

    bool Failed() const { return failed_; }
    const std::string& Failure() const { return failure_; }

private:
    int fd_ = -1;
    bool failed_ = false;
    std::string failure_;
};

}  // namespace

// One open narrow-band target; the codec state comes from Encoder_Interface_init.
class AmrNbStream {
public:
    AmrNbStream(void* codecState, Mode codecMode) : codec(codecState), mode(codecMode) {}
    AmrNbStream(const AmrNbStream&) = delete;
    AmrNbStream& operator=(const AmrNbStream&) = delete;
    ~AmrNbStream() { Encoder_Interface_exit(codec); }

    void* const codec;
    const Mode mode;
    StorageFile file;
};

// One open wide-band target; the codec state comes from E_IF_init, which takes mode and DTX with
// every frame.
class AmrWbStream {
public:
    AmrWbStream(void* codecState, int codecMode, int useDtx) : codec(codecState), mode(codecMode), dtx(useDtx) {}
    AmrWbStream(const AmrWbStream&) = delete;
    AmrWbStream& operator=(const AmrWbStream&) = delete;
    ~AmrWbStream() { E_IF_exit(codec); }

    void* const codec;
    const int mode;
    const int dtx;
    StorageFile file;
};

void AmrStreamDeleter::operator()(AmrNbStream* stream) const noexcept { delete stream; }
void AmrStreamDeleter::operator()(AmrWbStream* stream) const noexcept { delete stream; }

AmrNbHandle amrnbenc_init(const std::string& path, int dtx, int mode, std::string& reason) {
    if (mode < 0 || mode >= kAmrNbModeCount) {
        reason = "Unsupported AMR-NB mode " + std::to_string(mode);
        return nullptr;
    }
    // The codec first, so that a codec failure leaves no file behind.
    void* codec = Encoder_Interface_init(dtx ? 1 : 0);
    if (!codec) {
        reason = "The AMR-NB encoder could not be set up";
        return nullptr;
    }
    AmrNbHandle stream(new (std::nothrow) AmrNbStream(codec, static_cast<Mode>(mode)));
    if (!stream) {
        Encoder_Interface_exit(codec);
        reason = "Out of memory";
        return nullptr;
    }
    if (!stream->file.Create(path, kAmrNbMagic, reason)) return nullptr;
    return stream;
}

AmrWbHandle amrwbenc_init(const std::string& path, int dtx, int mode, std::string& reason) {
    if (mode < 0 || mode >= kAmrWbModeCount) {
        reason = "Unsupported AMR-WB mode " + std::to_string(mode);
        return nullptr;
    }
    void* codec = E_IF_init();
    if (!codec) {
        reason = "The AMR-WB encoder could not be set up";
        return nullptr;
    }
    AmrWbHandle stream(new (std::nothrow) AmrWbStream(codec, mode, dtx ? 1 : 0));
    if (!stream) {
        E_IF_exit(codec);
        reason = "Out of memory";
        return nullptr;
    }
    if (!stream->file.Create(path, kAmrWbMagic, reason)) return nullptr;
    return stream;
}

int amrnbenc_encode(AmrNbStream& stream, const int16_t* samples, std::string& reason) {
    StorageFile& file = stream.file;
    if (file.Failed()) return file.Fail(file.Failure(), reason);
    if (!samples) {
        reason = "No samples to encode";
        return 0;
    }
    // The encoder filters its input in place despite the const in its declaration: hand it a copy
    // so that the caller's samples stay as they were.
    int16_t speech[kAmrNbFrameSamples];
    std::memcpy(speech, samples, sizeof speech);
    uint8_t frame[kFrameRoom];
    // The library writes the frame in storage form already: header byte, then the speech bits.
    const int bytes = Encoder_Interface_Encode(stream.codec, stream.mode, speech, frame, 0);
    if (bytes <= 0) return file.Fail("The AMR-NB encoder failed", reason);
    return file.Append(frame, static_cast<size_t>(bytes), reason) ? 1 : 0;
}

int amrwbenc_encode(AmrWbStream& stream, const int16_t* samples, std::string& reason) {
    StorageFile& file = stream.file;
    if (file.Failed()) return file.Fail(file.Failure(), reason);
    if (!samples) {
        reason = "No samples to encode";
        return 0;
    }
    // The wide-band encoder leaves its input alone, but its declaration promises no more than the
    // narrow-band one's: copy here as well.
    int16_t speech[kAmrWbFrameSamples];
    std::memcpy(speech, samples, sizeof speech);
    uint8_t frame[kFrameRoom];
    // Set up for storage form (RFC 3267 framing) by E_IF_init.
    const int bytes = E_IF_encode(stream.codec, stream.mode, speech, frame, stream.dtx);
    if (bytes <= 0) return file.Fail("The AMR-WB encoder failed", reason);
    return file.Append(frame, static_cast<size_t>(bytes), reason) ? 1 : 0;
}

int amrnbenc_quit(AmrNbHandle stream, std::string& reason) {
    return !stream || stream->file.Close(reason) ? 1 : 0;
}

int amrwbenc_quit(AmrWbHandle stream, std::string& reason) {
    return !stream || stream->file.Close(reason) ? 1 : 0;
}

}  // namespace sonavert
