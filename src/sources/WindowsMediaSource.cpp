#include "sources/WindowsMediaSource.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace sonavert {

WindowsMediaSource::WindowsMediaSource() : WindowsMediaSource(CreateWmSyncReader) {}

WindowsMediaSource::WindowsMediaSource(ReaderFactory factory)
    : factory_(std::move(factory)), buffer_(kInitialBufferBytes) {}

WindowsMediaSource::~WindowsMediaSource() { Close(); }

void WindowsMediaSource::Close() {
    if (reader_ && fileOpen_) reader_->Close();
    reader_.reset();
    fileOpen_ = false;
    title_.clear();
    artist_.clear();
    comment_.clear();
    album_.clear();
    genre_.clear();
    year_.clear();
    copyright_.clear();
    composer_.clear();
    albumArtist_.clear();
    disc_.clear();
    track_ = 0;
    audioStream_ = 0;
    audioOutput_ = 0;
    downmix_ = StereoDownmix();
    cursor_ = 0;
    framesLeft_ = 0;
    ResetFormat();
}

int WindowsMediaSource::Open(const std::string& path, uint32_t) {
    Close();
    if (OpenFile(path)) return 1;
    Close();
    return 0;
}

namespace {

// A decimal track number as text ("07" gives 7); anything unparsable gives 0.
int32_t ParseTrack(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE || v > INT32_MAX || v < INT32_MIN) return 0;
    return static_cast<int32_t>(v);
}

}  // namespace

int WindowsMediaSource::OpenFile(const std::string& path) {
    if (!factory_) return 0;
    reader_ = factory_();
    if (!reader_) return 0;
    if (!reader_->Open(path)) return 0;
    fileOpen_ = true;

    for (const WmStreamInfo& s : reader_->Streams()) {
        if (s.type == WmStreamType::Audio) {
            audioStream_ = s.number;
            break;
        }
    }
    if (audioStream_ == 0) return 0;
    if (!reader_->SelectStream(audioStream_)) return 0;

    struct Text {
        const char* name;
        std::string* into;
    };
    const Text texts[] = {{"Title", &title_},         {"Author", &artist_},    {"Description", &comment_},
                          {"WM/AlbumTitle", &album_}, {"WM/Genre", &genre_},   {"WM/Year", &year_},
                          {"Copyright", &copyright_}, {"WM/Composer", &composer_},
                          {"WM/AlbumArtist", &albumArtist_}, {"WM/PartOfSet", &disc_}};
    for (const Text& t : texts) {
        WmAttribute a;
        const auto r = reader_->GetAttributeByName(t.name, a);
        if (r == WmSyncReader::kFailed) return 0;
        if (r == WmSyncReader::kFound && a.type == WmAttribute::kString) *t.into = a.text;
    }
    WmAttribute a;
    auto r = reader_->GetAttributeByName("WM/TrackNumber", a);
    if (r == WmSyncReader::kFailed) return 0;
    if (r == WmSyncReader::kFound) {
        if (a.type == WmAttribute::kDword) track_ = static_cast<int32_t>(static_cast<uint32_t>(a.number));
        else if (a.type == WmAttribute::kString) track_ = ParseTrack(a.text);
    }
    a = {};
    r = reader_->GetAttributeByName("Duration", a);
    if (r == WmSyncReader::kFailed) return 0;
    if (r == WmSyncReader::kFound && a.type == WmAttribute::kQword) {
        length = a.number;
        duration = static_cast<int32_t>(std::min<uint64_t>(length / 10000000u, INT32_MAX));
    }
    a = {};
    r = reader_->GetAttributeByName("Bitrate", a);
    if (r == WmSyncReader::kFailed) return 0;
    if (r == WmSyncReader::kFound && a.type == WmAttribute::kDword) bitRate = static_cast<uint32_t>(a.number / 1000);

    const std::vector<WmOutputInfo> outputs = reader_->Outputs();
    bool found = false;
    for (size_t i = 0; i < outputs.size(); ++i) {
        if (!outputs[i].audio) continue;
        if (outputs[i].channels == 0 || outputs[i].sampleRate == 0) return 0;
        audioOutput_ = static_cast<uint32_t>(i);
        sampleRate = outputs[i].sampleRate;
        storedChannels = outputs[i].channels;
        channels = storedChannels > 2 ? 2 : storedChannels;
        if (storedChannels > 2) downmix_ = StereoDownmix(LayoutFromMask(storedChannels, outputs[i].channelMask));
        found = true;
        break;
    }
    if (!found) return 0;
    bitsPerSample = 16;
    bytesPerSample = 2;
    position = 0;
    cursor_ = 0;
    framesLeft_ = 0;
    return 1;
}

uint32_t WindowsMediaSource::Deliver(int16_t* left, int16_t* right, uint32_t delivered) {
    const int16_t* values = reinterpret_cast<const int16_t*>(buffer_.data());
    if (storedChannels > 2 && downmix_.Channels() == storedChannels) {
        // Frames of more than two channels are mixed down to stereo.
        const uint32_t frames = std::min(framesLeft_, kBlockFrames - delivered);
        downmix_.Mix(values + cursor_, frames, left + delivered, right ? right + delivered : nullptr);
        cursor_ += static_cast<size_t>(frames) * storedChannels;
        framesLeft_ -= frames;
        return delivered + frames;
    }
    while (framesLeft_ > 0 && delivered < kBlockFrames) {
        left[delivered] = values[cursor_];
        if (channels == 2 && right) right[delivered] = values[cursor_ + 1];
        cursor_ += storedChannels;
        --framesLeft_;
        ++delivered;
    }
    return delivered;
}

uint32_t WindowsMediaSource::Read(void* leftPlane, void* rightPlane) {
    if (!fileOpen_ || !leftPlane || storedChannels == 0) return 0;
    int16_t* left = static_cast<int16_t*>(leftPlane);
    int16_t* right = static_cast<int16_t*>(rightPlane);
    uint32_t delivered = Deliver(left, right, 0);
    while (delivered < kBlockFrames) {
        const uint8_t* data = nullptr;
        uint32_t size = 0;
        uint64_t time = 0;
        if (!reader_->GetNextSample(audioStream_, &data, &size, &time)) break;
        position = time;
        if (size > buffer_.size()) {
            const size_t grown = (static_cast<size_t>(size) + size / 8) / 4 * 4 + 4;
            buffer_.assign(grown, 0);
        }
        if (size && data) std::memcpy(buffer_.data(), data, size);
        cursor_ = 0;
        framesLeft_ = size / (2 * storedChannels);
        delivered = Deliver(left, right, delivered);
    }
    return delivered;
}

int WindowsMediaSource::ReadTags(TagRecord& tags) {
    tags.title = title_;
    tags.artist = artist_;
    tags.album = album_;
    tags.year = year_;
    tags.genre = genre_;
    tags.comment = comment_;
    tags.track = std::to_string(track_);
    tags.composer = composer_;
    tags.copyright = copyright_;
    tags.albumArtist = albumArtist_;
    tags.disc = disc_;
    return 1;
}

}  // namespace sonavert
