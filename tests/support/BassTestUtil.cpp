#include "support/BassTestUtil.h"

#include "sources/bass/bass.h"
#include "support/TestUtil.h"

namespace testutil {

BassSession::BassSession(bool addons, bool soundFont) {
    BASS_SetConfig(BASS_CONFIG_UPDATEPERIOD, 0);
    ok_ = BASS_Init(0, 44100, 0, nullptr, nullptr) != 0;
    if (addons) {
        for (const char* name : {"basscd", "bassflac", "basswma", "basswv", "bass_aac", "bass_adx", "bass_alac",
                                 "bass_ape", "bass_mpc", "bass_spx", "bass_tta"})
            BASS_PluginLoad((BinDir() + "/addons/" + name + ".so").c_str(), 0);
    }
    if (soundFont) {
        HSOUNDFONT font = BASS_MIDI_FontInit((BinDir() + "/ct4mgm.sf2").c_str(), 0);
        BASS_MIDI_FONT entry{font, -1, 0};
        if (font) BASS_MIDI_StreamSetFonts(0, &entry, 1);
    }
}

BassSession::~BassSession() {
    BASS_Free();
    BASS_PluginFree(0);
}

std::vector<uint8_t> DecodeChannel(uint32_t handle, uint32_t block) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(block);
    for (;;) {
        DWORD n = BASS_ChannelGetData(handle, buf.data(), block);
        if (n == static_cast<DWORD>(-1) || n > block) break;
        out.insert(out.end(), buf.begin(), buf.begin() + n);
        if (n == 0) break;
    }
    return out;
}

std::vector<int16_t> StereoTones(double leftHz, double rightHz, int rate, double seconds) {
    auto l = Sine(leftHz, rate, 1, seconds);
    auto r = Sine(rightHz, rate, 1, seconds);
    std::vector<int16_t> out(l.size() * 2);
    for (size_t i = 0; i < l.size(); ++i) {
        out[2 * i] = l[i];
        out[2 * i + 1] = r[i];
    }
    return out;
}

}  // namespace testutil
