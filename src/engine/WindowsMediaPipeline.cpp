#include <algorithm>
#include <optional>

#include "engine/Pipeline.h"
#include "tags/CoverArt.h"
#include "winmedia/WindowsMediaRuntime.h"
#include "winmedia/WindowsMediaWriter.h"
#include "winmedia/WmaFormats.h"

namespace sonavert {
namespace {

struct WmaRequest {
    uint32_t rate, bitRate, channels;
};

// Automatic parameters: rate and bit rate by the source's rate, the source's channels.
WmaRequest AutomaticRequest(uint32_t sourceRate, uint32_t sourceChannels) {
    if (sourceChannels == 1) {
        if (sourceRate <= 12000) return {22050, 20000, 1};
        if (sourceRate <= 16000) return {44100, 32000, 1};
        return {44100, 48000, 1};
    }
    if (sourceRate <= 12000) return {22050, 32000, sourceChannels};
    if (sourceRate <= 16000) return {44100, 48000, sourceChannels};
    if (sourceRate <= 24000) return {44100, 64000, sourceChannels};
    if (sourceRate <= 32000) return {44100, 96000, sourceChannels};
    if (sourceRate <= 44100) return {44100, 128000, sourceChannels};
    return {48000, 192000, sourceChannels};
}

std::optional<std::string> Text(const std::string& s) {
    if (s.empty()) return std::nullopt;
    return s;
}

// The writer takes the source's rate and bits (one channel under a mono pick) and converts to the
// chosen stream format itself, so the pipeline never converts. It ends before the source closes.
class WindowsMediaAdapter : public EncoderAdapter {
public:
    explicit WindowsMediaAdapter(const WmaFormatList& formats) : formats_(formats) {}

    TargetFormat ChooseFormat(const PipelineCall& call) override {
        const Settings& s = call.settings;
        const uint32_t sourceChannels = call.facts.channels;
        if (s.AutoDestWMAEncodingParam) {
            request_ = AutomaticRequest(call.facts.rate, sourceChannels);
        } else {
            request_ = {static_cast<uint32_t>(std::max(s.WMASampleRate, 0)),
                        static_cast<uint32_t>(std::max(s.WMABitRate, 0)),
                        static_cast<uint32_t>(std::max(s.WMAChannels, 0))};
        }
        TargetFormat f{call.facts.rate, call.facts.bits == 8 ? 8u : 16u, sourceChannels, {}};
        if (sourceChannels > request_.channels && s.MonoType > 0) {
            f.plan.pick = s.MonoType == 2 ? 2 : 1;
            f.channels = 1;
        }
        return f;
    }

    bool Start(const PipelineCall& call, const TargetFormat& format, const TagChoice& tags) override {
        if (!ChooseWmaFormat(formats_, request_.rate, request_.bitRate, request_.channels, chosen_)) {
            reason_ = "no Windows Media format for " + std::to_string(request_.rate) + " Hz, " +
                      std::to_string(request_.channels) + " channel(s)";
            return false;
        }
        bits_ = format.bits;
        writer_.SetOutputFile(call.request.targetPath);
        writer_.SetInputFormat(format.rate, format.bits, format.channels);
        writer_.SetStreamFormat(&chosen_, chosen_.bitRate);
        if (tags.kind == TagChoice::kTexts) {
            const TagRecord& t = tags.texts;
            WmaTagTexts texts{Text(t.title), Text(t.album), Text(t.artist),  Text(t.genre),
                              Text(t.year),  Text(t.comment), Text(t.composer), Text(t.copyright)};
            writer_.SetTags(texts, static_cast<uint32_t>(std::max(tags.trackNumber, 0)));
        }
        if (!writer_.Begin()) {
            reason_ = writer_.FailureReason();
            return false;
        }
        began_ = true;
        return true;
    }

    bool EncodeBlock(void* left, void* right, uint32_t n) override {
        if (bits_ == 8)
            return writer_.WriteSamples8(static_cast<const uint8_t*>(left), static_cast<const uint8_t*>(right), n);
        return writer_.WriteSamples16(static_cast<const int16_t*>(left), static_cast<const int16_t*>(right), n);
    }
    bool End() override { return writer_.End(); }
    bool WritesPicture(const PipelineCall&) const override { return true; }
    // The ASF muxer cannot write WM/Picture: it is added to the finished file, whose stated file
    // size then follows the longer header.
    bool FinishTarget(const std::string& targetPath, const TagChoice& tags) override {
        if (!tags.picture) return true;
        if (!AttachPictureToAsf(targetPath, *tags.picture, reason_)) return false;
        if (UpdateAsfFileSize(targetPath)) return true;
        reason_ = "cannot complete the Windows Media file";
        return false;
    }
    void StoredFormat(uint32_t& rate, uint32_t& channels) const override {
        rate = chosen_.sampleRate;
        channels = chosen_.channels;
    }
    bool EndsBeforeSourceCloses() const override { return true; }
    bool CreatedTarget() const override { return began_; }
    std::string FailureReason() const override {
        return writer_.FailureReason().empty() ? reason_ : writer_.FailureReason();
    }

private:
    const WmaFormatList& formats_;
    WmaRequest request_{};
    WmaFormat chosen_;
    WindowsMediaWriter writer_;
    uint32_t bits_ = 16;
    bool began_ = false;
    std::string reason_;
};

}  // namespace

int ConvertToWindowsMedia(const ConversionRequest& request, ConversionContext& context) {
    if (!LoadWindowsMediaRuntime()) {
        context.failureReason = "Windows Media runtime not available";
        return 0;
    }
    WindowsMediaAdapter adapter(context.wmaFormats ? *context.wmaFormats : SharedWmaFormatList());
    return RunPipeline(request, context, Family::WindowsMedia, adapter);
}

}  // namespace sonavert
