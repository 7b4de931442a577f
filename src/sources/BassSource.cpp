#include "sources/BassSource.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <optional>

#include "sources/bass/MpegHeader.h"
#include "sources/bass/bass.h"
#include "tags/TagReading.h"

namespace sonavert {
namespace {

constexpr QWORD kNotAvailable = static_cast<QWORD>(-1);
constexpr DWORD kMusicFlags = BASS_MUSIC_DECODE | BASS_MUSIC_PRESCAN | BASS_MUSIC_RAMP;

std::string LowerExtension(const std::string& path) {
    size_t dot = path.find_last_of('.');
    size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string ext = path.substr(dot);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

}  // namespace

BassSource::~BassSource() { Close(); }

void BassSource::Close() {
    if (handle_) {
        if (kind_ == kModule) BASS_MusicFree(handle_);
        else BASS_StreamFree(handle_);
        handle_ = 0;
    }
    statedSeconds_ = 0;
    readBuffer_ = {};
    id3v1_ = {};
    kind_ = kPlainStream;
    downmix_ = StereoDownmix();
    path_.clear();
}

int BassSource::Open(const std::string& path, uint32_t renderRate) {
    if (handle_) Close();
    ResetFormat();
    kind_ = kPlainStream;
    refusal_.clear();
    statedSeconds_ = 0;

    std::string ext = LowerExtension(path);
    if (ext == ".mp3") kind_ = kMp3Stream;
    else if (ext == ".midi" || ext == ".mid" || ext == ".rmi" || ext == ".kar") kind_ = kMidi;

    if (kind_ == kMidi) {
        handle_ = BASS_MIDI_StreamCreateFile(0, path.c_str(), 0, 0, BASS_STREAM_DECODE, renderRate);
    } else {
        handle_ = BASS_StreamCreateFile(0, path.c_str(), 0, 0, BASS_STREAM_DECODE);
        if (!handle_) {
            handle_ = BASS_MusicLoad(0, path.c_str(), 0, 0, kMusicFlags, renderRate);
            if (handle_) kind_ = kModule;
        }
    }
    if (!handle_) {
        if (BASS_ErrorGetCode() == BASS_ERROR_TOOLONG)
            refusal_ = "its playing time is longer than " + std::to_string(BASS_MAX_RENDER_HOURS) + " hours";
        kind_ = kPlainStream;
        return 0;
    }

    QWORD len = BASS_ChannelGetLength(handle_, BASS_POS_BYTE);
    if (len == 0 || len == kNotAvailable) {
        Close();
        ResetFormat();
        return 0;
    }
    length = len;
    duration = static_cast<int32_t>(BASS_ChannelBytes2Seconds(handle_, length));

    BASS_CHANNELINFO info{};
    BASS_ChannelGetInfo(handle_, &info);
    sampleRate = info.freq;
    storedChannels = info.chans;
    channels = info.chans < 2 ? 1 : 2;
    bitsPerSample = (info.flags & BASS_SAMPLE_8BITS) ? 8 : 16;
    bytesPerSample = bitsPerSample / 8;
    if (!UsableSampleRate(sampleRate) || storedChannels == 0) {
        Close();
        ResetFormat();
        return 0;
    }

    if (kind_ == kMp3Stream) ProbeMpegChannelMode(path);

    double seconds = BASS_ChannelBytes2Seconds(handle_, length);
    QWORD fileSize = BASS_StreamGetFilePosition(handle_, BASS_FILEPOS_END);
    if (seconds > 0 && fileSize != kNotAvailable)
        bitRate = static_cast<uint32_t>(static_cast<double>(fileSize) / (seconds * 125.0) + 0.5);
    else
        bitRate = bitsPerSample * sampleRate * storedChannels / 1000;

    if (BASS_ChannelLengthStated(handle_)) statedSeconds_ = seconds;
    readBuffer_.assign(static_cast<size_t>(bytesPerSample) * channels * kBlockFrames, 0);
    // More than two channels are mixed down by the speakers the layer states for them.
    if (storedChannels > 2) downmix_ = StereoDownmix(LayoutFromMask(storedChannels, BASS_ChannelGetChannelMask(handle_)));
    path_ = path;
    return 1;
}

std::string BassSource::DecodeFailure() {
    const char* failure = handle_ ? BASS_ChannelGetFailure(handle_) : nullptr;
    return failure ? failure : std::string();
}

// Channel mode from the header of the first audio frame; any failure leaves it at "none".
void BassSource::ProbeMpegChannelMode(const std::string& path) {
    QWORD start = BASS_StreamGetFilePosition(handle_, BASS_FILEPOS_START);
    if (start == kNotAvailable) return;
    std::ifstream file(path, std::ios::binary);
    if (!file) return;
    file.seekg(static_cast<std::streamoff>(start));
    uint8_t header[4];
    if (!file.read(reinterpret_cast<char*>(header), 4)) return;
    if (bass::IsValidMpegHeader(header)) channelMode = header[3] >> 6;
}

uint32_t BassSource::Read(void* left, void* right) {
    if (!handle_ || !left || readBuffer_.empty()) return 0;
    DWORD request = static_cast<DWORD>(readBuffer_.size());
    if (storedChannels < 2) {
        // Mono decodes straight into the left plane, which holds kBlockFrames samples.
        DWORD n = BASS_ChannelGetData(handle_, left, std::min<DWORD>(request, bytesPerSample * kBlockFrames));
        if (n == static_cast<DWORD>(-1)) return 0;
        return n / bytesPerSample;
    }
    if (!right) return 0;
    DWORD n = BASS_ChannelGetData(handle_, readBuffer_.data(), request);
    if (n == static_cast<DWORD>(-1)) return 0;
    n = std::min<DWORD>(n, request);
    const bool mix = storedChannels > 2 && downmix_.Channels() == storedChannels;
    if (bitsPerSample == 16) {
        uint32_t frames = (n / 2) / storedChannels;
        const auto* in = reinterpret_cast<const int16_t*>(readBuffer_.data());
        auto* l = static_cast<int16_t*>(left);
        auto* r = static_cast<int16_t*>(right);
        if (mix) {
            downmix_.Mix(in, frames, l, r);
            return frames;
        }
        for (uint32_t i = 0; i < frames; ++i) {
            l[i] = in[i * storedChannels];
            r[i] = in[i * storedChannels + 1];
        }
        return frames;
    }
    uint32_t frames = n / storedChannels;
    const uint8_t* in = readBuffer_.data();
    auto* l = static_cast<uint8_t*>(left);
    auto* r = static_cast<uint8_t*>(right);
    if (mix) {
        downmix_.Mix(in, frames, l, r);
        return frames;
    }
    for (uint32_t i = 0; i < frames; ++i) {
        l[i] = in[i * storedChannels];
        r[i] = in[i * storedChannels + 1];
    }
    return frames;
}

uint64_t BassSource::GetPosition() {
    if (!handle_) return position;
    QWORD pos = BASS_ChannelGetPosition(handle_, BASS_POS_BYTE);
    return pos == kNotAvailable ? position : pos;
}

// The raw ID3 blocks are handed out only for MP3 files; the ID3v1 block is copied on the first
// request and kept until Close.
const uint8_t* BassSource::GetID3v1Block() {
    if (!handle_ || kind_ != kMp3Stream) return nullptr;
    if (id3v1_.empty()) {
        const char* tag = BASS_ChannelGetTags(handle_, BASS_TAG_ID3);
        if (!tag) return nullptr;
        id3v1_.assign(tag, tag + 128);
    }
    return id3v1_.data();
}

// The ID3v2 block is handed out where the decoding layer keeps it, for as long as the stream is
// open: a tag can be hundreds of megabytes, and each copy would cost as much again.
const uint8_t* BassSource::GetID3v2Block(uint32_t* size) {
    if (size) *size = 0;
    if (!handle_ || kind_ != kMp3Stream) return nullptr;
    const char* tag = BASS_ChannelGetTags(handle_, BASS_TAG_ID3V2);
    if (!tag) return nullptr;
    // The layer hands out only a tag lying wholly in the file, so its header's size holds.
    const uint32_t total = bass::Id3v2TagSize(reinterpret_cast<const uint8_t*>(tag));
    if (total == 0) return nullptr;
    if (size) *size = total;
    return reinterpret_cast<const uint8_t*>(tag);
}

int BassSource::ReadTags(TagRecord& tags) {
    if (!handle_) return 0;
    TagRecord full;
    if (!ReadFileTags(path_, full)) return 0;
    std::string text = JoinTagsText(full);
    // ID3 texts of MP3 files are taken as they are; the other formats carry UTF-8.
    if (kind_ != kMp3Stream) {
        std::optional<std::string> local = Utf8ToLocal(text);
        if (!local || local->empty()) return 0;
        text = std::move(*local);
        full.albumArtist = Utf8ToLocal(full.albumArtist).value_or("");
        full.disc = Utf8ToLocal(full.disc).value_or("");
    }
    SplitTagsText(text, tags);
    tags.albumArtist = full.albumArtist;
    tags.disc = full.disc;
    return 1;
}

}  // namespace sonavert
