#pragma once
// The synchronous reader of the Windows Media layer: opens a WMA/WMV/ASF file, lists its streams,
// reads attributes by name and hands out the decoded PCM of one selected stream, sample by sample,
// with presentation times in 100-nanosecond units.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sonavert {

enum class WmStreamType { Audio, Video, Other };

struct WmStreamInfo {
    uint16_t number = 0;  // 1-based
    WmStreamType type = WmStreamType::Other;
};

struct WmAttribute {
    enum Type { kString, kDword, kQword, kOther };
    Type type = kOther;
    std::string text;     // kString, UTF-8
    uint64_t number = 0;  // kDword, kQword
};

struct WmOutputInfo {
    bool audio = false;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    // Speakers of the interleaved channels as a WAVE channel mask; 0 = not stated (the usual order
    // for the channel count).
    uint32_t channelMask = 0;
};

class WmSyncReader {
public:
    enum AttributeResult { kFound, kNotFound, kFailed };

    virtual ~WmSyncReader() = default;
    virtual bool Open(const std::string& path) = 0;
    virtual void Close() = 0;
    virtual std::vector<WmStreamInfo> Streams() = 0;
    // Selects only `number` and asks for it decoded (16-bit interleaved PCM).
    virtual bool SelectStream(uint16_t number) = 0;
    virtual AttributeResult GetAttributeByName(const std::string& name, WmAttribute& value) = 0;
    virtual std::vector<WmOutputInfo> Outputs() = 0;
    // The next sample of `stream`: its data stays valid until the next call. False at the end or
    // on failure.
    virtual bool GetNextSample(uint16_t stream, const uint8_t** data, uint32_t* length, uint64_t* time) = 0;
};

// The FFmpeg-backed reader.
std::unique_ptr<WmSyncReader> CreateWmSyncReader();

}  // namespace sonavert
