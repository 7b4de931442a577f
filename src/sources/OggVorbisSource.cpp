#include "sources/OggVorbisSource.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

#include "tags/TagReading.h"

namespace sonavert {

namespace {

constexpr int kBigEndian = std::endian::native == std::endian::big ? 1 : 0;

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

OggVorbisSource::~OggVorbisSource() { Close(); }

void OggVorbisSource::Close() {
    if (open_) ov_clear(&file_);
    file_ = {};
    open_ = false;
    ended_ = false;
    statedEmpty_ = false;
    comments_.clear();
    links_.clear();
    link_ = -1;
    linkChannels_ = 0;
    linkMix_ = StereoDownmix();
    resampler_.reset();
    converted_.clear();
    convertedNext_ = 0;
    queue_.clear();
    queueNext_ = 0;
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

    // The links of a chained file, each with its own rate and channel count. The length counts
    // every link's samples at the first link's rate.
    const long streams = ov_seekable(&file_) ? ov_streams(&file_) : 1;
    uint64_t pcm = 0, scaled = 0;
    bool lengthKnown = true;
    for (long i = 0; i < streams; ++i) {
        const vorbis_info* li = ov_info(&file_, static_cast<int>(i));
        Link link;
        if (li && li->channels > 0 && UsableSampleRate(li->rate > 0 ? static_cast<uint64_t>(li->rate) : 0)) {
            link.rate = static_cast<uint32_t>(li->rate);
            link.channels = static_cast<uint32_t>(li->channels);
        }
        const ogg_int64_t total = ov_pcm_total(&file_, static_cast<int>(i));
        if (total < 0) lengthKnown = false;
        link.pcmLength = total > 0 ? static_cast<uint64_t>(total) : 0;
        link.pcmStart = pcm;
        link.scaledStart = scaled;
        pcm += link.pcmLength;
        scaled += Scaled(link, link.pcmLength);
        links_.push_back(link);
    }

    const double seconds = ov_time_total(&file_, -1);
    duration = seconds <= 0 ? 0 : seconds >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(seconds);
    const ogg_int64_t total = ov_pcm_total(&file_, -1);
    length = total > 0 && lengthKnown ? scaled : 0;
    // An Ogg stream states no length of its own: it is read off the last page's granule position,
    // which a file cut short lacks. Only an empty stream with nothing after its headers is empty.
    statedEmpty_ = total == 0 && ov_raw_total(&file_, -1) == ov_raw_tell(&file_);
    position = 0;
    return 1;
}

uint64_t OggVorbisSource::Scaled(const Link& link, uint64_t samples) const {
    if (link.rate == 0 || link.rate == sampleRate) return samples;
    // Rounded to the nearest sample, as the resampler delivers.
    const unsigned __int128 wide = static_cast<unsigned __int128>(samples) * sampleRate + link.rate / 2;
    return static_cast<uint64_t>(wide / link.rate);
}

long OggVorbisSource::ReadBytes(char* target, int bytes, int& link) {
    if (!open_ || ended_) return 0;
    for (int holes = 0; holes < kMaxConsecutiveHoles; ++holes) {
        int section = 0;
        const long got = ov_read(&file_, target, bytes, kBigEndian, 2, 1, &section);
        if (got > 0) {
            link = section;
            return got;
        }
        if (got == 0) break;  // the end of the stream
        // A negative result is a hole in the data (or a damaged packet): read on.
    }
    ended_ = true;
    return 0;
}

bool OggVorbisSource::StartLink(int index) {
    // The resampler of the link before hands out the samples it still holds.
    if (resampler_) Queue(nullptr, 0);
    resampler_.reset();
    link_ = index;
    if (index < 0 || static_cast<size_t>(index) >= links_.size()) {
        // A link the open did not see (an unseekable stream): its format as the decoder has it now.
        const vorbis_info* vi = ov_info(&file_, -1);
        Link link;
        if (vi && vi->channels > 0 && UsableSampleRate(vi->rate > 0 ? static_cast<uint64_t>(vi->rate) : 0)) {
            link.rate = static_cast<uint32_t>(vi->rate);
            link.channels = static_cast<uint32_t>(vi->channels);
        }
        if (index >= 0) links_.resize(static_cast<size_t>(index) + 1);
        else links_.emplace_back();
        links_.back() = link;
        link_ = static_cast<int>(links_.size() - 1);
    }
    const Link& link = links_[static_cast<size_t>(link_)];
    if (link.channels == 0 || link.rate == 0) return false;
    linkChannels_ = link.channels;
    linkMix_ = link.channels > 2 ? StereoDownmix(VorbisLayout(link.channels)) : StereoDownmix();
    if (link.rate != sampleRate) {
        // Rounded, not dithered: soxr seeds its dither from the clock, so the same file would
        // decode to different samples on every run.
        soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
        io.flags |= SOXR_NO_DITHER;
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_error_t error = nullptr;
        resampler_.reset(soxr_create(link.rate, sampleRate, channels, &error, &io, &quality, nullptr));
        if (error || !resampler_) {
            resampler_.reset();
            return false;
        }
    }
    return true;
}

void OggVorbisSource::Queue(const int16_t* frames, size_t count) {
    const uint32_t ch = channels;
    if (!resampler_) {
        if (frames) queue_.insert(queue_.end(), frames, frames + count * ch);
        return;
    }
    const Link& link = links_[static_cast<size_t>(link_)];
    // Room for what `count` input frames give at the output rate, and the filter's delay besides.
    const size_t room = static_cast<size_t>(
        static_cast<unsigned __int128>(count) * sampleRate / link.rate + 512);
    for (;;) {
        const size_t at = queue_.size();
        queue_.resize(at + room * ch);
        size_t used = 0, made = 0;
        soxr_process(resampler_.get(), frames, count, frames ? &used : nullptr, queue_.data() + at, room, &made);
        queue_.resize(at + made * ch);
        if (frames) {
            frames += used * ch;
            count -= used;
            if (count == 0 && made < room) return;
        } else if (made == 0) {
            return;
        }
    }
}

bool OggVorbisSource::Refill() {
    const uint32_t ch = channels;
    // Input frames queued per step, so that a link at a far lower rate cannot flood the queue.
    const size_t step = !resampler_ ? SIZE_MAX
                                    : std::max<size_t>(1, static_cast<size_t>(
                                          static_cast<uint64_t>(kBlockFrames) * links_[link_].rate / sampleRate));
    if (convertedNext_ * ch < converted_.size()) {
        const size_t left = converted_.size() / ch - convertedNext_;
        const size_t take = std::min(left, step);
        Queue(converted_.data() + convertedNext_ * ch, take);
        convertedNext_ += take;
        return true;
    }
    converted_.clear();
    convertedNext_ = 0;

    int section = 0;
    const long got = ReadBytes(reinterpret_cast<char*>(scratch_.data()), static_cast<int>(kScratchBytes), section);
    if (got <= 0) {
        const bool draining = resampler_ != nullptr;
        if (draining) Queue(nullptr, 0);
        resampler_.reset();
        return draining;
    }
    if (section != link_ || linkChannels_ == 0) {
        if (!StartLink(section)) {
            ended_ = true;
            return false;
        }
    }
    const uint32_t in = linkChannels_;
    const size_t frames = static_cast<size_t>(got / 2) / in;
    const int16_t* src = scratch_.data();
    converted_.resize(frames * ch);
    int16_t* out = converted_.data();
    if (in == ch) {
        std::copy(src, src + frames * ch, out);
    } else if (in > 2) {
        // Mixed down to stereo; a mono delivery takes the mean of the two.
        std::vector<int16_t> l(frames), r(frames);
        linkMix_.Mix(src, static_cast<uint32_t>(frames), l.data(), r.data());
        for (size_t i = 0; i < frames; ++i) {
            if (ch == 2) {
                out[2 * i] = l[i];
                out[2 * i + 1] = r[i];
            } else {
                out[i] = static_cast<int16_t>((l[i] + r[i]) / 2);
            }
        }
    } else if (in == 2) {  // into mono
        for (size_t i = 0; i < frames; ++i) out[i] = static_cast<int16_t>((src[2 * i] + src[2 * i + 1]) / 2);
    } else {  // mono into stereo
        for (size_t i = 0; i < frames; ++i) out[2 * i] = out[2 * i + 1] = src[i];
    }
    return true;
}

uint32_t OggVorbisSource::Read(void* left, void* right) {
    if (!open_ || !left) return 0;
    const uint32_t ch = channels;
    if (ch == 0) return 0;
    while (queueNext_ * ch >= queue_.size()) {
        queue_.clear();
        queueNext_ = 0;
        if (!Refill()) return 0;
    }
    int16_t* l = static_cast<int16_t*>(left);
    int16_t* r = static_cast<int16_t*>(right);
    uint32_t frames = static_cast<uint32_t>(std::min<size_t>(queue_.size() / ch - queueNext_, kBlockFrames));
    const int16_t* in = queue_.data() + queueNext_ * ch;
    if (ch == 1) {
        std::copy(in, in + frames, l);
    } else {
        for (uint32_t i = 0; i < frames; ++i) {
            l[i] = in[2 * i];
            if (r) r[i] = in[2 * i + 1];
        }
    }
    queueNext_ += frames;
    return frames;
}

uint64_t OggVorbisSource::GetPosition() {
    if (!open_) return position;
    const ogg_int64_t at = ov_pcm_tell(&file_);
    const uint64_t tell = at > 0 ? static_cast<uint64_t>(at) : 0;
    // The decoder's position lies in one link; it is counted at the first link's rate.
    const Link* link = nullptr;
    for (const Link& l : links_)
        if (l.pcmStart <= tell) link = &l;
    position = link ? link->scaledStart + Scaled(*link, tell - link->pcmStart) : tell;
    if (length > 0 && position > length) position = length;
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
        {"COPYRIGHT=", &TagRecord::copyright}, {"ALBUMARTIST=", &TagRecord::albumArtist},
        {"DISCNUMBER=", &TagRecord::disc},
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
