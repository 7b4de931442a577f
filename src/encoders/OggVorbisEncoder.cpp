#include "encoders/OggVorbisEncoder.h"

#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/Random.h"
#include "tags/TagReading.h"

namespace sonavert {

namespace {

// Largest slice handed to the analysis in one buffer request, so that one huge call does not make
// libvorbis allocate a buffer for all of it at once.
constexpr uint32_t kMaxSliceSamples = 65536;

std::string ErrnoText(int error) { return error ? std::string(": ") + std::strerror(error) : std::string(); }

}  // namespace

OggVorbisEncoder::~OggVorbisEncoder() { Close(); }

void OggVorbisEncoder::Fail(const std::string& reason) {
    if (!failed_) reason_ = reason;
    failed_ = true;
}

void OggVorbisEncoder::WriteFailed() {
    Fail("Failed to write file \"" + path_ + "\"" + ErrnoText(errno));
}

bool OggVorbisEncoder::WritePage(const ogg_page& page) {
    if (failed_ || !file_) return false;
    errno = 0;
    const size_t headerLength = static_cast<size_t>(page.header_len);
    const size_t bodyLength = static_cast<size_t>(page.body_len);
    if (std::fwrite(page.header, 1, headerLength, file_) != headerLength ||
        std::fwrite(page.body, 1, bodyLength, file_) != bodyLength) {
        WriteFailed();
        return false;
    }
    return true;
}

int OggVorbisEncoder::Open(const std::string& path) {
    Close();
    reason_.clear();
    failed_ = false;
    path_ = path;
    vorbis_info_init(&info_);
    infoInit_ = true;
    vorbis_comment_init(&comment_);
    commentInit_ = true;
    errno = 0;
    file_ = std::fopen(path.c_str(), "wbe");
    if (!file_) {
        Fail("Failed to create file \"" + path + "\"" + ErrnoText(errno));
        Close();
        return 0;
    }
    return 1;
}

int OggVorbisEncoder::Configure(uint32_t rate, uint32_t channels, int32_t nominalBitRate) {
    if (!file_ || started_ || failed_) return 0;
    if (configured_) {
        // libvorbisenc fixes its set-up at vorbis_encode_setup_init: start again from a fresh record.
        vorbis_info_clear(&info_);
        vorbis_info_init(&info_);
        configured_ = false;
    }
    rate_ = rate;
    channels_ = channels;
    const bool served =
        (channels == 1 || channels == 2) && rate > 0 && rate <= 0x7FFFFFFFu && nominalBitRate > 0 &&
        vorbis_encode_setup_managed(&info_, static_cast<long>(channels), static_cast<long>(rate), -1,
                                    nominalBitRate, -1) == 0 &&
        vorbis_encode_ctl(&info_, OV_ECTL_RATEMANAGE2_SET, nullptr) == 0 && vorbis_encode_setup_init(&info_) == 0;
    if (!served) {
        // A failed set-up leaves the record half filled: clear it so that a retry starts clean.
        vorbis_info_clear(&info_);
        vorbis_info_init(&info_);
        reason_ = "The Vorbis encoder cannot encode " + std::to_string(rate) + " Hz, " + std::to_string(channels) +
                  " channel(s) at " + std::to_string(nominalBitRate / 1000) + " kbps";
        return 0;
    }
    reason_.clear();
    configured_ = true;
    return 1;
}

void OggVorbisEncoder::AddComment(const char* key, const std::string& value) {
    if (!file_ || started_ || !commentInit_ || value.empty() || value.find('\0') != std::string::npos) return;
    vorbis_comment_add_tag(&comment_, key, value.c_str());
}

void OggVorbisEncoder::SetComments(const TagRecord& tags) {
    if (!file_ || started_ || !commentInit_) return;
    vorbis_comment_clear(&comment_);
    vorbis_comment_init(&comment_);
    for (const auto& [key, text] : VorbisComments(tags)) vorbis_comment_add_tag(&comment_, key, text.c_str());
}

int OggVorbisEncoder::Start() {
    if (!file_ || !configured_ || started_ || failed_) return 0;
    if (vorbis_analysis_init(&dsp_, &info_) != 0) {
        Fail("The Vorbis encoder could not start");
        return 0;
    }
    dspInit_ = true;
    vorbis_block_init(&dsp_, &block_);
    blockInit_ = true;
    serial_ = static_cast<int>(NextRandom() & 0x7FFFFFFFu);
    ogg_stream_init(&stream_, serial_);
    streamInit_ = true;
    started_ = true;

    ogg_packet identification, comments, codebooks;
    if (vorbis_analysis_headerout(&dsp_, &comment_, &identification, &comments, &codebooks) != 0 ||
        ogg_stream_packetin(&stream_, &identification) != 0 || ogg_stream_packetin(&stream_, &comments) != 0 ||
        ogg_stream_packetin(&stream_, &codebooks) != 0) {
        Fail("The Vorbis encoder could not write its headers");
        return 0;
    }
    // Flushing puts the identification header on a page of its own and the other two behind it, so
    // the first audio packet starts a fresh page.
    while (ogg_stream_flush(&stream_, &page_) != 0) {
        if (!WritePage(page_)) return 0;
    }
    return 1;
}

bool OggVorbisEncoder::DrainAnalysis() {
    while (vorbis_analysis_blockout(&dsp_, &block_) == 1) {
        if (vorbis_analysis(&block_, nullptr) != 0 || vorbis_bitrate_addblock(&block_) != 0) {
            Fail("The Vorbis encoder failed");
            return false;
        }
        while (vorbis_bitrate_flushpacket(&dsp_, &packet_) == 1) {
            if (ogg_stream_packetin(&stream_, &packet_) != 0) {
                Fail("The Vorbis encoder failed");
                return false;
            }
            while (!eosWritten_ && ogg_stream_pageout(&stream_, &page_) != 0) {
                if (!WritePage(page_)) return false;
                if (ogg_page_eos(&page_)) eosWritten_ = true;
            }
        }
    }
    return true;
}

int OggVorbisEncoder::EncodeBlock(const int16_t* left, const int16_t* right, uint32_t count) {
    if (!started_ || failed_) return 0;
    if (count == 0) {
        if (ended_) return 1;
        ended_ = true;
        vorbis_analysis_wrote(&dsp_, 0);
        return DrainAnalysis() ? 1 : 0;
    }
    if (ended_ || !left || (channels_ == 2 && !right)) return 0;
    while (count > 0) {
        const uint32_t slice = std::min(count, kMaxSliceSamples);
        float** buffer = vorbis_analysis_buffer(&dsp_, static_cast<int>(slice));
        constexpr float kScale = 1.0f / 32768.0f;
        for (uint32_t i = 0; i < slice; ++i) buffer[0][i] = static_cast<float>(left[i]) * kScale;
        if (channels_ == 2)
            for (uint32_t i = 0; i < slice; ++i) buffer[1][i] = static_cast<float>(right[i]) * kScale;
        vorbis_analysis_wrote(&dsp_, static_cast<int>(slice));
        if (!DrainAnalysis()) return 0;
        left += slice;
        if (right) right += slice;
        count -= slice;
    }
    return 1;
}

int OggVorbisEncoder::Close() {
    if (file_) {
        // Buffered pages reach the file only now; a failure here is a write failure too.
        int error = 0;
        errno = 0;
        if (std::fflush(file_) != 0) error = errno ? errno : EIO;
        errno = 0;
        if (std::fclose(file_) != 0 && error == 0) error = errno ? errno : EIO;
        file_ = nullptr;
        if (error) {
            errno = error;
            WriteFailed();
        }
    }
    if (streamInit_) ogg_stream_clear(&stream_);
    if (blockInit_) vorbis_block_clear(&block_);
    if (dspInit_) vorbis_dsp_clear(&dsp_);
    if (commentInit_) vorbis_comment_clear(&comment_);
    if (infoInit_) vorbis_info_clear(&info_);
    stream_ = {};
    page_ = {};
    packet_ = {};
    info_ = {};
    comment_ = {};
    dsp_ = {};
    block_ = {};
    infoInit_ = commentInit_ = dspInit_ = blockInit_ = streamInit_ = false;
    configured_ = started_ = ended_ = eosWritten_ = false;
    rate_ = 0;
    channels_ = 0;
    serial_ = 0;
    return failed_ ? 0 : 1;
}

}  // namespace sonavert
