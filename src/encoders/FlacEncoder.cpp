#include "encoders/FlacEncoder.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>

#include "base/GrowingFile.h"
#include "encoders/SampleQuantiser.h"
#include "tags/TagReading.h"

// libFLAC exports the switch of its MD5 sum but declares it only in its protected headers, which
// are not installed; it has been part of the library's interface since 1.1.
extern "C" FLAC__bool FLAC__stream_encoder_set_do_md5(FLAC__StreamEncoder* encoder, FLAC__bool value);

namespace sonavert {

namespace {

std::string ErrnoText(int error) { return error ? std::string(": ") + std::strerror(error) : std::string(); }

// The speaker positions FLAC assigns to each channel count when no mask is stored (1 to 8
// channels): a mask that equals it needs no comment.
constexpr uint64_t kFlacDefaultMasks[] = {0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x70F, 0x63F};

int PopCount(uint64_t v) {
    int n = 0;
    for (; v; v &= v - 1) ++n;
    return n;
}

}  // namespace

struct FlacEncoder::Io {
    static FLAC__StreamEncoderWriteStatus Write(const FLAC__StreamEncoder*, const FLAC__byte buffer[], size_t bytes,
                                                uint32_t, uint32_t, void* data) {
        auto* self = static_cast<FlacEncoder*>(data);
        if (self->failed_ || !self->file_) return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
        errno = 0;
        if (bytes > 0 && std::fwrite(buffer, 1, bytes, self->file_) != bytes) {
            self->WriteFailed();
            return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
        }
        // A followed target: the header is kept as written; frames are appended and published
        // now and then. What is written after the end's seek back rewrites the header only.
        if (self->follow_ && !self->rewinding_) {
            self->appended_ += bytes;
            if (self->writingHeader_)
                self->header_.insert(self->header_.end(), buffer, buffer + bytes);
            else if (self->appended_ - self->published_ >= kPublishBytes && !self->PublishAppended())
                return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
        }
        return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
    }
    static FLAC__StreamEncoderSeekStatus Seek(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* data) {
        auto* self = static_cast<FlacEncoder*>(data);
        if (self->failed_ || !self->file_ || offset > static_cast<FLAC__uint64>(INT64_MAX))
            return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
        self->rewinding_ = true;
        errno = 0;
        if (fseeko(self->file_, static_cast<off_t>(offset), SEEK_SET) != 0) {
            self->WriteFailed();
            return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
        }
        return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
    }
    static FLAC__StreamEncoderTellStatus Tell(const FLAC__StreamEncoder*, FLAC__uint64* offset, void* data) {
        auto* self = static_cast<FlacEncoder*>(data);
        if (!self->file_) return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
        const off_t at = ftello(self->file_);
        if (at < 0) return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
        *offset = static_cast<FLAC__uint64>(at);
        return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
    }
};

FlacEncoder::~FlacEncoder() { Close(); }

void FlacEncoder::Fail(const std::string& reason) {
    if (!failed_) reason_ = reason;
    failed_ = true;
}

void FlacEncoder::WriteFailed() { Fail("Failed to write file \"" + path_ + "\"" + ErrnoText(errno)); }

bool FlacEncoder::PublishAppended() {
    errno = 0;
    if (std::fflush(file_) != 0) {
        WriteFailed();
        return false;
    }
    published_ = appended_;
    follow_->Publish(appended_);
    return true;
}

void FlacEncoder::FollowWith(std::shared_ptr<GrowingFile> file) {
    if (!file) return;
    if (!file_ || !encoder_ || started_ || failed_ || follow_) {
        file->Fail();
        return;
    }
    // A second descriptor of the same open file: positioned reads leave the writer's offset alone.
    const int fd = ::fcntl(fileno(file_), F_DUPFD_CLOEXEC, 0);
    if (fd < 0 || !file->TakeReader(fd)) {
        file->Fail();
        return;
    }
    follow_ = std::move(file);
    appended_ = published_ = 0;
    header_.clear();
    rewinding_ = false;
}

void FlacEncoder::ReleaseMetadata() {
    if (comments_) FLAC__metadata_object_delete(comments_);
    if (seekTable_) FLAC__metadata_object_delete(seekTable_);
    if (picture_) FLAC__metadata_object_delete(picture_);
    comments_ = seekTable_ = picture_ = nullptr;
}

int FlacEncoder::Open(const std::string& path) {
    Close();
    reason_.clear();
    failed_ = false;
    path_ = path;
    errno = 0;
    file_ = std::fopen(path.c_str(), "w+be");
    if (!file_) {
        Fail("Failed to create file \"" + path + "\"" + ErrnoText(errno));
        return 0;
    }
    encoder_ = FLAC__stream_encoder_new();
    if (!encoder_) {
        Fail("out of memory");
        return 0;
    }
    return 1;
}

int FlacEncoder::Configure(uint32_t rate, uint32_t channels, uint32_t bits, int compression, uint64_t channelMask,
                           uint64_t expectedFrames) {
    if (!encoder_ || started_ || failed_) return 0;
    if (channels < 1 || channels > kMaxChannels || bits < kMinBits || bits > kMaxBits || rate < 1 ||
        rate > FLAC__MAX_SAMPLE_RATE) {
        reason_ = "FLAC cannot store " + std::to_string(channels) + " channel(s) of " + std::to_string(bits) +
                  " bits at " + std::to_string(rate) + " Hz";
        return 0;
    }
    if (compression < 0) compression = 0;
    if (compression > kMaxCompression) compression = kMaxCompression;
    channels_ = channels;
    bits_ = bits;
    // Rates beyond the streamable subset's are still valid FLAC.
    const bool subset = FLAC__format_sample_rate_is_subset(rate);
    bool ok = FLAC__stream_encoder_set_channels(encoder_, channels) &&
              FLAC__stream_encoder_set_bits_per_sample(encoder_, bits) &&
              FLAC__stream_encoder_set_sample_rate(encoder_, rate) &&
              FLAC__stream_encoder_set_compression_level(encoder_, static_cast<uint32_t>(compression)) &&
              FLAC__stream_encoder_set_streamable_subset(encoder_, subset) &&
              FLAC__stream_encoder_set_total_samples_estimate(encoder_, expectedFrames);
    ReleaseMetadata();
    comments_ = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
    ok = ok && comments_;
    // Layouts other than FLAC's own for the channel count are stored as the mask, the way decoders
    // read them back; more than two channels always carry it, since readers differ on the default.
    if (ok && channelMask != 0 && PopCount(channelMask) == static_cast<int>(channels) &&
        (channels > 2 || channelMask != kFlacDefaultMasks[channels - 1])) {
        char text[32];
        std::snprintf(text, sizeof text, "0x%04llX", static_cast<unsigned long long>(channelMask));
        FLAC__StreamMetadata_VorbisComment_Entry entry;
        ok = FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(
                 &entry, "WAVEFORMATEXTENSIBLE_CHANNEL_MASK", text) &&
             FLAC__metadata_object_vorbiscomment_append_comment(comments_, entry, false);
    }
    if (ok && expectedFrames > 0) {
        seekTable_ = FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE);
        ok = seekTable_ &&
             FLAC__metadata_object_seektable_template_append_spaced_points_by_samples(
                 seekTable_, rate * kSeekPointSeconds, expectedFrames) &&
             FLAC__metadata_object_seektable_template_sort(seekTable_, true);
    }
    if (!ok) {
        Fail("the FLAC encoder could not be set up");
        return 0;
    }
    configured_ = true;
    return 1;
}

void FlacEncoder::SetComments(const TagRecord& tags) {
    if (!configured_ || started_ || !comments_) return;
    for (const auto& [key, text] : VorbisComments(tags)) {
        FLAC__StreamMetadata_VorbisComment_Entry entry;
        if (FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, key, text.c_str()))
            FLAC__metadata_object_vorbiscomment_append_comment(comments_, entry, false);
    }
}

void FlacEncoder::SetPicture(const Picture& picture) {
    if (!configured_ || started_ || FlacPictureBlock(picture).empty()) return;
    if (picture_) FLAC__metadata_object_delete(picture_);
    picture_ = FLAC__metadata_object_new(FLAC__METADATA_TYPE_PICTURE);
    if (!picture_) return;
    FLAC__StreamMetadata_Picture& p = picture_->data.picture;
    p.type = static_cast<FLAC__StreamMetadata_Picture_Type>(picture.type <= 20 ? picture.type : 0);
    p.width = picture.width;
    p.height = picture.height;
    p.depth = picture.depth;
    p.colors = picture.colors;
    std::string mime = picture.mimeType;
    std::string description = picture.description;
    std::vector<FLAC__byte> data(picture.data.begin(), picture.data.end());
    const bool ok =
        FLAC__metadata_object_picture_set_mime_type(picture_, mime.data(), true) &&
        FLAC__metadata_object_picture_set_description(picture_, reinterpret_cast<FLAC__byte*>(description.data()),
                                                      true) &&
        FLAC__metadata_object_picture_set_data(picture_, data.data(), static_cast<FLAC__uint32>(data.size()), true);
    if (!ok) {
        FLAC__metadata_object_delete(picture_);
        picture_ = nullptr;
    }
}

void FlacEncoder::LeaveMd5ToCaller() {
    if (configured_ && !started_) md5FromCaller_ = true;
}

void FlacEncoder::SetMd5(const std::array<uint8_t, 16>& md5) {
    md5_ = md5;
    md5Given_ = true;
}

int FlacEncoder::Start() {
    if (!configured_ || started_ || failed_) return 0;
    if (md5FromCaller_ && !FLAC__stream_encoder_set_do_md5(encoder_, false)) {
        Fail("the FLAC encoder could not take its settings");
        return 0;
    }
    FLAC__StreamMetadata* blocks[3];
    unsigned count = 0;
    blocks[count++] = comments_;
    if (seekTable_) blocks[count++] = seekTable_;
    if (picture_) blocks[count++] = picture_;
    if (!FLAC__stream_encoder_set_metadata(encoder_, blocks, count)) {
        Fail("the FLAC encoder could not take the metadata");
        return 0;
    }
    writingHeader_ = follow_ != nullptr;
    const FLAC__StreamEncoderInitStatus status =
        FLAC__stream_encoder_init_stream(encoder_, Io::Write, Io::Seek, Io::Tell, nullptr, this);
    writingHeader_ = false;
    if (follow_ && status == FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
        if (rewinding_) {
            // The header was not written straight through: it cannot be handed over as written.
            follow_->Fail();
            follow_.reset();
        } else {
            follow_->SetPrefix(std::move(header_));
            header_.clear();
            published_ = appended_;
            follow_->Publish(appended_);
        }
    }
    if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
        Fail(std::string("the FLAC encoder could not start: ") +
             (status == FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR
                  ? FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(encoder_)]
                  : FLAC__StreamEncoderInitStatusString[status]));
        return 0;
    }
    started_ = true;
    return 1;
}

int FlacEncoder::EncodeInterleaved(const double* samples, uint32_t frames) {
    if (!started_ || failed_) return 0;
    if (frames == 0) return 1;
    if (!samples) {
        Fail("a block without samples");
        return 0;
    }
    const size_t count = static_cast<size_t>(frames) * channels_;
    buffer_.resize(count);
    const double scale = std::ldexp(1.0, static_cast<int>(bits_) - 1);
    int32_t* const out = buffer_.data();
    for (size_t i = 0; i < count; ++i) out[i] = QuantiseSample(samples[i], scale);
    if (!FLAC__stream_encoder_process_interleaved(encoder_, buffer_.data(), frames)) {
        Fail(std::string("the FLAC encoder failed: ") +
             FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(encoder_)]);
        return 0;
    }
    return 1;
}

void FlacEncoder::MendSeekTable() {
    if (!seekTable_ || !file_) return;
    FLAC__StreamMetadata_SeekTable& table = seekTable_->data.seek_table;
    bool unfilled = false;
    for (uint32_t i = 0; i < table.num_points; ++i) {
        FLAC__StreamMetadata_SeekPoint& point = table.points[i];
        if (point.sample_number != FLAC__STREAM_METADATA_SEEKPOINT_PLACEHOLDER && point.frame_samples == 0) {
            point = {FLAC__STREAM_METADATA_SEEKPOINT_PLACEHOLDER, 0, 0};
            unfilled = true;
        }
    }
    if (!unfilled) return;
    // Placeholders sort last; the block keeps its length, so it is written over in place.
    FLAC__format_seektable_sort(&table);
    std::vector<uint8_t> body;
    for (uint32_t i = 0; i < table.num_points; ++i) {
        const FLAC__StreamMetadata_SeekPoint& point = table.points[i];
        for (int b = 56; b >= 0; b -= 8) body.push_back(static_cast<uint8_t>(point.sample_number >> b));
        for (int b = 56; b >= 0; b -= 8) body.push_back(static_cast<uint8_t>(point.stream_offset >> b));
        body.push_back(static_cast<uint8_t>(point.frame_samples >> 8));
        body.push_back(static_cast<uint8_t>(point.frame_samples));
    }
    // The metadata blocks follow the "fLaC" marker, each behind a 4-byte header.
    errno = 0;
    off_t at = 4;
    for (int blocks = 0; blocks < 8; ++blocks) {
        uint8_t header[4];
        if (fseeko(file_, at, SEEK_SET) != 0 || std::fread(header, 1, 4, file_) != 4) break;
        const uint32_t length = (uint32_t{header[1]} << 16) | (uint32_t{header[2]} << 8) | header[3];
        if ((header[0] & 0x7F) == FLAC__METADATA_TYPE_SEEKTABLE) {
            if (length != body.size()) return;
            if (fseeko(file_, at + 4, SEEK_SET) != 0 || std::fwrite(body.data(), 1, body.size(), file_) != body.size())
                WriteFailed();
            return;
        }
        if (header[0] & 0x80) break;
        at += 4 + static_cast<off_t>(length);
    }
    Fail("the FLAC seek table could not be completed");
}

int FlacEncoder::Close() {
    const bool wasStarted = started_;
    if (encoder_) {
        // Finishing writes the last frame and goes back to complete STREAMINFO and the seek table.
        if (started_ && !FLAC__stream_encoder_finish(encoder_) && !failed_)
            Fail(std::string("the FLAC encoder could not finish: ") +
                 FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(encoder_)]);
        FLAC__stream_encoder_delete(encoder_);
        encoder_ = nullptr;
        if (started_ && !failed_) MendSeekTable();
        if (started_ && !failed_ && md5FromCaller_ && md5Given_) WriteGivenMd5();
    }
    ReleaseMetadata();
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
    buffer_.clear();
    buffer_.shrink_to_fit();
    channels_ = bits_ = 0;
    configured_ = started_ = md5FromCaller_ = md5Given_ = false;
    if (follow_) {
        if (wasStarted && !failed_)
            follow_->Finish(appended_);
        else
            follow_->Fail();
        follow_.reset();
    }
    header_.clear();
    return failed_ ? 0 : 1;
}

void FlacEncoder::WriteGivenMd5() {
    // STREAMINFO is the first metadata block, right after the "fLaC" marker; its MD5 is the last
    // 16 of its 34 bytes.
    constexpr off_t kStreamInfoAt = 4, kMd5At = kStreamInfoAt + 4 + 18;
    uint8_t header[4];
    errno = 0;
    if (fseeko(file_, kStreamInfoAt, SEEK_SET) != 0 || std::fread(header, 1, 4, file_) != 4 ||
        (header[0] & 0x7F) != FLAC__METADATA_TYPE_STREAMINFO || header[1] != 0 || header[2] != 0 || header[3] != 34) {
        Fail("the FLAC stream information could not be completed");
        return;
    }
    if (fseeko(file_, kMd5At, SEEK_SET) != 0 || std::fwrite(md5_.data(), 1, md5_.size(), file_) != md5_.size())
        WriteFailed();
}

bool ReadFlacStreamInfo(const std::string& path, FlacStreamInfo& info) {
    FLAC__StreamMetadata block;
    if (!FLAC__metadata_get_streaminfo(path.c_str(), &block) || block.type != FLAC__METADATA_TYPE_STREAMINFO)
        return false;
    const FLAC__StreamMetadata_StreamInfo& stream = block.data.stream_info;
    info.rate = stream.sample_rate;
    info.channels = stream.channels;
    info.bits = stream.bits_per_sample;
    static_assert(sizeof stream.md5sum == sizeof info.md5);
    std::memcpy(info.md5, stream.md5sum, sizeof info.md5);
    return true;
}

namespace {

struct FlacBlock {
    uint8_t type = 0;  // with the last-block flag
    size_t body = 0;   // where its body starts
    size_t length = 0;
};

// The metadata blocks of a header that holds exactly the marker and its blocks; false when it
// does not.
bool HeaderBlocks(const std::vector<uint8_t>& header, std::vector<FlacBlock>& blocks) {
    if (header.size() < 4 || std::memcmp(header.data(), "fLaC", 4) != 0) return false;
    for (size_t at = 4;;) {
        if (header.size() - at < 4 || blocks.size() >= 1024) return false;
        const size_t length = (size_t{header[at + 1]} << 16) | (size_t{header[at + 2]} << 8) | header[at + 3];
        if (header.size() - at - 4 < length) return false;
        blocks.push_back({header[at], at + 4, length});
        at += 4 + length;
        if (header[blocks.back().body - 4] & 0x80) return at == header.size();
    }
}

}  // namespace

bool FlacHeaderOnlyCompleted(const std::vector<uint8_t>& first, const std::vector<uint8_t>& finished) {
    std::vector<FlacBlock> a, b;
    if (first.size() != finished.size() || !HeaderBlocks(first, a) || !HeaderBlocks(finished, b) || a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].type != b[i].type || a[i].length != b[i].length || a[i].body != b[i].body) return false;
        const uint8_t* x = first.data() + a[i].body;
        const uint8_t* y = finished.data() + b[i].body;
        switch (a[i].type & 0x7F) {
            case FLAC__METADATA_TYPE_STREAMINFO:
                // Kept: the block sizes, rate, channels and bits. Completed: the frame sizes
                // (bytes 4-9), the length (the low half of byte 13, bytes 14-17) and the MD5.
                if (a[i].length != FLAC__STREAM_METADATA_STREAMINFO_LENGTH || std::memcmp(x, y, 4) != 0 ||
                    std::memcmp(x + 10, y + 10, 3) != 0 || (x[13] & 0xF0) != (y[13] & 0xF0))
                    return false;
                break;
            case FLAC__METADATA_TYPE_SEEKTABLE:
                break;
            default:
                if (std::memcmp(x, y, a[i].length) != 0) return false;
                break;
        }
    }
    return true;
}

}  // namespace sonavert
