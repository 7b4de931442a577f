#pragma once
// The channel objects behind the decoding layer's handles.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sources/bass/bass.h"

namespace sonavert::bass {

inline constexpr QWORD kNoFilePosition = static_cast<QWORD>(-1);
// Rendered modules and MIDI files that claim to play longer are refused at open: a few bytes
// can claim years, and rendering them would fill the disk.
inline constexpr double kMaxRenderSeconds = BASS_MAX_RENDER_HOURS * 3600.0;
inline constexpr const char* kSilentRenderReason = "the MIDI file's notes rendered no sound";

// One decode-only channel: a producer of interleaved integer PCM with a byte length and position.
//
// Derived classes implement Produce. With `capAtLength` the channel delivers exactly `length`
// bytes: it stops there and pads with silence if the producer ends earlier (rendered modules and
// MIDI, whose length is exact). Without it every produced byte is delivered, past an estimated
// length too, and the length is corrected to the delivered total once the producer ends.
class Channel {
public:
    virtual ~Channel() = default;

    DWORD GetData(void* buffer, DWORD bytes);
    QWORD Length() const { return length_; }
    QWORD Position() const { return position_; }
    void Info(BASS_CHANNELINFO& info) const;
    double BytesToSeconds(QWORD bytes) const;

    bool IsMusic() const { return isMusic_; }
    bool LengthStated() const { return lengthStated_; }
    bool IsMidi() const { return ctype_ == BASS_CTYPE_STREAM_MIDI; }
    HPLUGIN Plugin() const { return plugin_; }
    // WAVE channel mask of the delivered channels, 0 when unknown.
    DWORD ChannelMask() const { return channelMask_; }
    void SetPlugin(HPLUGIN plugin) { plugin_ = plugin; }

    virtual QWORD FilePosition(DWORD /*mode*/) const { return kNoFilePosition; }
    // The wide delivery (bass.h): what the file stores, and the switch before the first read.
    virtual bool StoredSamples(DWORD& /*bits*/, bool& /*isFloat*/) const { return false; }
    bool SetWide();
    bool IsWide() const { return wide_; }
    virtual const char* Tags(DWORD /*type*/) { return nullptr; }
    // Why the decoded stream is not the file's sound though it ran to its end; null when it is.
    virtual const char* Failure() const { return nullptr; }

protected:
    // Writes up to `bytes` bytes (a whole number of frames) at dst; returns the count, 0 at the end.
    // After SwitchToWide the frames are interleaved doubles.
    virtual size_t Produce(uint8_t* dst, size_t bytes) = 0;
    // Makes Produce deliver interleaved doubles; false when the channel cannot.
    virtual bool SwitchToWide() { return false; }

    void SetFormat(DWORD freq, DWORD chans, DWORD bits, DWORD ctype);
    uint32_t FrameBytes() const { return chans_ * (bits_ / 8); }

    QWORD length_ = 0;
    bool capAtLength_ = false;
    // The length comes from a sample count the file states, not from an estimate.
    bool lengthStated_ = false;
    bool isMusic_ = false;
    DWORD channelMask_ = 0;
    std::string path_;

private:
    // Bytes of one delivered frame: FrameBytes(), or doubles of every channel once wide.
    uint32_t DeliveredFrameBytes() const { return wide_ ? chans_ * 8 : FrameBytes(); }

    QWORD position_ = 0;
    bool ended_ = false;
    bool wide_ = false;
    DWORD freq_ = 0, chans_ = 0, bits_ = 16, ctype_ = BASS_CTYPE_STREAM;
    HPLUGIN plugin_ = 0;
};

// Factories; each returns null and sets `error` (a BASS_ERROR_* code) on failure.
// `accept` tells whether the layer currently decodes an FFmpeg codec (by AVCodecID) found in the
// container named `format` (the demuxer's name).
// MPEG audio in its own file (what FFmpeg's "mp3" demuxer recognises) goes to OpenMpg123Stream
// unless `mpegThroughFfmpeg`; when libmpg123 cannot open it, FFmpeg decodes it after all.
using CodecFilter = bool (*)(int codecId, const char* format);
std::unique_ptr<Channel> OpenFfmpegStream(const std::string& path, CodecFilter accept, int& error,
                                          bool mpegThroughFfmpeg = false);
// MPEG audio layers 1-3 through libmpg123.
std::unique_ptr<Channel> OpenMpg123Stream(const std::string& path, int& error);
std::unique_ptr<Channel> OpenModule(const std::string& path, DWORD flags, DWORD freq, int& error);
std::unique_ptr<Channel> OpenMidi(const std::string& path, DWORD freq, const std::string& soundFont, int& error);

}  // namespace sonavert::bass
