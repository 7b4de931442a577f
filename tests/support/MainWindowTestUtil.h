#pragma once
// Helpers for the main-window tests: the one codec host of the GUI test process, real audio
// files made with the command-line tools, and pumping events until a condition holds.
#include <functional>
#include <string>

namespace sonavert {
class CodecHost;
}

namespace testutil {

// The decoding services, started once for the whole test process from the build's bin folder.
sonavert::CodecHost& SharedCodecHost();

// A stereo 44.1 kHz 16-bit WAV file of `seconds` seconds of a sine tone (sox).
bool MakeWav(const std::string& path, double seconds = 1.0, int channels = 2);
// An MP3 file at 128 kbps, joint stereo (lame, from a WAV made beside it).
bool MakeMp3(const std::string& path, double seconds = 1.0);
// A FLAC file (ffmpeg).
bool MakeFlac(const std::string& path, double seconds = 1.0, int channels = 2);

// Processes events until `done` holds or `maxRounds` rounds passed; returns `done()`.
bool PumpUntil(const std::function<bool()>& done, int maxRounds = 2000);

}  // namespace testutil
