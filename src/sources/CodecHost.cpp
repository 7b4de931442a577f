#include "sources/CodecHost.h"

#include <chrono>
#include <ctime>

#include "base/Random.h"
#include "sources/bass/bass.h"

namespace sonavert {

const char* const CodecHost::kAddonNames[11] = {
    "basscd.so",  "bassflac.so", "basswma.so", "basswv.so",  "bass_aac.so", "bass_adx.so",
    "bass_alac.so", "bass_ape.so", "bass_mpc.so", "bass_spx.so", "bass_tta.so",
};

CodecHost::StartResult CodecHost::Start(const std::string& executableFolder) {
    folder_ = executableFolder;
    if ((BASS_GetVersion() >> 16) != BASSVERSION) return StartResult::WrongVersion;
    // Nothing is ever played, so no update thread is wanted.
    BASS_SetConfig(BASS_CONFIG_UPDATEPERIOD, 0);
    if (!BASS_Init(0, 44100, 0, nullptr, nullptr)) return StartResult::InitFailed;
    started_ = true;

    if (!executableFolder.empty()) {
        const std::string addonFolder = executableFolder + "addons/";
        for (const char* name : kAddonNames) {
            // A missing add-on only narrows what the library decodes; the factory falls back.
            if (BASS_PluginLoad((addonFolder + name).c_str(), 0)) ++addonsLoaded_;
        }
    }
    // The FFmpeg libraries in use register their formats themselves; nothing to call here.

    // Seed from the wall clock and the time since boot, as the names of temporary files use it.
    const auto sinceBoot = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    SeedRandom(static_cast<uint64_t>(std::time(nullptr)) * static_cast<uint64_t>(sinceBoot.count()));
    return StartResult::Ok;
}

bool CodecHost::LoadDefaultSoundFont() {
    if (soundFontLoaded_ || !started_) return soundFontLoaded_;
    const std::string path = folder_ + kSoundFontName;
    HSOUNDFONT font = BASS_MIDI_FontInit(path.c_str(), 0);
    if (font) {
        BASS_MIDI_FONT entry{font, -1, 0};
        soundFontLoaded_ = BASS_MIDI_StreamSetFonts(0, &entry, 1) != 0;
    }
    return soundFontLoaded_;
}

CodecHost::~CodecHost() {
    if (!started_) return;
    BASS_Free();
    BASS_PluginFree(0);
}

}  // namespace sonavert
