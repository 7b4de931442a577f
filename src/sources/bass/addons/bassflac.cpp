// Add-on: FLAC (native and in Ogg). Native FLAC files of one or two channels are decoded here with
// libFLAC, which decodes them faster than FFmpeg and reads only the header to open them; every
// other FLAC stream (more channels, in Ogg, behind an ID3v2 tag, without a stated sample count) is
// decoded by the layer's FFmpeg engine, for which the codec is registered as well.
//
// What the stream delivers is what the FFmpeg engine delivers for the same file: 16-bit samples
// (wider ones keep their top 16 bits, narrower ones are scaled up), or on request doubles of the
// stored value (value / 2^(bits - 1)).
#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "sources/bass/addons/AddonCommon.h"

namespace {

struct DecoderDeleter {
    void operator()(FLAC__StreamDecoder* d) const { FLAC__stream_decoder_delete(d); }
};

struct FlacStream {
    std::unique_ptr<FLAC__StreamDecoder, DecoderDeleter> decoder;
    uint32_t rate = 0, channels = 0, bits = 0;
    uint64_t totalSamples = 0;
    bool streamInfo = false;
    bool wide = false;
    // The samples of the last decoded frame, interleaved, and how many of its frames were delivered.
    std::vector<int32_t> frame;
    size_t framePos = 0;
    bool ended = false;
};

FLAC__StreamDecoderWriteStatus OnWrite(const FLAC__StreamDecoder*, const FLAC__Frame* f,
                                       const FLAC__int32* const buffer[], void* data) {
    auto* s = static_cast<FlacStream*>(data);
    // A frame whose layout differs from the stream's header is not this stream's sound.
    if (f->header.channels != s->channels || f->header.bits_per_sample != s->bits)
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    const uint32_t n = f->header.blocksize, ch = s->channels;
    s->frame.resize(static_cast<size_t>(n) * ch);
    for (uint32_t c = 0; c < ch; ++c) {
        const FLAC__int32* in = buffer[c];
        int32_t* out = s->frame.data() + c;
        for (uint32_t i = 0; i < n; ++i) out[static_cast<size_t>(i) * ch] = in[i];
    }
    s->framePos = 0;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void OnMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* m, void* data) {
    auto* s = static_cast<FlacStream*>(data);
    if (m->type != FLAC__METADATA_TYPE_STREAMINFO) return;
    s->rate = m->data.stream_info.sample_rate;
    s->channels = m->data.stream_info.channels;
    s->bits = m->data.stream_info.bits_per_sample;
    s->totalSamples = m->data.stream_info.total_samples;
    s->streamInfo = true;
}

// Damaged frames are reported here; libFLAC skips to the next frame (a frame failing its checksum
// comes out as silence), so the stream goes on.
void OnError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*) {}

bool StartsWithFlacMarker(const char* path) {
    char head[4] = {};
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    const size_t got = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    return got == sizeof head && std::memcmp(head, "fLaC", 4) == 0;
}

void* FlacOpen(const char* path, BassAddonStreamInfo* info) {
    if (!path || !info || !StartsWithFlacMarker(path)) return nullptr;
    auto s = std::make_unique<FlacStream>();
    s->decoder.reset(FLAC__stream_decoder_new());
    if (!s->decoder) return nullptr;
    FLAC__StreamDecoder* d = s->decoder.get();
    FLAC__stream_decoder_set_md5_checking(d, false);
    if (FLAC__stream_decoder_init_file(d, path, OnWrite, OnMetadata, OnError, s.get()) !=
        FLAC__STREAM_DECODER_INIT_STATUS_OK)
        return nullptr;
    if (!FLAC__stream_decoder_process_until_end_of_metadata(d) || !s->streamInfo) return nullptr;
    // What this decoder leaves to FFmpeg: more than two channels (their speaker layout), samples
    // wider than 24 bits, and a stream that does not state its length.
    if (s->rate == 0 || s->channels < 1 || s->channels > 2 || s->bits < 4 || s->bits > 24 || s->totalSamples == 0)
        return nullptr;
    FILE* f = std::fopen(path, "rb");
    int64_t size = -1;
    if (f) {
        if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
        std::fclose(f);
    }
    FLAC__uint64 audioStart = 0;
    const bool haveStart = FLAC__stream_decoder_get_decode_position(d, &audioStart);
    // The byte length of the 16-bit PCM; a length that does not fit is left unknown.
    const uint64_t frameBytes = 2ull * s->channels;
    if (s->totalSamples > UINT64_MAX / frameBytes) return nullptr;
    info->freq = s->rate;
    info->chans = s->channels;
    info->bits = 16;
    info->length = s->totalSamples * frameBytes;
    info->fileStart = haveStart ? static_cast<int64_t>(audioStart) : -1;
    info->fileEnd = size;
    return s.release();
}

// Decodes the next frame into `frame`; false at the end of the stream or when it cannot go on.
bool NextFrame(FlacStream& s) {
    while (!s.ended) {
        s.frame.clear();
        s.framePos = 0;
        FLAC__StreamDecoder* d = s.decoder.get();
        const bool ok = FLAC__stream_decoder_process_single(d);
        if (!s.frame.empty()) return true;
        const FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(d);
        if (!ok || state == FLAC__STREAM_DECODER_END_OF_STREAM || state == FLAC__STREAM_DECODER_ABORTED ||
            state >= FLAC__STREAM_DECODER_OGG_ERROR)
            s.ended = true;
    }
    return false;
}

uint32_t FlacRead(void* stream, void* buffer, uint32_t bytes) {
    auto& s = *static_cast<FlacStream*>(stream);
    const uint32_t ch = s.channels;
    const uint32_t sampleBytes = s.wide ? 8 : 2;
    const size_t wantFrames = bytes / (sampleBytes * ch);
    size_t done = 0;
    // Samples narrower than 16 bits are scaled up, wider ones keep their top 16 bits.
    const int up = s.bits < 16 ? static_cast<int>(16 - s.bits) : 0;
    const int down = s.bits > 16 ? static_cast<int>(s.bits - 16) : 0;
    const double scale = 1.0 / static_cast<double>(1u << (s.bits - 1));
    while (done < wantFrames) {
        const size_t have = s.frame.size() / ch - s.framePos;
        if (have == 0) {
            if (!NextFrame(s)) break;
            continue;
        }
        const size_t n = std::min(have, wantFrames - done);
        const int32_t* in = s.frame.data() + s.framePos * ch;
        const size_t count = n * ch;
        if (s.wide) {
            double* out = static_cast<double*>(buffer) + done * ch;
            for (size_t i = 0; i < count; ++i) out[i] = in[i] * scale;
        } else {
            int16_t* out = static_cast<int16_t*>(buffer) + done * ch;
            for (size_t i = 0; i < count; ++i)
                out[i] = static_cast<int16_t>(up ? in[i] * (1 << up) : in[i] >> down);
        }
        s.framePos += n;
        done += n;
    }
    return static_cast<uint32_t>(done * sampleBytes * ch);
}

void FlacClose(void* stream) { delete static_cast<FlacStream*>(stream); }

void FlacDescribe(void* stream, uint32_t* bits, uint32_t* channelMask, uint32_t* lengthStated) {
    const auto& s = *static_cast<const FlacStream*>(stream);
    if (bits) *bits = s.bits;
    if (channelMask) *channelMask = 0;
    if (lengthStated) *lengthStated = 1;
}

int FlacSetWide(void* stream) {
    static_cast<FlacStream*>(stream)->wide = true;
    return 1;
}

const BassAddonDecoder kFlacDecoder = {sizeof(BassAddonDecoder), FlacOpen, FlacRead, FlacClose, FlacDescribe,
                                       FlacSetWide};

}  // namespace

BASS_ADDON_EXPORT uint32_t BassAddonRegister(const BassAddonHost* host) {
    if (!sonavert::addon::HostUsable(host)) return 0;
    const bool codec = host->registerCodec(host->context, "flac") != 0;
    const bool decoder = host->registerDecoder(host->context, &kFlacDecoder) != 0;
    return codec || decoder ? BASS_ADDON_ABI_VERSION : 0;
}
