// MIDI files rendered through FluidSynth with the default SoundFont. The length comes from the
// file's own tempo map, and rendering stops exactly there.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <fluidsynth.h>

#include "sources/bass/Channel.h"
#include "sources/bass/SmfParser.h"

namespace sonavert::bass {
namespace {

constexpr uintmax_t kMaxMidiBytes = 64u * 1024 * 1024;
constexpr DWORD kDefaultRate = 44100;
constexpr double kSynthGain = 0.5;
constexpr int kDitherLevel = 4;

struct SettingsCloser {
    void operator()(fluid_settings_t* s) const { delete_fluid_settings(s); }
};
struct SynthCloser {
    void operator()(fluid_synth_t* s) const { delete_fluid_synth(s); }
};
struct PlayerCloser {
    void operator()(fluid_player_t* p) const { delete_fluid_player(p); }
};

// FluidSynth logs to the console by default; the layer reports failures through its results only.
// FluidSynth also fills its process-wide tables (dither noise, default modulators) in the first
// new_fluid_synth, after marking them done: a second thread creating a synth meanwhile would copy
// half-filled modulators. One synth made here, before any other and while other threads wait on
// this static, runs that set-up alone.
void SilenceFluidSynth() {
    static const bool done = [] {
        for (int level = FLUID_PANIC; level <= FLUID_DBG; ++level) fluid_set_log_function(level, nullptr, nullptr);
        std::unique_ptr<fluid_settings_t, SettingsCloser> settings(new_fluid_settings());
        if (settings) {
            fluid_settings_setint(settings.get(), "synth.lock-memory", 0);
            std::unique_ptr<fluid_synth_t, SynthCloser> synth(new_fluid_synth(settings.get()));
        }
        return true;
    }();
    (void)done;
}

class MidiChannel final : public Channel {
public:
    ~MidiChannel() override {
        // The player refers to the synth, the synth to the settings: release in that order.
        player_.reset();
        synth_.reset();
        settings_.reset();
    }
    int Open(const std::string& path, DWORD freq, const std::string& soundFont);
    // The file's size, so that callers can work out the bit rate as for other streams.
    QWORD FilePosition(DWORD mode) const override {
        return mode == BASS_FILEPOS_END ? fileSize_ : kNoFilePosition;
    }
    // A file with notes that rendered to its end without a sample above the dither: the synthesiser
    // played nothing of it, which a converted row must not pass off as the music.
    const char* Failure() const override {
        if (notes_ > 0 && !audible_ && Position() >= Length()) return kSilentRenderReason;
        return nullptr;
    }

protected:
    size_t Produce(uint8_t* dst, size_t bytes) override;

private:
    std::unique_ptr<fluid_settings_t, SettingsCloser> settings_;
    std::unique_ptr<fluid_synth_t, SynthCloser> synth_;
    std::unique_ptr<fluid_player_t, PlayerCloser> player_;
    // No SoundFont: the file keeps its length and renders silence. FluidSynth is not asked then,
    // since without a font its first samples can come out at full scale.
    bool silent_ = false;
    QWORD fileSize_ = kNoFilePosition;
    // The player reads this copy of the file: FluidSynth keeps a pointer to it.
    std::vector<uint8_t> smf_;
    uint64_t notes_ = 0;
    bool audible_ = false;
};

int MidiChannel::Open(const std::string& path, DWORD freq, const std::string& soundFont) {
    path_ = path;
    capAtLength_ = true;
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    if (ec) return BASS_ERROR_FILEOPEN;
    if (size == 0 || size > kMaxMidiBytes) return BASS_ERROR_FILEFORM;
    fileSize_ = static_cast<QWORD>(size);
    std::vector<uint8_t> data(static_cast<size_t>(size));
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size())))
        return BASS_ERROR_FILEOPEN;
    size_t smfSize = data.size();
    const uint8_t* smf = FindSmf(data.data(), smfSize);
    SmfTiming timing = ParseSmfTiming(smf, smfSize);
    if (!timing.valid) return BASS_ERROR_FILEFORM;
    // A few bytes can claim years of playing time (the longest tempo times the longest delta).
    if (timing.seconds > kMaxRenderSeconds) return BASS_ERROR_TOOLONG;
    notes_ = timing.notes;
    // FluidSynth refuses a whole file for a header that counts more tracks than there are, a
    // track whose length passes the end, or more than 128 tracks, and then plays silence. It gets
    // the readable part, written again within its track limit, instead.
    smf_ = RewriteSmf(smf, smfSize, kMaxPlayerTracks);
    if (smf_.empty()) return BASS_ERROR_FILEFORM;
    data = {};

    DWORD rate = freq ? freq : kDefaultRate;
    if (rate < 8000 || rate > 96000) return BASS_ERROR_ILLPARAM;
    SilenceFluidSynth();
    settings_.reset(new_fluid_settings());
    if (!settings_) return BASS_ERROR_MEM;
    fluid_settings_setnum(settings_.get(), "synth.sample-rate", rate);
    // The player follows the rendered samples, not the wall clock.
    fluid_settings_setstr(settings_.get(), "player.timing-source", "sample");
    fluid_settings_setint(settings_.get(), "synth.lock-memory", 0);
    // FluidSynth's default gain (0.2) leaves ordinary General MIDI files near -30 dBFS; this one
    // brings chords on several channels to a normal level without clipping.
    fluid_settings_setnum(settings_.get(), "synth.gain", kSynthGain);
    synth_.reset(new_fluid_synth(settings_.get()));
    if (!synth_) return BASS_ERROR_MEM;
    silent_ = soundFont.empty();
    if (!silent_) fluid_synth_sfload(synth_.get(), soundFont.c_str(), 1);
    player_.reset(new_fluid_player(synth_.get()));
    if (!player_) return BASS_ERROR_MEM;
    if (fluid_player_add_mem(player_.get(), smf_.data(), smf_.size()) != FLUID_OK) return BASS_ERROR_FILEFORM;
    if (fluid_player_play(player_.get()) != FLUID_OK) return BASS_ERROR_FILEFORM;

    SetFormat(rate, 2, 16, BASS_CTYPE_STREAM_MIDI);
    length_ = static_cast<QWORD>(std::llround(timing.seconds * rate)) * FrameBytes();
    return BASS_OK;
}

size_t MidiChannel::Produce(uint8_t* dst, size_t bytes) {
    int frames = static_cast<int>(std::min<size_t>(bytes / 4, 1 << 20));
    if (frames <= 0) return 0;
    auto* out = reinterpret_cast<int16_t*>(dst);
    if (silent_) {
        std::memset(dst, 0, static_cast<size_t>(frames) * 4);
        return static_cast<size_t>(frames) * 4;
    }
    if (fluid_synth_write_s16(synth_.get(), frames, out, 0, 2, out, 1, 2) != FLUID_OK) return 0;
    // FluidSynth dithers its output, so silence comes out as samples of -1, 0 and 1.
    for (int i = 0; !audible_ && i < frames * 2; ++i) audible_ = std::abs(out[i]) > kDitherLevel;
    return static_cast<size_t>(frames) * 4;
}

}  // namespace

std::unique_ptr<Channel> OpenMidi(const std::string& path, DWORD freq, const std::string& soundFont, int& error) {
    auto midi = std::make_unique<MidiChannel>();
    error = midi->Open(path, freq, soundFont);
    if (error != BASS_OK) return nullptr;
    return midi;
}

}  // namespace sonavert::bass
