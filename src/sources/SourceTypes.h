#pragma once
// Source type codes: which decoder a file is tried with first, assigned from its extension.

namespace sonavert {

enum SourceType : int {
    kSourceMp3 = 1000,
    kSourceWav = 2000,
    kSourceModule = 3000,
    kSourceMidi = 3050,
    kSourceCdAudio = 3100,
    kSourceFlac = 3200,
    kSourceWavPack = 3300,
    kSourceAdx = 3500,
    kSourceApe = 3600,
    kSourceMusepack = 3700,
    kSourceSpeex = 3800,
    kSourceTta = 3900,
    kSourceOgg = 4000,
    kSourceAu = 5000,
    kSourceAiff = 5100,
    kSourceAac = 6000,
    kSourceM4a = 6500,
    kSourceMp4 = 6600,
    kSourceWindowsMedia = 7000,
    kSourceOther = 9000,
};

}  // namespace sonavert
