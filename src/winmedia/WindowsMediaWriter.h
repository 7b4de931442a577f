#pragma once
// Encodes PCM into a Windows Media file with one audio stream (WMA v2 in ASF), converting the
// input format to the stream format on the way.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "winmedia/WmaFormats.h"

namespace sonavert {

// The texts stored as attributes; an absent text is not written.
struct WmaTagTexts {
    std::optional<std::string> title, album, artist, genre, year, comment, composer, copyright;
};

// Sets the file size the File Properties object of a finished file states to the file's size,
// after a tag editor changed the header's length (it leaves that field as it was). False when the
// file cannot be read or written or has no such object in its header.
bool UpdateAsfFileSize(const std::string& path);

class WindowsMediaWriter {
public:
    WindowsMediaWriter();
    ~WindowsMediaWriter();
    WindowsMediaWriter(const WindowsMediaWriter&) = delete;
    WindowsMediaWriter& operator=(const WindowsMediaWriter&) = delete;

    void SetOutputFile(const std::string& path);
    // The PCM the samples arrive in: 8 (unsigned) or 16 (signed) bits, one or two channels.
    void SetInputFormat(uint32_t sampleRate, uint32_t bitsPerSample, uint32_t channels);
    // The chosen stream format (not owned; it must outlive Begin) and its bit rate.
    void SetStreamFormat(const WmaFormat* format, uint32_t bitRate);
    void SetTags(const WmaTagTexts& texts, uint32_t trackNumber);

    // Opens the target and starts writing; true on success. On failure nothing is left behind (a
    // target it created is removed) and the writer is back in its initial state.
    bool Begin();
    bool WriteSamples16(const int16_t* left, const int16_t* right, uint32_t frames);
    bool WriteSamples8(const uint8_t* left, const uint8_t* right, uint32_t frames);
    // Flushes and completes the file, then releases everything; false when the file could not be
    // completed (the caller removes it). Safe to call when not writing.
    bool End();

    bool IsWriting() const;
    // Presentation time of the next sample, in 100-nanosecond units.
    uint64_t TimeStamp() const { return timeStamp_; }
    const std::string& FailureReason() const { return reason_; }

private:
    struct Session;
    bool WriteInterleaved(const uint8_t* data, uint32_t frames);
    void Reset();

    std::string path_;
    uint32_t inRate_ = 0, inBits_ = 0, inChannels_ = 0;
    const WmaFormat* format_ = nullptr;
    uint32_t bitRate_ = 0;
    WmaTagTexts tags_;
    uint32_t track_ = 0;
    uint64_t timeStamp_ = 0;
    uint64_t framesIn_ = 0;  // input frames written, for the stated duration
    std::unique_ptr<Session> session_;
    std::string reason_;
};

}  // namespace sonavert
