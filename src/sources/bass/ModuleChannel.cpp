// Tracker modules rendered through libopenmpt: stereo 16-bit at the requested rate, with an exact
// length taken from the module's own song structure.
#include <cmath>
#include <filesystem>
#include <fstream>

#include <libopenmpt/libopenmpt.h>

#include "sources/bass/Channel.h"

namespace sonavert::bass {
namespace {

// Modules larger than this are refused rather than read into memory.
constexpr uintmax_t kMaxModuleBytes = 256u * 1024 * 1024;
constexpr DWORD kDefaultRate = 44100;

struct ModuleCloser {
    void operator()(openmpt_module* m) const { openmpt_module_destroy(m); }
};

class ModuleChannel final : public Channel {
public:
    int Open(const std::string& path, DWORD flags, DWORD freq);

protected:
    size_t Produce(uint8_t* dst, size_t bytes) override;

private:
    std::unique_ptr<openmpt_module, ModuleCloser> module_;
    int32_t rate_ = kDefaultRate;
};

int ModuleChannel::Open(const std::string& path, DWORD flags, DWORD freq) {
    path_ = path;
    isMusic_ = true;
    capAtLength_ = true;
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    if (ec) return BASS_ERROR_FILEOPEN;
    if (size == 0 || size > kMaxModuleBytes) return BASS_ERROR_FILEFORM;
    std::vector<char> data(static_cast<size_t>(size));
    std::ifstream in(path, std::ios::binary);
    if (!in.read(data.data(), static_cast<std::streamsize>(data.size()))) return BASS_ERROR_FILEOPEN;

    int error = 0;
    module_.reset(openmpt_module_create_from_memory2(data.data(), data.size(), openmpt_log_func_silent,
                                                     nullptr, openmpt_error_func_ignore, nullptr, &error,
                                                     nullptr, nullptr));
    if (!module_) return BASS_ERROR_FILEFORM;
    rate_ = static_cast<int32_t>(freq ? freq : kDefaultRate);
    if (rate_ < 1000 || rate_ > 384000) return BASS_ERROR_ILLPARAM;
    openmpt_module_set_repeat_count(module_.get(), 0);
    // No random dither on the 16-bit output, so a module converts to the same bytes every time.
    openmpt_module_ctl_set_integer(module_.get(), "dither", 0);
    // Volume ramping softens clicks at note starts and ends; libopenmpt's default strength is on.
    openmpt_module_set_render_param(module_.get(), OPENMPT_MODULE_RENDER_VOLUMERAMPING_STRENGTH,
                                    (flags & BASS_MUSIC_RAMP) ? -1 : 0);
    double seconds = openmpt_module_get_duration_seconds(module_.get());
    if (!(seconds > 0) || !std::isfinite(seconds)) seconds = 0;
    if (seconds > kMaxRenderSeconds) return BASS_ERROR_TOOLONG;
    SetFormat(static_cast<DWORD>(rate_), 2, 16, BASS_CTYPE_MUSIC_MOD);
    length_ = static_cast<QWORD>(std::llround(seconds * rate_)) * FrameBytes();
    return BASS_OK;
}

size_t ModuleChannel::Produce(uint8_t* dst, size_t bytes) {
    size_t frames = bytes / 4;
    size_t n = openmpt_module_read_interleaved_stereo(module_.get(), rate_, frames, reinterpret_cast<int16_t*>(dst));
    return n * 4;
}

}  // namespace

std::unique_ptr<Channel> OpenModule(const std::string& path, DWORD flags, DWORD freq, int& error) {
    auto module = std::make_unique<ModuleChannel>();
    error = module->Open(path, flags, freq);
    if (error != BASS_OK) return nullptr;
    return module;
}

}  // namespace sonavert::bass
