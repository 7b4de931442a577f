#include "support/BassTestUtil.h"

#include <cstring>

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

// A four-channel ProTracker module: one square-wave sample played on row 0, and a pattern break
// on row 15, so the song lasts 16 rows of 6 ticks at 125 BPM: 1.92 seconds.
std::vector<uint8_t> TinyModule() {
    std::vector<uint8_t> m(20, 0);
    std::memcpy(m.data(), "tiny", 4);
    for (int s = 0; s < 31; ++s) {
        std::vector<uint8_t> hdr(30, 0);
        if (s == 0) {
            std::memcpy(hdr.data(), "square", 6);
            hdr[22] = 0; hdr[23] = 32;  // length in words: 64 bytes
            hdr[24] = 0;                 // finetune
            hdr[25] = 64;                // volume
            hdr[26] = 0; hdr[27] = 0;    // loop start
            hdr[28] = 0; hdr[29] = 32;   // loop length: the whole sample
        } else {
            hdr[29] = 1;
        }
        m.insert(m.end(), hdr.begin(), hdr.end());
    }
    m.push_back(1);    // song length
    m.push_back(127);  // restart byte
    std::vector<uint8_t> orders(128, 0);
    m.insert(m.end(), orders.begin(), orders.end());
    m.insert(m.end(), {'M', '.', 'K', '.'});
    std::vector<uint8_t> pattern(64 * 4 * 4, 0);
    // Row 0, channel 0: sample 1, period 428 (C-2).
    pattern[0] = 0x01; pattern[1] = 0xAC; pattern[2] = 0x10; pattern[3] = 0x00;
    // Row 15, channel 1: effect D00 (pattern break).
    size_t cell = (15 * 4 + 1) * 4;
    pattern[cell + 2] = 0x0D;
    m.insert(m.end(), pattern.begin(), pattern.end());
    for (int i = 0; i < 64; ++i) m.push_back(i < 32 ? 0x60 : 0xA0);
    return m;
}

// Format 1, 480 ticks per quarter: a tempo map track (120 bpm, then 240 bpm from tick 960) and a
// note held from tick 0 to tick 1920, so the file plays 1.0 + 0.5 seconds.
std::vector<uint8_t> TinyMidi() {
    std::vector<uint8_t> m = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 2, 0x01, 0xE0};
    std::vector<uint8_t> tempo = {0x00, 0xFF, 0x51, 3, 0x07, 0xA1, 0x20,   // 500000 us
                                  0x87, 0x40, 0xFF, 0x51, 3, 0x03, 0xD0, 0x90,  // +960: 250000 us
                                  0x00, 0xFF, 0x2F, 0};
    std::vector<uint8_t> notes = {0x00, 0xC0, 0,  // program 0
                                  0x00, 0x90, 60, 100, 0x00, 64, 100,  // running status
                                  0x8F, 0x00, 0x80, 60, 0, 0x00, 0x80, 64, 0,  // +1920
                                  0x00, 0xFF, 0x2F, 0};
    for (const auto* t : {&tempo, &notes}) {
        m.insert(m.end(), {'M', 'T', 'r', 'k', 0, 0, 0, static_cast<uint8_t>(t->size())});
        m.insert(m.end(), t->begin(), t->end());
    }
    return m;
}

}  // namespace testutil
