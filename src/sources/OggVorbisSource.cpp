#include "sources/OggVorbisSource.h"

#include <bit>
#include <climits>
#include <cstring>

#include "tags/TagReading.h"

namespace sonavert {

namespace {

constexpr int kBigEndian = std::endian::native == std::endian::big ? 1 : 0;
constexpr int kMonoRequestBytes = static_cast<int>(kBlockFrames * 2);

// A comment as kept: the bytes up to its stated length or its first NUL, when they are valid UTF-8
// (the local text encoding); nothing otherwise. No length limit applies.
bool KeepComment(const char* bytes, int length, std::string& out) {
    if (!bytes || length < 0) return false;
    const size_t n = strnlen(bytes, static_cast<size_t>(length));
    auto text = Utf8ToLocal(std::string_view(bytes, n));
    if (!text) return false;
    out = std::move(*text);
    return true;
}

// True when `text` begins with `key`, ASCII letters compared without regard to case (whatever the
// locale says about other bytes).
bool StartsWithKey(const std::string& text, const char* key, size_t keyLength) {
    if (text.size() < keyLength) return false;
    for (size_t i = 0; i < keyLength; ++i) {
        char a = text[i], b = key[i];
        if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
        if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
        if (a != b) return false;
    }
    return true;
}

}  // namespace

uint32_t OggVorbisSource::RightChannelIndex(uint32_t channels) {
    switch (channels) {
        case 3:  // L C R
        case 5:  // FL C FR RL RR
        case 6:  // FL C FR RL RR LFE
        case 7:  // FL C FR SL SR RC LFE
        case 8:  // FL C FR SL SR RL RR LFE
            return 2;
        case 0:
        case 1:
            return 0;
        default:  // 2: L R; 4: FL FR RL RR; 9 and more: no defined order
            return 1;
    }
}

OggVorbisSource::~OggVorbisSource() { Close(); }

void OggVorbisSource::Close() {
    if (open_) ov_clear(&file_);
    file_ = {};
    open_ = false;
    ended_ = false;
    statedEmpty_ = false;
    comments_.clear();
    scratchFrames_ = scratchNext_ = scratchChannels_ = 0;
    ResetFormat();
}

int OggVorbisSource::Open(const std::string& path, uint32_t /*renderRate*/) {
    Close();
    if (ov_fopen(path.c_str(), &file_) < 0) {
        file_ = {};
        return 0;
    }
    open_ = true;

    if (const vorbis_comment* vc = ov_comment(&file_, -1)) {
        for (int i = 0; i < vc->comments; ++i) {
            std::string text;
            if (KeepComment(vc->user_comments[i], vc->comment_lengths[i], text)) comments_.push_back(std::move(text));
        }
    }

    const vorbis_info* vi = ov_info(&file_, -1);
    if (!vi || vi->channels < 1 || !UsableSampleRate(vi->rate > 0 ? static_cast<uint64_t>(vi->rate) : 0)) {
        Close();
        return 0;
    }
    sampleRate = static_cast<uint32_t>(vi->rate);
    storedChannels = static_cast<uint32_t>(vi->channels);
    channels = storedChannels <= 2 ? storedChannels : 2;
    bitsPerSample = 16;
    bytesPerSample = 2;
    if (vi->bitrate_nominal > 0) {
        bitRate = static_cast<uint32_t>(vi->bitrate_nominal / 1000);
    } else {
        // No nominal rate in the header: the average over the whole file instead.
        const long average = ov_bitrate(&file_, -1);
        bitRate = average > 0 ? static_cast<uint32_t>(average / 1000) : 0;
    }

    const double seconds = ov_time_total(&file_, -1);
    duration = seconds <= 0 ? 0 : seconds >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(seconds);
    const ogg_int64_t total = ov_pcm_total(&file_, -1);
    length = total > 0 ? static_cast<uint64_t>(total) : 0;
    // An Ogg stream states no length of its own: it is read off the last page's granule position,
    // which a file cut short lacks. Only an empty stream with nothing after its headers is empty.
    statedEmpty_ = total == 0 && ov_raw_total(&file_, -1) == ov_raw_tell(&file_);
    position = 0;
    return 1;
}

long OggVorbisSource::ReadBytes(char* target, int bytes, uint32_t& linkChannels) {
    if (!open_ || ended_) return 0;
    for (int holes = 0; holes < kMaxConsecutiveHoles; ++holes) {
        int section = 0;
        const long got = ov_read(&file_, target, bytes, kBigEndian, 2, 1, &section);
        if (got > 0) {
            const vorbis_info* vi = ov_info(&file_, -1);
            linkChannels = vi && vi->channels > 0 ? static_cast<uint32_t>(vi->channels) : storedChannels;
            return got;
        }
        if (got == 0) break;  // the end of the stream
        // A negative result is a hole in the data (or a damaged packet): read on.
    }
    ended_ = true;
    return 0;
}

uint32_t OggVorbisSource::Read(void* left, void* right) {
    if (!open_ || !left) return 0;
    int16_t* l = static_cast<int16_t*>(left);
    int16_t* r = static_cast<int16_t*>(right);

    if (channels == 1) {
        uint32_t linkChannels = 1;
        const long got = ReadBytes(static_cast<char*>(left), kMonoRequestBytes, linkChannels);
        if (got <= 0) return 0;
        const uint32_t frames = static_cast<uint32_t>(got / 2) / linkChannels;
        // A later link with more channels: keep its first channel, compacting in place.
        if (linkChannels > 1)
            for (uint32_t i = 0; i < frames; ++i) l[i] = l[i * linkChannels];
        return frames;
    }

    if (scratchNext_ >= scratchFrames_) {
        uint32_t linkChannels = storedChannels;
        const long got = ReadBytes(reinterpret_cast<char*>(scratch_.data()), static_cast<int>(kScratchBytes),
                                   linkChannels);
        if (got <= 0) return 0;
        scratchChannels_ = linkChannels;
        scratchFrames_ = static_cast<uint32_t>(got / 2) / linkChannels;
        scratchNext_ = 0;
        if (scratchFrames_ == 0) return 0;
    }
    const uint32_t step = scratchChannels_;
    const uint32_t rightIndex = RightChannelIndex(step);
    uint32_t frames = scratchFrames_ - scratchNext_;
    if (frames > kBlockFrames) frames = kBlockFrames;
    const int16_t* in = scratch_.data() + static_cast<size_t>(scratchNext_) * step;
    for (uint32_t i = 0; i < frames; ++i, in += step) {
        l[i] = in[0];
        if (r) r[i] = in[rightIndex];
    }
    scratchNext_ += frames;
    return frames;
}

uint64_t OggVorbisSource::GetPosition() {
    if (!open_) return position;
    const ogg_int64_t at = ov_pcm_tell(&file_);
    position = at > 0 ? static_cast<uint64_t>(at) : 0;
    return position;
}

int OggVorbisSource::ReadTags(TagRecord& tags) {
    if (!open_) return 0;
    const struct {
        const char* key;
        std::string TagRecord::*field;
    } keys[] = {
        {"TITLE=", &TagRecord::title},     {"ARTIST=", &TagRecord::artist},
        {"ALBUM=", &TagRecord::album},     {"DATE=", &TagRecord::year},
        {"GENRE=", &TagRecord::genre},     {"COMMENT=", &TagRecord::comment},
        {"TRACKNUMBER=", &TagRecord::track}, {"COMPOSER=", &TagRecord::composer},
        {"COPYRIGHT=", &TagRecord::copyright},
    };
    for (const auto& k : keys) {
        std::string& out = tags.*k.field;
        out.clear();
        const size_t keyLength = std::strlen(k.key);
        for (const std::string& c : comments_)
            if (StartsWithKey(c, k.key, keyLength)) out = c.substr(keyLength);
    }
    // Some tools write the comment under COMMENTS; it serves where no COMMENT is present.
    if (tags.comment.empty())
        for (const std::string& c : comments_)
            if (StartsWithKey(c, "COMMENTS=", 9)) tags.comment = c.substr(9);
    return 1;
}

}  // namespace sonavert
