// MPEG audio layers 1-3 in their own files, decoded by libmpg123 (which also takes free-format
// streams). Byte positions, raw ID3 tags and the first-frame offset are found the same way as
// for every other MPEG stream of the layer.
#include <mpg123.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "sources/bass/Channel.h"
#include "sources/bass/MpegHeader.h"

namespace sonavert::bass {
namespace {

struct HandleCloser {
    void operator()(mpg123_handle* h) const {
        mpg123_close(h);
        mpg123_delete(h);
    }
};

// The library's process-wide tables are set up once, before the first handle (a no-op in newer
// versions of the library, still required by older ones).
bool LibraryReady() {
    static const bool ready = mpg123_init() == MPG123_OK;
    return ready;
}

// Whether the first frame at `offset` is a Xing or Info frame that counts the stream's frames,
// which makes the length a stated one. The tag follows the side information, 13 to 36 bytes in.
bool FirstFrameCountsFrames(const std::string& path, int64_t offset) {
    if (offset < 0) return false;
    std::ifstream in(path, std::ios::binary);
    uint8_t frame[48];
    if (!in.seekg(offset) || !in.read(reinterpret_cast<char*>(frame), sizeof frame)) return false;
    for (size_t at = 13; at <= 36; ++at) {
        if (std::memcmp(frame + at, "Xing", 4) != 0 && std::memcmp(frame + at, "Info", 4) != 0) continue;
        return (frame[at + 7] & 1) != 0;  // the frames field is present
    }
    return false;
}

class Mpg123Stream final : public Channel {
public:
    int Open(const std::string& path);
    QWORD FilePosition(DWORD mode) const override;
    const char* Tags(DWORD type) override;

protected:
    size_t Produce(uint8_t* dst, size_t bytes) override;

private:
    std::unique_ptr<mpg123_handle, HandleCloser> handle_;
    int64_t fileSize_ = -1;
    int64_t firstFrameOffset_ = -1;
    bool tagsRead_ = false;
    bool ended_ = false;
    std::vector<uint8_t> id3v1_, id3v2_;
};

int Mpg123Stream::Open(const std::string& path) {
    path_ = path;
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    if (ec) return BASS_ERROR_FILEOPEN;
    fileSize_ = static_cast<int64_t>(size);
    if (!LibraryReady()) return BASS_ERROR_MEM;
    int err = MPG123_OK;
    handle_.reset(mpg123_new(nullptr, &err));
    if (!handle_) return BASS_ERROR_MEM;
    mpg123_handle* h = handle_.get();
    // No console messages; damaged stretches of any length are skipped by resynchronising.
    mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    mpg123_param(h, MPG123_RESYNC_LIMIT, -1, 0);
    // Signed 16-bit at the stream's own rate and channel count, nothing else.
    mpg123_format_none(h);
    const long* rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i) mpg123_format(h, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    if (mpg123_open(h, path.c_str()) != MPG123_OK) return BASS_ERROR_FILEFORM;
    long rate = 0;
    int channels = 0, encoding = 0;
    if (mpg123_getformat(h, &rate, &channels, &encoding) != MPG123_OK) return BASS_ERROR_FILEFORM;
    if (rate <= 0 || channels < 1 || channels > 2 || encoding != MPG123_ENC_SIGNED_16) return BASS_ERROR_FILEFORM;
    // The format is fixed from here on.
    mpg123_format_none(h);
    mpg123_format(h, rate, channels, MPG123_ENC_SIGNED_16);
    SetFormat(static_cast<DWORD>(rate), static_cast<DWORD>(channels), 16, BASS_CTYPE_STREAM);
    // Exact with a Xing/LAME header, otherwise estimated from the file size and the first frames.
    const off_t samples = mpg123_length(h);
    length_ = samples > 0 ? static_cast<QWORD>(samples) * FrameBytes() : 0;
    firstFrameOffset_ = FirstMpegFrameInFile(path, fileSize_);
    lengthStated_ = length_ > 0 && FirstFrameCountsFrames(path, firstFrameOffset_);
    return BASS_OK;
}

size_t Mpg123Stream::Produce(uint8_t* dst, size_t bytes) {
    size_t total = 0;
    while (!ended_ && total < bytes) {
        size_t done = 0;
        int r = mpg123_read(handle_.get(), dst + total, bytes - total, &done);
        total += std::min(done, bytes - total);
        // A new format cannot occur (one format is allowed); every other result ends the stream.
        if (r != MPG123_OK && r != MPG123_NEW_FORMAT) ended_ = true;
        else if (done == 0 && r == MPG123_OK) ended_ = true;
    }
    return total - total % FrameBytes();
}

QWORD Mpg123Stream::FilePosition(DWORD mode) const {
    int64_t v = mode == BASS_FILEPOS_END ? fileSize_ : mode == BASS_FILEPOS_START ? firstFrameOffset_ : -1;
    return v < 0 ? kNoFilePosition : static_cast<QWORD>(v);
}

const char* Mpg123Stream::Tags(DWORD type) {
    if (!tagsRead_) {
        tagsRead_ = true;
        ReadRawId3Tags(path_, fileSize_, id3v1_, id3v2_);
    }
    const std::vector<uint8_t>* tag = type == BASS_TAG_ID3 ? &id3v1_ : type == BASS_TAG_ID3V2 ? &id3v2_ : nullptr;
    if (!tag || tag->empty()) return nullptr;
    return reinterpret_cast<const char*>(tag->data());
}

}  // namespace

std::unique_ptr<Channel> OpenMpg123Stream(const std::string& path, int& error) {
    auto stream = std::make_unique<Mpg123Stream>();
    error = stream->Open(path);
    if (error != BASS_OK) return nullptr;
    return stream;
}

}  // namespace sonavert::bass
