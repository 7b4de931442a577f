// The decoding layer's calls and its one piece of process-wide state: the handle table, the loaded
// add-ons and the SoundFonts.
#include <dlfcn.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <set>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "sources/bass/AddonAbi.h"
#include "sources/bass/Channel.h"
#include "sources/bass/bass.h"

namespace sonavert::bass {
namespace {

constexpr DWORD kVersion = (BASSVERSION << 16) | 0x1100;

struct Plugin;
// (Inside a channel, Plugin names its add-on's handle.)
using PluginRef = std::shared_ptr<const Plugin>;

// Whether an add-on's decoder table holds `field` (a table of an older ABI version ends earlier).
#define ADDON_DECODER_HAS(decoder, field) \
    ((decoder)->size >= offsetof(BassAddonDecoder, field) + sizeof((decoder)->field) && (decoder)->field)

// A stream decoded by an add-on's own decoder. It keeps the add-on loaded until it is closed.
class AddonStream final : public Channel {
public:
    AddonStream(const BassAddonDecoder* decoder, void* stream, const BassAddonStreamInfo& info,
                const std::string& path, PluginRef plugin, HPLUGIN handle)
        : decoder_(decoder), stream_(stream), info_(info), plugin_(std::move(plugin)) {
        path_ = path;
        SetFormat(info.freq, info.chans, info.bits == 8 ? 8 : 16, BASS_CTYPE_STREAM);
        SetPlugin(handle);
        length_ = info.length;
        if (ADDON_DECODER_HAS(decoder, describe)) {
            uint32_t bits = 0, mask = 0, stated = 0;
            decoder->describe(stream, &bits, &mask, &stated);
            storedBits_ = bits <= 32 ? bits : 0;
            channelMask_ = info.chans > 2 ? mask : 0;
            lengthStated_ = stated != 0 && length_ > 0;
        }
    }
    ~AddonStream() override { decoder_->close(stream_); }
    QWORD FilePosition(DWORD mode) const override {
        int64_t v = mode == BASS_FILEPOS_START ? info_.fileStart : mode == BASS_FILEPOS_END ? info_.fileEnd : -1;
        return v < 0 ? kNoFilePosition : static_cast<QWORD>(v);
    }
    bool StoredSamples(DWORD& bits, bool& isFloat) const override {
        if (storedBits_ == 0 || !ADDON_DECODER_HAS(decoder_, setWide) || info_.chans > 8) return false;
        bits = storedBits_;
        isFloat = false;
        return true;
    }

protected:
    size_t Produce(uint8_t* dst, size_t bytes) override {
        uint32_t n = decoder_->read(stream_, dst, static_cast<uint32_t>(std::min<size_t>(bytes, 1u << 30)));
        return std::min<size_t>(n, bytes);
    }
    bool SwitchToWide() override {
        DWORD bits = 0;
        bool isFloat = false;
        return StoredSamples(bits, isFloat) && decoder_->setWide(stream_) == 1;
    }

private:
    const BassAddonDecoder* decoder_;
    void* stream_;
    BassAddonStreamInfo info_;
    uint32_t storedBits_ = 0;
    // Destroyed after the destructor closed the stream: the add-on's code stays mapped until then.
    PluginRef plugin_;
};

struct Plugin {
    HPLUGIN handle = 0;
    std::string path;
    void* library = nullptr;
    std::set<int> codecs;
    std::vector<const BassAddonDecoder*> decoders;
    ~Plugin() {
        if (library) dlclose(library);
    }
};

// The layer's state, shared by every thread that decodes. `tables` guards the set-up (the
// initialised flag, the configuration, the add-ons, the SoundFonts): decoders read it side by side,
// start-up and teardown change it alone. `channelsMutex` guards the channel table and the handle
// counter; a channel itself is used by the one conversion that opened it, without a lock, so
// decoding runs in parallel. Lock order: `tables` before `channelsMutex`.
struct Layer {
    std::shared_mutex tables;
    std::mutex channelsMutex;
    bool initialised = false;
    DWORD nextHandle = 1;
    std::map<DWORD, DWORD> config;
    // Declared before the channels so that channels (which may run add-on code) go first.
    std::vector<std::shared_ptr<Plugin>> plugins;
    std::map<DWORD, std::unique_ptr<Channel>> channels;
    std::map<HSOUNDFONT, std::string> fonts;
    HSOUNDFONT defaultFont = 0;

    DWORD NewHandle() {
        DWORD h = nextHandle++;
        if (nextHandle == 0) nextHandle = 1;
        return h;
    }
};

// The layer's state outlives every static object (it is never destroyed), so a host object of
// static storage duration can still free the layer at exit.
Layer& State() {
    static Layer* const layer = new Layer;
    return *layer;
}

// The error code of the last call, kept per thread so that parallel conversions do not read each
// other's outcome.
thread_local int g_error = BASS_OK;

// Records the outcome of a call and passes `result` through.
template <typename T>
T Fail(int code, T result) {
    g_error = code;
    return result;
}
template <typename T>
T Ok(T result) {
    g_error = BASS_OK;
    return result;
}

using ReadLock = std::shared_lock<std::shared_mutex>;
using WriteLock = std::unique_lock<std::shared_mutex>;

Channel* Find(DWORD handle) {
    std::lock_guard<std::mutex> lock(State().channelsMutex);
    auto& channels = State().channels;
    auto it = channels.find(handle);
    return it == channels.end() ? nullptr : it->second.get();
}

DWORD Register(std::unique_ptr<Channel> channel) {
    std::lock_guard<std::mutex> lock(State().channelsMutex);
    DWORD handle = State().NewHandle();
    State().channels.emplace(handle, std::move(channel));
    return handle;
}

// Removes a channel of the given kind; false when the handle names none.
bool Unregister(DWORD handle, bool music) {
    std::unique_ptr<Channel> gone;
    {
        std::lock_guard<std::mutex> lock(State().channelsMutex);
        auto& channels = State().channels;
        auto it = channels.find(handle);
        if (it == channels.end() || it->second->IsMusic() != music) return false;
        gone = std::move(it->second);
        channels.erase(it);
    }
    return true;  // the channel is destroyed here, outside the lock
}

// The codecs the layer decodes without any add-on: MPEG audio layers 1-3 and Vorbis in any
// container, integer and float PCM in WAV and AIFF files.
bool CoreCodec(int id, const char* format) {
    if (id == AV_CODEC_ID_MP1 || id == AV_CODEC_ID_MP2 || id == AV_CODEC_ID_MP3 || id == AV_CODEC_ID_VORBIS)
        return true;
    bool pcm = id >= AV_CODEC_ID_FIRST_AUDIO && id < AV_CODEC_ID_ADPCM_IMA_QT;
    return pcm && format && (std::strcmp(format, "wav") == 0 || std::strcmp(format, "aiff") == 0);
}

bool AcceptCodec(int id, const char* format) {
    if (CoreCodec(id, format)) return true;
    for (const auto& plugin : State().plugins)
        if (plugin->codecs.count(id)) return true;
    return false;
}

int HostRegisterCodec(void* context, const char* name) {
    if (!name) return 0;
    const AVCodecDescriptor* desc = avcodec_descriptor_get_by_name(name);
    if (!desc || desc->type != AVMEDIA_TYPE_AUDIO || !avcodec_find_decoder(desc->id)) return 0;
    static_cast<Plugin*>(context)->codecs.insert(desc->id);
    return 1;
}

int HostRegisterDecoder(void* context, const BassAddonDecoder* decoder) {
    // A table of ABI version 1 ends after `close`.
    if (!decoder || decoder->size < offsetof(BassAddonDecoder, describe) || !decoder->open || !decoder->read ||
        !decoder->close)
        return 0;
    static_cast<Plugin*>(context)->decoders.push_back(decoder);
    return 1;
}

// Withdraws an add-on: no stream opens through it any more. Streams its decoder already opened
// keep decoding, as those of its codecs do, and the library is unloaded once the last of them is
// freed. Called with `tables` held for writing.
void UnloadPlugin(std::vector<std::shared_ptr<Plugin>>::iterator it) { State().plugins.erase(it); }

bool IsSoundFont(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char header[12];
    if (!in.read(header, sizeof header)) return false;
    return std::memcmp(header, "RIFF", 4) == 0 && std::memcmp(header + 8, "sfbk", 4) == 0;
}

}  // namespace
}  // namespace sonavert::bass

using namespace sonavert::bass;

DWORD BASS_GetVersion() { return kVersion; }

int BASS_ErrorGetCode() { return g_error; }

BOOL BASS_SetConfig(DWORD option, DWORD value) {
    WriteLock lock(State().tables);
    State().config[option] = value;
    return Ok(1);
}

BOOL BASS_Init(int device, DWORD /*freq*/, DWORD /*flags*/, void* /*win*/, const void* /*clsid*/) {
    // Only the no-sound device exists: the layer decodes and never plays.
    if (device != 0) return Fail(BASS_ERROR_DEVICE, 0);
    WriteLock lock(State().tables);
    if (State().initialised) return Fail(BASS_ERROR_ALREADY, 0);
    State().initialised = true;
    // Damaged input is reported through results; FFmpeg's console messages would only be noise.
    av_log_set_level(AV_LOG_QUIET);
    return Ok(1);
}

BOOL BASS_Free() {
    Layer& s = State();
    WriteLock lock(s.tables);
    if (!s.initialised) return Fail(BASS_ERROR_INIT, 0);
    {
        std::lock_guard<std::mutex> channelsLock(s.channelsMutex);
        s.channels.clear();
    }
    s.fonts.clear();
    s.defaultFont = 0;
    s.initialised = false;
    return Ok(1);
}

HPLUGIN BASS_PluginLoad(const char* file, DWORD /*flags*/) {
    Layer& s = State();
    if (!file) return Fail(BASS_ERROR_FILEOPEN, 0u);
    WriteLock lock(s.tables);
    std::error_code ec;
    auto canonical = std::filesystem::weakly_canonical(file, ec).string();
    if (ec) canonical = file;
    for (const auto& p : s.plugins)
        if (p->path == canonical) return Fail(BASS_ERROR_ALREADY, 0u);
    auto plugin = std::make_shared<Plugin>();
    plugin->path = canonical;
    plugin->library = dlopen(canonical.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!plugin->library) return Fail(BASS_ERROR_FILEOPEN, 0u);
    auto entry = reinterpret_cast<BassAddonRegisterFn>(dlsym(plugin->library, BASS_ADDON_ENTRY));
    if (!entry) return Fail(BASS_ERROR_FILEFORM, 0u);
    BassAddonHost host{BASS_ADDON_ABI_VERSION, sizeof(BassAddonHost), plugin.get(), HostRegisterCodec,
                       HostRegisterDecoder};
    uint32_t version = entry(&host);
    if (version == 0 || version > BASS_ADDON_ABI_VERSION) return Fail(BASS_ERROR_FILEFORM, 0u);
    {
        std::lock_guard<std::mutex> channelsLock(s.channelsMutex);
        plugin->handle = s.NewHandle();
    }
    HPLUGIN handle = plugin->handle;
    s.plugins.push_back(std::move(plugin));
    return Ok(handle);
}

BOOL BASS_PluginFree(HPLUGIN handle) {
    WriteLock lock(State().tables);
    auto& plugins = State().plugins;
    if (handle == 0) {
        while (!plugins.empty()) UnloadPlugin(plugins.end() - 1);
        return Ok(1);
    }
    for (auto it = plugins.begin(); it != plugins.end(); ++it) {
        if ((*it)->handle == handle) {
            UnloadPlugin(it);
            return Ok(1);
        }
    }
    return Fail(BASS_ERROR_HANDLE, 0);
}

HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD /*flags*/) {
    Layer& s = State();
    ReadLock lock(s.tables);
    if (!s.initialised) return Fail(BASS_ERROR_INIT, 0u);
    // Only whole files on disk are decoded.
    if (mem || offset || length) return Fail(BASS_ERROR_NOTAVAIL, 0u);
    if (!file) return Fail(BASS_ERROR_FILEOPEN, 0u);
    std::string path = static_cast<const char*>(file);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return Fail(BASS_ERROR_FILEOPEN, 0u);

    // Add-on decoders first: each recognises its own files.
    for (const auto& plugin : s.plugins) {
        for (const BassAddonDecoder* decoder : plugin->decoders) {
            BassAddonStreamInfo info{};
            void* stream = decoder->open(path.c_str(), &info);
            if (!stream) continue;
            if (info.freq == 0 || info.chans == 0 || (info.bits != 8 && info.bits != 16)) {
                decoder->close(stream);
                continue;
            }
            return Ok(Register(std::make_unique<AddonStream>(decoder, stream, info, path, plugin, plugin->handle)));
        }
    }
    int error = BASS_OK;
    auto channel = OpenFfmpegStream(path, AcceptCodec, error);
    if (!channel) return Fail(error, 0u);
    return Ok(Register(std::move(channel)));
}

HMUSIC BASS_MusicLoad(BOOL mem, const void* file, QWORD offset, DWORD length, DWORD flags, DWORD freq) {
    ReadLock lock(State().tables);
    if (!State().initialised) return Fail(BASS_ERROR_INIT, 0u);
    if (mem || offset || length) return Fail(BASS_ERROR_NOTAVAIL, 0u);
    if (!file) return Fail(BASS_ERROR_FILEOPEN, 0u);
    int error = BASS_OK;
    auto channel = OpenModule(static_cast<const char*>(file), flags, freq, error);
    if (!channel) return Fail(error, 0u);
    return Ok(Register(std::move(channel)));
}

HSTREAM BASS_MIDI_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD /*flags*/,
                                   DWORD freq) {
    Layer& s = State();
    ReadLock lock(s.tables);
    if (!s.initialised) return Fail(BASS_ERROR_INIT, 0u);
    if (mem || offset || length) return Fail(BASS_ERROR_NOTAVAIL, 0u);
    if (!file) return Fail(BASS_ERROR_FILEOPEN, 0u);
    auto font = s.fonts.find(s.defaultFont);
    std::string fontPath = font == s.fonts.end() ? std::string() : font->second;
    int error = BASS_OK;
    auto channel = OpenMidi(static_cast<const char*>(file), freq, fontPath, error);
    if (!channel) return Fail(error, 0u);
    return Ok(Register(std::move(channel)));
}

BOOL BASS_StreamFree(HSTREAM handle) {
    if (!Unregister(handle, false)) return Fail(BASS_ERROR_HANDLE, 0);
    return Ok(1);
}

BOOL BASS_MusicFree(HMUSIC handle) {
    if (!Unregister(handle, true)) return Fail(BASS_ERROR_HANDLE, 0);
    return Ok(1);
}

QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode) {
    Channel* c = Find(handle);
    if (!c) return Fail(BASS_ERROR_HANDLE, kNoFilePosition);
    if (mode != BASS_POS_BYTE) return Fail(BASS_ERROR_NOTAVAIL, kNoFilePosition);
    return Ok(c->Length());
}

double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos) {
    Channel* c = Find(handle);
    if (!c) return Fail(BASS_ERROR_HANDLE, -1.0);
    return Ok(c->BytesToSeconds(pos));
}

BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info) {
    Channel* c = Find(handle);
    if (!c) return Fail(BASS_ERROR_HANDLE, 0);
    if (!info) return Fail(BASS_ERROR_ILLPARAM, 0);
    c->Info(*info);
    return Ok(1);
}

DWORD BASS_ChannelGetChannelMask(DWORD handle) {
    Channel* c = Find(handle);
    if (!c) return Fail(BASS_ERROR_HANDLE, 0u);
    return Ok(c->ChannelMask());
}

BOOL BASS_ChannelGetWideFormat(DWORD handle, DWORD* bits, BOOL* isFloat) {
    Channel* c = Find(handle);
    if (!c) return Fail(BASS_ERROR_HANDLE, 0);
    DWORD b = 0;
    bool f = false;
    if (!c->StoredSamples(b, f)) return Fail(BASS_ERROR_NOTAVAIL, 0);
    if (bits) *bits = b;
    if (isFloat) *isFloat = f ? 1 : 0;
    return Ok(1);
}

BOOL BASS_ChannelSetWide(DWORD handle) {
    Channel* c = Find(handle);
    if (!c) return Fail(BASS_ERROR_HANDLE, 0);
    if (!c->SetWide()) return Fail(BASS_ERROR_NOTAVAIL, 0);
    return Ok(1);
}

QWORD BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode) {
    Channel* c = Find(handle);
    if (!c || c->IsMusic()) return Fail(BASS_ERROR_HANDLE, kNoFilePosition);
    QWORD v = c->FilePosition(mode);
    if (v == kNoFilePosition) return Fail(BASS_ERROR_NOTAVAIL, v);
    return Ok(v);
}

DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length) {
    Channel* c = Find(handle);
    if (!c) return Fail(BASS_ERROR_HANDLE, static_cast<DWORD>(-1));
    if (!buffer || (length & 0xF0000000u)) return Fail(BASS_ERROR_ILLPARAM, static_cast<DWORD>(-1));
    DWORD n = c->GetData(buffer, length);
    if (n == static_cast<DWORD>(-1)) return Fail(BASS_ERROR_ENDED, n);
    return Ok(n);
}

QWORD BASS_ChannelGetPosition(DWORD handle, DWORD mode) {
    Channel* c = Find(handle);
    if (!c) return Fail(BASS_ERROR_HANDLE, kNoFilePosition);
    if (mode != BASS_POS_BYTE) return Fail(BASS_ERROR_NOTAVAIL, kNoFilePosition);
    return Ok(c->Position());
}

const char* BASS_ChannelGetTags(DWORD handle, DWORD tags) {
    Channel* c = Find(handle);
    if (!c) return Fail<const char*>(BASS_ERROR_HANDLE, nullptr);
    const char* p = c->Tags(tags);
    if (!p) return Fail<const char*>(BASS_ERROR_NOTAVAIL, nullptr);
    return Ok(p);
}

HSOUNDFONT BASS_MIDI_FontInit(const void* file, DWORD /*flags*/) {
    Layer& s = State();
    WriteLock lock(s.tables);
    if (!s.initialised) return Fail(BASS_ERROR_INIT, 0u);
    if (!file) return Fail(BASS_ERROR_FILEOPEN, 0u);
    std::string path = static_cast<const char*>(file);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return Fail(BASS_ERROR_FILEOPEN, 0u);
    if (!IsSoundFont(path)) return Fail(BASS_ERROR_FILEFORM, 0u);
    HSOUNDFONT handle;
    {
        std::lock_guard<std::mutex> channelsLock(s.channelsMutex);
        handle = s.NewHandle();
    }
    s.fonts.emplace(handle, path);
    return Ok(handle);
}

BOOL BASS_MIDI_FontFree(HSOUNDFONT handle) {
    Layer& s = State();
    WriteLock lock(s.tables);
    if (!s.fonts.erase(handle)) return Fail(BASS_ERROR_HANDLE, 0);
    if (s.defaultFont == handle) s.defaultFont = 0;
    return Ok(1);
}

BOOL BASS_MIDI_StreamSetFonts(HSTREAM handle, const BASS_MIDI_FONT* fonts, DWORD count) {
    Layer& s = State();
    WriteLock lock(s.tables);
    if (!s.initialised) return Fail(BASS_ERROR_INIT, 0);
    // Only the default font for streams created later is kept; the first entry is the one used.
    if (handle != 0) return Fail(BASS_ERROR_NOTAVAIL, 0);
    if (count == 0) {
        s.defaultFont = 0;
        return Ok(1);
    }
    if (!fonts || !s.fonts.count(fonts[0].font)) return Fail(BASS_ERROR_HANDLE, 0);
    s.defaultFont = fonts[0].font;
    return Ok(1);
}

DWORD BASS_ChannelCount() {
    std::lock_guard<std::mutex> lock(State().channelsMutex);
    return static_cast<DWORD>(State().channels.size());
}

const char* BASS_ChannelGetFailure(DWORD handle) {
    Channel* c = Find(handle);
    if (!c) return Fail<const char*>(BASS_ERROR_HANDLE, nullptr);
    return Ok(c->Failure());
}

BOOL BASS_ChannelLengthStated(DWORD handle) {
    Channel* c = Find(handle);
    if (!c) return Fail(BASS_ERROR_HANDLE, 0);
    return Ok(c->LengthStated() ? 1 : 0);
}
