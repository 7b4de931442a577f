#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sources/AudioSource.h"
#include "sources/SourceTypes.h"

namespace sonavert {

// The decoders the factory can try.
enum class Decoder { Bass, Ffmpeg, Wav, Ogg, Aiff, Au, WindowsMedia };

// Why a file is opened: for converting it (decoded to the end) or for the file list (format only).
enum SourcePurpose : int { kPurposeList = 0, kPurposeConvert = 1 };

// What one caller (a batch, the file list) shares with the factory across calls.
struct SourceFactoryContext {
    // Set when every candidate failed while opening for conversion; the batch shows it.
    std::string failureReason;
    // Diagnostic restriction to one decoder ("bass", "ffmpeg", "wav", "ogg", "aiff", "au", "wm");
    // empty tries every candidate.
    std::string onlyDecoder;
    // Asked before a Windows Media file is given to the Windows Media decoder: true when the
    // Windows Media runtime is available. Whoever drives the factory fills it (loading the runtime,
    // asking the user when it is missing, rebuilding its format list); without it the runtime is
    // loaded silently. When it says no, the file goes to the next decoder.
    std::function<bool()> windowsMediaAvailable;
};

// The decoder name used by SourceFactoryContext::onlyDecoder; empty for an unknown name.
const char* DecoderName(Decoder d);
bool IsKnownDecoderName(const std::string& name);
// The name of every decoder, in the order of the Decoder enum.
std::vector<std::string> DecoderNames();

// The candidates tried for a Source type code, first to last.
std::vector<Decoder> SourceCandidates(int sourceType);

// The failure reason of a path that is not a regular file (a FIFO, a device, a socket, a folder).
inline constexpr const char* kNotRegularFileReason = "not a regular file";

// Text of the failure reason set when no decoder opens a file for conversion.
std::string NoDecoderReason();

// Opens `path` with the first candidate decoder that accepts it; null when none does.
// The caller owns the returned, opened source.
std::unique_ptr<AudioSource> CreateSource(const std::string& path, int sourceType, uint32_t renderRate,
                                          int purpose, SourceFactoryContext* context = nullptr);

}  // namespace sonavert
