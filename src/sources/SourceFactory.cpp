#include "sources/SourceFactory.h"

#include <sys/stat.h>

#include "base/ProductInfo.h"
#include "sources/AiffReader.h"
#include "sources/AuReader.h"
#include "sources/BassSource.h"
#include "sources/FfmpegSource.h"
#include "sources/OggVorbisSource.h"
#include "sources/WavReader.h"
#include "winmedia/WindowsMediaRuntime.h"
#include "sources/WindowsMediaSource.h"

namespace sonavert {

const char* DecoderName(Decoder d) {
    switch (d) {
        case Decoder::Bass: return "bass";
        case Decoder::Ffmpeg: return "ffmpeg";
        case Decoder::Wav: return "wav";
        case Decoder::Ogg: return "ogg";
        case Decoder::Aiff: return "aiff";
        case Decoder::Au: return "au";
        case Decoder::WindowsMedia: return "wm";
    }
    return "";
}

namespace {

// Every decoder, in the order of the enum.
constexpr Decoder kDecoders[] = {Decoder::Bass, Decoder::Ffmpeg, Decoder::Wav, Decoder::Ogg,
                                 Decoder::Aiff, Decoder::Au,     Decoder::WindowsMedia};

}  // namespace

bool IsKnownDecoderName(const std::string& name) {
    for (Decoder d : kDecoders) {
        if (name == DecoderName(d)) return true;
    }
    return false;
}

std::vector<std::string> DecoderNames() {
    std::vector<std::string> names;
    for (Decoder d : kDecoders) names.push_back(DecoderName(d));
    return names;
}

std::vector<Decoder> SourceCandidates(int sourceType) {
    using D = Decoder;
    switch (sourceType) {
        case kSourceMp3:
        case kSourceModule:
        case kSourceMidi:
        case kSourceCdAudio:
        case kSourceFlac:
        case kSourceWavPack:
        case kSourceAdx:
        case kSourceApe:
        case kSourceMusepack:
        case kSourceTta:
        case kSourceAac:
        case kSourceM4a:
        case kSourceMp4:
            return {D::Bass, D::Ffmpeg};
        case kSourceWav:
            return {D::Bass, D::Ffmpeg, D::Wav};
        case kSourceSpeex:
            return {D::Ffmpeg, D::Bass};
        case kSourceOgg:
            return {D::Ogg, D::Bass, D::Ffmpeg};
        case kSourceAu:
            return {D::Au, D::Ffmpeg};
        case kSourceAiff:
            return {D::Aiff, D::Bass, D::Ffmpeg};
        case kSourceWindowsMedia:
            // Without a Windows Media decoder these files go the MP3 way.
            return {D::WindowsMedia, D::Bass, D::Ffmpeg};
        default:
            return {D::Ffmpeg};
    }
}

std::string NoDecoderReason() {
    return std::string("To get help, please forward the failure file to <") + kSupportAddress + ">.";
}

namespace {

// A fresh, closed decoder object, or null for a decoder this build does not have yet.
std::unique_ptr<AudioSource> MakeDecoder(Decoder d, int purpose) {
    switch (d) {
        case Decoder::Bass: return std::make_unique<BassSource>();
        case Decoder::Ffmpeg:
            if (purpose == kPurposeConvert) return std::make_unique<FfmpegSource>();
            return std::make_unique<FfmpegProbeSource>();
        case Decoder::Wav: return std::make_unique<WavReader>();
        case Decoder::Ogg: return std::make_unique<OggVorbisSource>();
        case Decoder::Aiff: return std::make_unique<AiffReader>();
        case Decoder::Au: return std::make_unique<AuReader>();
        case Decoder::WindowsMedia: return std::make_unique<WindowsMediaSource>();
    }
    return nullptr;
}

// Whether a conversion can use what the opened source reports: a usable rate and one or two
// delivered channels. Every reader refuses such files itself; this keeps a decoder that reports
// them anyway from handing a conversion an impossible format instead of passing to the next one.
bool Deliverable(AudioSource& source, int purpose) {
    if (purpose != kPurposeConvert || !source.HasAudioStream()) return true;
    const uint32_t channels = source.GetChannels();
    return UsableSampleRate(source.GetSampleRate()) && channels >= 1 && channels <= 2;
}

}  // namespace

std::unique_ptr<AudioSource> CreateSource(const std::string& path, int sourceType, uint32_t renderRate,
                                          int purpose, SourceFactoryContext* context) {
    // Only regular files are opened: a FIFO, a device or a socket would block a decoder's open()
    // or read forever. stat() itself never waits on them.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (purpose == kPurposeConvert && context) context->failureReason = kNotRegularFileReason;
        return nullptr;
    }
    for (Decoder d : SourceCandidates(sourceType)) {
        if (context && !context->onlyDecoder.empty() && context->onlyDecoder != DecoderName(d)) continue;
        if (d == Decoder::WindowsMedia) {
            const bool available = context && context->windowsMediaAvailable ? context->windowsMediaAvailable()
                                                                              : LoadWindowsMediaRuntime();
            if (!available) continue;
        }
        std::unique_ptr<AudioSource> source = MakeDecoder(d, purpose);
        if (!source) continue;
        if (source->Open(path, renderRate) && Deliverable(*source, purpose)) return source;
        // A decoder that knows the file and refuses it says why; another would only fare worse
        // (a module refused for its length would render as long through FFmpeg).
        if (std::string refusal = source->RefusalReason(); !refusal.empty()) {
            if (context) context->failureReason = refusal;
            return nullptr;
        }
        // A candidate that refused the file is dropped at once (its destructor closes it).
    }
    if (purpose == kPurposeConvert && context) context->failureReason = NoDecoderReason();
    return nullptr;
}

}  // namespace sonavert
