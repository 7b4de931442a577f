#include "encoders/OpusEncoder.h"

#include <ogg/ogg.h>
#include <opus/opus.h>
#include <opus/opusenc.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/Random.h"
#include "tags/TagReading.h"

namespace sonavert {

namespace {

// Largest slice handed to libopusenc in one call: it buffers what it is given before encoding.
constexpr uint32_t kMaxSliceFrames = 16384;

// The direct path codes 20 ms packets at 48 kHz.
constexpr uint32_t kOpusRate = 48000;
constexpr uint32_t kFrameSamples = 960;
// Samples beyond the packet being coded that libopus is shown: its signal analysis (tonality,
// speech or music, bandwidth) looks up to about two seconds ahead when it is given them, as
// libopusenc gives them. The window is kept in a buffer of twice its length, moved back to the
// front when it reaches the end.
constexpr uint32_t kLookAheadSamples = 96000;
constexpr uint32_t kWindowSamples = kFrameSamples + kLookAheadSamples;
constexpr uint32_t kBufferSamples = 2 * kWindowSamples;
// The largest packet of one 20 ms frame of one stream: its TOC byte and 1275 bytes of frame.
constexpr int32_t kMaxPacketBytes = 1276;
// Audio pages are written at the latest once they span a second, as libopusenc does, and
// otherwise when their 255 lacing values are full.
constexpr int64_t kMaxPageSpan = kOpusRate;
constexpr int kPageFill = 255 * 255;
// Room left after the comments for a tag editor to grow them in place.
constexpr size_t kCommentPadding = 512;

void PutLe16(std::string& out, uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void PutLe32(std::string& out, uint32_t v) {
    PutLe16(out, v & 0xFFFF);
    PutLe16(out, v >> 16);
}

// Sets the bit rate, its mode and the tuning through `ctl(request, value)`, which returns 0 when
// the encoder accepts. False when it refuses one of them.
template <class Ctl>
bool ApplySettings(Ctl ctl, const OpusStreamParams& p, int32_t bitRate) {
    bool set = ctl(OPUS_SET_BITRATE(bitRate)) == 0;
    set = set && ctl(OPUS_SET_VBR(p.mode == OpusRateMode::Constant ? 0 : 1)) == 0;
    if (p.mode != OpusRateMode::Constant)
        set = set && ctl(OPUS_SET_VBR_CONSTRAINT(p.mode == OpusRateMode::Constrained ? 1 : 0)) == 0;
    set = set && ctl(OPUS_SET_SIGNAL(p.voice ? OPUS_SIGNAL_VOICE : OPUS_SIGNAL_MUSIC)) == 0;
    if (p.voice) set = set && ctl(OPUS_SET_APPLICATION(OPUS_APPLICATION_VOIP)) == 0;
    return set;
}

std::string ErrnoText(int error) { return error ? std::string(": ") + std::strerror(error) : std::string(); }

}  // namespace

void WavToVorbisOrder(const float* in, float* out, uint32_t channels) {
    // For each Vorbis position, the WAV position it takes its sample from.
    static const uint8_t kFrom[9][8] = {
        {},
        {0},
        {0, 1},
        {0, 2, 1},                 // L C R
        {0, 1, 2, 3},              // FL FR BL BR
        {0, 2, 1, 3, 4},           // FL C FR BL BR
        {0, 2, 1, 4, 5, 3},        // FL C FR BL BR LFE
        {0, 2, 1, 5, 6, 4, 3},     // FL C FR SL SR BC LFE
        {0, 2, 1, 6, 7, 4, 5, 3},  // FL C FR SL SR BL BR LFE
    };
    const uint32_t n = std::min(channels, 8u);
    for (uint32_t c = 0; c < n; ++c) out[c] = in[kFrom[n][c]];
}

struct OpusEncoder::Direct {
    struct EncoderFree {
        void operator()(::OpusEncoder* e) const { opus_encoder_destroy(e); }
    };

    explicit Direct(uint32_t channelCount)
        : channels(channelCount), buffer(static_cast<size_t>(kBufferSamples) * channelCount) {}
    Direct(const Direct&) = delete;
    Direct& operator=(const Direct&) = delete;
    ~Direct() {
        if (oggReady) ogg_stream_clear(&ogg);
    }

    float* At(uint32_t frame) { return buffer.data() + static_cast<size_t>(frame) * channels; }
    // Moves the samples not yet coded to the front of the buffer.
    void Shift() {
        if (start == 0) return;
        std::copy(At(start), At(end), At(0));
        end -= start;
        start = 0;
    }

    std::unique_ptr<::OpusEncoder, EncoderFree> encoder;
    ogg_stream_state ogg{};
    bool oggReady = false;
    uint32_t channels;
    std::vector<float> buffer;  // interleaved frames; [start, end) not yet coded
    uint32_t start = 0;
    uint32_t end = 0;
    uint64_t handed = 0;       // frames handed to Encode (and the one of silence of an empty stream)
    uint64_t coded = 0;        // 48 kHz samples coded, the padding included
    int64_t packetNo = 0;
    uint32_t preSkip = 0;
    int64_t pageGranule = 0;   // granule position of the last page written
    unsigned char packet[kMaxPacketBytes];
};

OpusEncoder::OpusEncoder() = default;
OpusEncoder::~OpusEncoder() { Finish(); }

void OpusEncoder::Fail(const std::string& reason) {
    if (!failed_) reason_ = reason;
    failed_ = true;
}

void OpusEncoder::WriteFailed() { Fail("Failed to write file \"" + path_ + "\"" + ErrnoText(errno)); }

int OpusEncoder::WritePage(void* user, const unsigned char* data, int32_t length) {
    auto* self = static_cast<OpusEncoder*>(user);
    if (self->failed_ || !self->file_ || length < 0) return 1;
    errno = 0;
    const size_t size = static_cast<size_t>(length);
    if (std::fwrite(data, 1, size, self->file_) != size) {
        self->WriteFailed();
        return 1;
    }
    return 0;
}

// The file is closed by Finish, which checks the close.
int OpusEncoder::ClosePages(void*) { return 0; }

bool OpusEncoder::WriteOggPage(const unsigned char* header, long headerLength, const unsigned char* body,
                               long bodyLength) {
    if (failed_ || !file_ || headerLength < 0 || bodyLength < 0) return false;
    errno = 0;
    const size_t h = static_cast<size_t>(headerLength);
    const size_t b = static_cast<size_t>(bodyLength);
    if (std::fwrite(header, 1, h, file_) != h || std::fwrite(body, 1, b, file_) != b) {
        WriteFailed();
        return false;
    }
    return true;
}

int OpusEncoder::Open(const std::string& path) {
    Finish();
    reason_.clear();
    failed_ = false;
    path_ = path;
    errno = 0;
    file_ = std::fopen(path.c_str(), "wbe");
    if (!file_) {
        Fail("Failed to create file \"" + path + "\"" + ErrnoText(errno));
        return 0;
    }
    return 1;
}

void OpusEncoder::SetPicture(const Picture& picture) {
    if (!file_ || started_) return;
    std::string block = MetadataBlockPicture(picture);
    if (!block.empty()) comments_.emplace_back("METADATA_BLOCK_PICTURE", std::move(block));
}

void OpusEncoder::SetComments(const TagRecord& tags) {
    if (!file_ || started_) return;
    comments_.clear();
    // A key holding '=' could not be told from its text (libopusenc refuses such keys too).
    for (const auto& [key, text] : VorbisComments(tags))
        if (!std::strchr(key, '=')) comments_.emplace_back(key, text);
}

int OpusEncoder::Start(const OpusStreamParams& p) {
    if (!file_ || started_ || failed_) {
        Fail(started_ ? "the Opus encoder was already started" : "no file is open");
        return 0;
    }
    if (p.channels < 1 || p.channels > kMaxChannels || p.inputRate < 1 || p.inputRate > 768000) {
        Fail("The Opus encoder cannot encode " + std::to_string(p.inputRate) + " Hz, " +
             std::to_string(p.channels) + " channel(s)");
        return 0;
    }
    started_ = true;
    channels_ = p.channels;
    const int32_t bitRate =
        std::clamp(p.bitRate, kMinBitRate, kMaxBitRatePerChannel * static_cast<int32_t>(p.channels));
    // libopusenc drives libopus's multistream encoder, which sizes its streams afresh (and so
    // detects the CPU again) on every call it makes; a single stream at 48 kHz needs none of its
    // framing and costs well under two thirds of the time directly.
    if (p.channels <= 2 && p.inputRate == kOpusRate) return StartDirect(p, bitRate);
    return StartThroughLibopusenc(p, bitRate);
}

int OpusEncoder::StartDirect(const OpusStreamParams& p, int32_t bitRate) {
    auto d = std::make_unique<Direct>(p.channels);
    int error = OPUS_OK;
    d->encoder.reset(opus_encoder_create(static_cast<opus_int32>(kOpusRate), static_cast<int>(p.channels),
                                         OPUS_APPLICATION_AUDIO, &error));
    if (!d->encoder || error != OPUS_OK) {
        Fail(std::string("The Opus encoder could not be created: ") + opus_strerror(error));
        return 0;
    }
    ::OpusEncoder* e = d->encoder.get();
    // Each call is handed the whole window; the encoder codes 20 ms of it and analyses the rest.
    bool set = opus_encoder_ctl(e, OPUS_SET_EXPERT_FRAME_DURATION(OPUS_FRAMESIZE_20_MS)) == OPUS_OK;
    set = set && ApplySettings([e](int request, opus_int32 value) { return opus_encoder_ctl(e, request, value); }, p,
                               bitRate);
    opus_int32 lookahead = 0;
    set = set && opus_encoder_ctl(e, OPUS_GET_LOOKAHEAD(&lookahead)) == OPUS_OK;
    if (!set || lookahead < 0 || lookahead > 65535) {
        Fail("The Opus encoder refused its settings (" + std::to_string(bitRate / 1000) + " kbps)");
        return 0;
    }
    d->preSkip = static_cast<uint32_t>(lookahead);
    if (ogg_stream_init(&d->ogg, static_cast<int>(NextRandom() & 0x7FFFFFFF)) != 0) {
        Fail("The Opus encoder could not be created");
        return 0;
    }
    d->oggReady = true;
    direct_ = std::move(d);

    // The identification header, alone on the first page: version 1, the channels, the
    // pre-skip, the source's rate, no output gain, channel mapping 0.
    std::string head = "OpusHead";
    head.push_back(1);
    head.push_back(static_cast<char>(p.channels));
    PutLe16(head, direct_->preSkip);
    PutLe32(head, p.sourceRate ? p.sourceRate : p.inputRate);
    PutLe16(head, 0);
    head.push_back(0);
    // The comment header on its own page(s): the vendor, every comment, then zero padding.
    std::string tags = "OpusTags";
    const std::string vendor = opus_get_version_string();
    PutLe32(tags, static_cast<uint32_t>(vendor.size()));
    tags += vendor;
    // (A comment too long for its 32-bit length is left out.)
    std::string entries;
    uint32_t count = 0;
    for (const auto& [key, text] : comments_) {
        const size_t length = key.size() + 1 + text.size();
        if (length > UINT32_MAX) continue;
        PutLe32(entries, static_cast<uint32_t>(length));
        entries += key;
        entries += '=';
        entries += text;
        ++count;
    }
    PutLe32(tags, count);
    tags += entries;
    tags.append(kCommentPadding, '\0');

    for (std::string* header : {&head, &tags}) {
        ogg_packet packet{};
        packet.packet = reinterpret_cast<unsigned char*>(header->data());
        packet.bytes = static_cast<long>(header->size());
        packet.b_o_s = header == &head ? 1 : 0;
        packet.granulepos = 0;
        packet.packetno = direct_->packetNo++;
        if (ogg_stream_packetin(&direct_->ogg, &packet) != 0) {
            Fail("The Opus encoder failed");
            return 0;
        }
        if (!WriteDirectPages(true)) return 0;
    }
    return 1;
}

int OpusEncoder::StartThroughLibopusenc(const OpusStreamParams& p, int32_t bitRate) {
    opeComments_ = ope_comments_create();
    if (!opeComments_) {
        Fail("The Opus encoder could not be created");
        return 0;
    }
    for (const auto& [key, text] : comments_) ope_comments_add(opeComments_, key.c_str(), text.c_str());
    OpusEncCallbacks callbacks{&OpusEncoder::WritePage, &OpusEncoder::ClosePages};
    int error = OPE_OK;
    const int family = p.channels <= 2 ? 0 : p.unnamedLayout ? 255 : 1;
    encoder_ = ope_encoder_create_callbacks(&callbacks, this, opeComments_, static_cast<int32_t>(p.inputRate),
                                            static_cast<int>(p.channels), family, &error);
    if (!encoder_ || error != OPE_OK) {
        Fail(std::string("The Opus encoder could not be created: ") + ope_strerror(error));
        return 0;
    }
    bool set = ope_encoder_ctl(encoder_, OPE_SET_SERIALNO(static_cast<int32_t>(NextRandom() & 0x7FFFFFFF))) == OPE_OK;
    OggOpusEnc* e = encoder_;
    set = set && ApplySettings([e](int request, opus_int32 value) { return ope_encoder_ctl(e, request, value); }, p,
                               bitRate);
    if (!set) {
        Fail("The Opus encoder refused its settings (" + std::to_string(bitRate / 1000) + " kbps)");
        return 0;
    }
    return 1;
}

bool OpusEncoder::WriteDirectPages(bool flush) {
    Direct& d = *direct_;
    ogg_page page;
    auto next = [&]() {
        return flush ? ogg_stream_flush_fill(&d.ogg, &page, kPageFill) : ogg_stream_pageout_fill(&d.ogg, &page, kPageFill);
    };
    while (next()) {
        if (!WriteOggPage(page.header, page.header_len, page.body, page.body_len)) return false;
        const int64_t granule = ogg_page_granulepos(&page);
        if (granule >= 0) d.pageGranule = granule;
    }
    return true;
}

bool OpusEncoder::EncodeDirectFrame(bool last) {
    Direct& d = *direct_;
    const opus_int32 bytes = opus_encode_float(d.encoder.get(), d.At(d.start), static_cast<int>(d.end - d.start),
                                               d.packet, kMaxPacketBytes);
    if (bytes < 0) {
        Fail(std::string("The Opus encoder failed: ") + opus_strerror(bytes));
        return false;
    }
    d.start += kFrameSamples;
    d.coded += kFrameSamples;
    ogg_packet packet{};
    packet.packet = d.packet;
    packet.bytes = bytes;
    packet.e_o_s = last ? 1 : 0;
    // The decode runs pre-skip samples behind the input: the last packet's granule position
    // ends it at the last sample handed, trimming the padding.
    packet.granulepos = static_cast<ogg_int64_t>(last ? d.preSkip + d.handed : d.coded);
    packet.packetno = d.packetNo++;
    if (ogg_stream_packetin(&d.ogg, &packet) != 0) {
        Fail("The Opus encoder failed");
        return false;
    }
    return WriteDirectPages(last || packet.granulepos - d.pageGranule >= kMaxPageSpan);
}

int OpusEncoder::Encode(const float* interleaved, uint32_t frames) {
    if (failed_) return 0;
    if ((!encoder_ && !direct_) || (!interleaved && frames > 0)) {
        Fail("the Opus encoder was not started");
        return 0;
    }
    if (direct_) {
        Direct& d = *direct_;
        while (frames > 0) {
            if (d.end == kBufferSamples) d.Shift();
            const uint32_t take = std::min(frames, kBufferSamples - d.end);
            const size_t samples = static_cast<size_t>(take) * channels_;
            std::copy(interleaved, interleaved + samples, d.At(d.end));
            d.end += take;
            d.handed += take;
            framesWritten_ += take;
            interleaved += samples;
            frames -= take;
            // Never the last packet: a full look-ahead follows it.
            while (d.end - d.start > kWindowSamples)
                if (!EncodeDirectFrame(false)) return 0;
        }
        return 1;
    }
    while (frames > 0) {
        const uint32_t slice = std::min(frames, kMaxSliceFrames);
        const int result = ope_encoder_write_float(encoder_, interleaved, static_cast<int>(slice));
        if (failed_) return 0;
        if (result != OPE_OK) {
            Fail(std::string("The Opus encoder failed: ") + ope_strerror(result));
            return 0;
        }
        framesWritten_ += slice;
        interleaved += static_cast<size_t>(slice) * channels_;
        frames -= slice;
    }
    return 1;
}

int OpusEncoder::Finish() {
    if (direct_) {
        Direct& d = *direct_;
        if (!failed_) {
            // A stream that never received a sample gets one of silence, so that it ends as a
            // valid, practically empty file, as on the libopusenc path.
            d.Shift();
            if (d.handed == 0) {
                std::fill(d.At(0), d.At(1), 0.0f);
                d.end = 1;
                d.handed = 1;
            }
            // Every sample handed is decoded pre-skip samples later: the window is padded with
            // silence to whole packets that cover the last of them (at least one packet, since
            // the look-ahead is never zero), and the last packet ends the stream.
            const uint32_t packets = (d.end + d.preSkip + kFrameSamples - 1) / kFrameSamples;
            std::fill(d.At(d.end), d.At(packets * kFrameSamples), 0.0f);
            d.end = packets * kFrameSamples;
            for (uint32_t i = 1; i <= packets; ++i)
                if (!EncodeDirectFrame(i == packets)) break;
        }
        direct_.reset();
    }
    if (encoder_) {
        if (!failed_) {
            // libopusenc's drain can abort the process on a stream that never received a sample
            // (an empty source, a decode that gave up at once): such a stream gets one frame of
            // silence, so that it ends as a valid, practically empty file.
            int result = OPE_OK;
            if (framesWritten_ == 0) {
                const float silence[kMaxChannels] = {};
                result = ope_encoder_write_float(encoder_, silence, 1);
            }
            if (result == OPE_OK && !failed_) result = ope_encoder_drain(encoder_);
            if (result != OPE_OK && !failed_)
                Fail(std::string("The Opus encoder failed at the end: ") + ope_strerror(result));
        }
        ope_encoder_destroy(encoder_);
        encoder_ = nullptr;
    }
    if (opeComments_) {
        ope_comments_destroy(opeComments_);
        opeComments_ = nullptr;
    }
    comments_.clear();
    started_ = false;
    if (file_) {
        errno = 0;
        const bool flushed = std::fflush(file_) == 0;
        const int flushError = errno;
        const bool closed = std::fclose(file_) == 0;
        if (!flushed || !closed) {
            errno = flushed ? errno : flushError;
            WriteFailed();
        }
        file_ = nullptr;
    }
    channels_ = 0;
    framesWritten_ = 0;
    return failed_ ? 0 : 1;
}

}  // namespace sonavert
