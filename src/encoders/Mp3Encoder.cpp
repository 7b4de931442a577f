#include "encoders/Mp3Encoder.h"

#include "encoders/Mp3InfoFrame.h"

#include <fcntl.h>
#include <lame/lame.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

namespace sonavert {

namespace {

// Largest slice handed to LAME in one call. LAME needs at most 1.25 * samples + 7200 bytes of
// output room, so slices of this size always fit the output buffer.
constexpr uint32_t kMaxSliceSamples = 65536;
static_assert(kMaxSliceSamples * 5 / 4 + 7200 <= Mp3Encoder::kOutputBufferBytes);

// LAME fills some tables of its own the first time an encoder is set up, without a lock of its
// own; encoders set up on several threads take turns here.
std::mutex& LameSetupMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

Mp3Encoder::Mp3Encoder() : output_(kOutputBufferBytes) {}

Mp3Encoder::~Mp3Encoder() { Finish(); }

bool Mp3Encoder::WriteAll(const uint8_t* data, size_t size) {
    if (size == 0) return true;
    if (!file_ || std::fwrite(data, 1, size, file_) != size) {
        if (!failed_) failure_ = file_ ? std::strerror(errno) : "no file is open";
        failed_ = true;
        return false;
    }
    return true;
}

int Mp3Encoder::Fail(const std::string& reason) {
    failure_ = reason;
    return 0;
}

int Mp3Encoder::Open(const std::string& path) {
    Finish();
    failed_ = false;
    failure_.clear();
    // Read and write: the Info frame is written over its placeholder once the stream is complete.
    // An existing file is emptied only when it holds something: ext4 takes even the emptying of an
    // empty file (the batch's fresh temporary) as a file being rewritten and writes it out at
    // close, a flush per target that buys nothing.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return Fail(std::strerror(errno));
    struct stat st;
    if (::fstat(fd, &st) != 0 || (st.st_size != 0 && ::ftruncate(fd, 0) != 0)) {
        const int error = errno;
        ::close(fd);
        return Fail(std::strerror(error));
    }
    file_ = ::fdopen(fd, "w+b");
    if (!file_) {
        const int error = errno;
        ::close(fd);
        return Fail(std::strerror(error));
    }
    path_ = path;
    {
        std::lock_guard<std::mutex> lock(LameSetupMutex());
        lame_ = lame_init();
    }
    return lame_ ? 1 : Fail("the MP3 encoder could not be created");
}

void Mp3Encoder::SetID3v1Tag(const uint8_t* block) {
    hasId3v1_ = block != nullptr;
    if (block) std::copy(block, block + kId3v1Bytes, id3v1_.begin());
}

void Mp3Encoder::SetID3v2Tag(const uint8_t* block, uint32_t size) {
    if (block && size > 0)
        id3v2_.assign(block, block + size);
    else
        id3v2_.clear();
}

void Mp3Encoder::SetInputSampleRate(uint32_t rate) {
    if (lame_) lame_set_in_samplerate(lame_, static_cast<int>(rate));
}

void Mp3Encoder::SetChannels(int channels) {
    if (lame_) lame_set_num_channels(lame_, std::clamp(channels, 1, 2));
}

void Mp3Encoder::SetChannelMode(int mode) {
    if (mode != STEREO && mode != JOINT_STEREO && mode != MONO) mode = STEREO;
    if (lame_) lame_set_mode(lame_, static_cast<MPEG_mode>(mode));
}

uint32_t Mp3Encoder::OutputSampleRate() const {
    const int rate = lame_ && started_ ? lame_get_out_samplerate(lame_) : 0;
    return rate > 0 ? static_cast<uint32_t>(rate) : 0;
}

void Mp3Encoder::SetOutputSampleRate(uint32_t rate) {
    if (lame_) lame_set_out_samplerate(lame_, static_cast<int>(rate));
}

void Mp3Encoder::SetBitRate(int kbps) {
    if (lame_) lame_set_brate(lame_, std::clamp(kbps, 8, 320));
}

void Mp3Encoder::SetVbrQuality(int quality) {
    if (lame_) vbrQuality_ = quality < 0 ? -1 : std::min(quality, 9);
}

int Mp3Encoder::Start() { return Start(id3v2_.data(), static_cast<uint32_t>(id3v2_.size())); }

int Mp3Encoder::Start(const uint8_t* id3v2, uint32_t size) {
    if (!file_ || !lame_ || started_) return Fail(started_ ? "the MP3 encoder was already started" : "no file is open");
    // LAME's tag frame (Info for constant bit rates, Xing for variable ones) tells decoders the
    // encoder delay and the padding of the last frame, so the decoded stream starts and ends where
    // the source does; the Xing frame also gives the frame count, without which a variable-rate
    // file's length cannot be known before it is read through. LAME puts a placeholder frame ahead
    // of the audio; Finish writes the real one over it.
    lame_set_bWriteVbrTag(lame_, 1);
    if (vbrQuality_ >= 0) {
        lame_set_VBR(lame_, vbr_mtrh);
        lame_set_VBR_q(lame_, vbrQuality_);
    } else {
        lame_set_VBR(lame_, vbr_off);
    }
    int initialised;
    {
        std::lock_guard<std::mutex> lock(LameSetupMutex());
        initialised = lame_init_params(lame_);
    }
    if (initialised < 0) {
        const int outRate = lame_get_out_samplerate(lame_);
        return Fail("the MP3 encoder does not accept " + std::to_string(lame_get_in_samplerate(lame_)) + " Hz in, " +
                    (outRate > 0 ? std::to_string(outRate) + " Hz out" : std::string("its own output rate")) +
                    (vbrQuality_ >= 0 ? " at VBR quality " + std::to_string(vbrQuality_)
                                      : " at " + std::to_string(lame_get_brate(lame_)) + " kbps"));
    }
    started_ = true;
    infoFrameOffset_ = static_cast<long>(size);
    if (!WriteAll(id3v2, size)) return 0;
    // LAME drops its tag frame where the stream's own frames are too small for it (low rates at low
    // bit rates); a frame of our own at a larger bit rate takes its place.
    ownInfoFrame_ = lame_get_VBR(lame_) == vbr_off &&
                    LameDropsItsInfoFrame(lame_get_out_samplerate(lame_), lame_get_brate(lame_),
                                          lame_get_num_channels(lame_));
    musicCrc_ = 0;
    audioBytes_ = 0;
    if (ownInfoFrame_) {
        const std::vector<uint8_t> placeholder = BuildInfoFrame(InfoFacts());
        ownInfoFrame_ = !placeholder.empty();
        if (!WriteAll(placeholder.data(), placeholder.size())) return 0;
    }
    return 1;
}

int Mp3Encoder::EncodeBlock(const int16_t* left, const int16_t* right, uint32_t count) {
    if (!started_ || failed_ || !left) return failed_ ? 0 : Fail("the MP3 encoder was not started");
    const bool stereo = lame_get_num_channels(lame_) == 2;
    if (stereo && !right) return Fail("a stereo block came without its right channel");
    // LAME does not read the right plane of a one-channel stream; hand it the left one anyway so it
    // never sees a null pointer.
    const int16_t* second = stereo ? right : left;
    while (count > 0) {
        const uint32_t slice = std::min(count, kMaxSliceSamples);
        const int bytes = lame_encode_buffer(lame_, left, second, static_cast<int>(slice), output_.data(),
                                             static_cast<int>(output_.size()));
        if (bytes < 0) return Fail("the MP3 encoder failed (error " + std::to_string(bytes) + ")");
        if (!WriteAudio(output_.data(), static_cast<size_t>(bytes))) return 0;
        left += slice;
        second += slice;
        count -= slice;
    }
    return 1;
}

bool Mp3Encoder::WriteAudio(const uint8_t* data, size_t size) {
    if (ownInfoFrame_) {
        musicCrc_ = Crc16Update(musicCrc_, data, size);
        audioBytes_ += size;
    }
    return WriteAll(data, size);
}

InfoFrameFacts Mp3Encoder::InfoFacts() const {
    InfoFrameFacts facts;
    facts.outRate = lame_get_out_samplerate(lame_);
    facts.kbps = lame_get_brate(lame_);
    facts.channels = lame_get_num_channels(lame_);
    facts.jointStereo = lame_get_mode(lame_) == JOINT_STEREO;
    facts.encoder = get_lame_very_short_version();
    facts.lowpassHz = lame_get_lowpassfreq(lame_);
    return facts;
}

void Mp3Encoder::WriteInfoFrame() {
    std::vector<uint8_t> own;
    const uint8_t* frame = output_.data();
    size_t size = 0;
    if (ownInfoFrame_) {
        InfoFrameFacts facts = InfoFacts();
        facts.frames = static_cast<uint32_t>(std::max(lame_get_frameNum(lame_), 0));
        facts.encoderDelay = lame_get_encoder_delay(lame_);
        facts.padding = lame_get_encoder_padding(lame_);
        facts.musicCrc = musicCrc_;
        own = BuildInfoFrame(facts);
        facts.streamBytes = static_cast<uint32_t>(std::min<uint64_t>(own.size() + audioBytes_, UINT32_MAX));
        own = BuildInfoFrame(facts);
        frame = own.data();
        size = own.size();
    }
    else
        size = lame_get_lametag_frame(lame_, output_.data(), output_.size());
    if (size == 0 || size > output_.size()) return;  // no frame was reserved: nothing to fill in
    if (std::fseek(file_, infoFrameOffset_, SEEK_SET) != 0) {
        failure_ = std::strerror(errno);
        failed_ = true;
        return;
    }
    WriteAll(frame, size);
}

int Mp3Encoder::Finish() {
    if (file_) {
        if (started_) {
            const int bytes = lame_encode_flush(lame_, output_.data(), static_cast<int>(output_.size()));
            if (bytes < 0) {
                if (!failed_) failure_ = "the MP3 encoder failed at the end (error " + std::to_string(bytes) + ")";
                failed_ = true;
            }
            else
                WriteAudio(output_.data(), static_cast<size_t>(bytes));
        }
        if (hasId3v1_) WriteAll(id3v1_.data(), id3v1_.size());
        if (started_ && !failed_) WriteInfoFrame();
        const bool flushed = std::fflush(file_) == 0;
        const int flushError = errno;
        const bool closed = std::fclose(file_) == 0;
        if (!flushed || !closed) {
            if (!failed_) failure_ = std::strerror(flushed ? errno : flushError);
            failed_ = true;
        }
        file_ = nullptr;
    }
    hasId3v1_ = false;
    id3v2_.clear();
    id3v2_.shrink_to_fit();
    if (lame_) {
        lame_close(lame_);
        lame_ = nullptr;
    }
    started_ = false;
    vbrQuality_ = -1;
    return failed_ ? 0 : 1;
}

}  // namespace sonavert
