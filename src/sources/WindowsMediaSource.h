#pragma once
// The audio source of WMA/WMV/ASF files: decodes the first audio stream through the Windows Media
// layer's synchronous reader and reads the file's descriptive attributes as tags. More than two
// channels are delivered as their stereo downmix (base/Downmix.h) by the output's channel mask.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Downmix.h"
#include "sources/AudioSource.h"
#include "winmedia/WmSyncReader.h"

namespace sonavert {

class WindowsMediaSource : public AudioSource {
public:
    static constexpr uint32_t kInitialBufferBytes = 102400;

    using ReaderFactory = std::function<std::unique_ptr<WmSyncReader>()>;

    WindowsMediaSource();
    // Reads through readers made by `factory` (tests hand in their own).
    explicit WindowsMediaSource(ReaderFactory factory);
    ~WindowsMediaSource() override;

    void Close() override;
    int Open(const std::string& path, uint32_t renderRate) override;
    uint32_t Read(void* left, void* right) override;
    int ReadTags(TagRecord& tags) override;

    int32_t TrackNumber() const { return track_; }
    size_t BufferCapacity() const { return buffer_.size(); }

private:
    int OpenFile(const std::string& path);
    uint32_t Deliver(int16_t* left, int16_t* right, uint32_t delivered);

    ReaderFactory factory_;
    std::unique_ptr<WmSyncReader> reader_;
    bool fileOpen_ = false;
    uint16_t audioStream_ = 0;
    uint32_t audioOutput_ = 0;
    std::vector<uint8_t> buffer_;
    size_t cursor_ = 0;       // next undelivered 16-bit value
    uint32_t framesLeft_ = 0;
    StereoDownmix downmix_;  // frames of more than two channels
    std::string title_, artist_, comment_, album_, genre_, year_, copyright_, composer_;
    std::string albumArtist_, disc_;
    int32_t track_ = 0;
};

}  // namespace sonavert
