#pragma once
// The C interface between the decoding layer and its add-ons.
//
// An add-on is a shared library exporting one function, BassAddonRegister, which the layer calls
// once right after dlopen(). Through the host table it receives, the add-on registers what it
// decodes:
//   - codecs by their FFmpeg codec name ("flac", "wavpack", ...): the layer's own FFmpeg engine
//     then accepts streams coded that way, which it otherwise refuses;
//   - decoders of its own: a table of functions that open a file, deliver interleaved PCM and close.
// The add-on never links the layer: everything it needs comes through the host table, and the
// layer calls the decoder tables only while the add-on is loaded.
//
// Versioning: the host passes its ABI version and the size of its table. An add-on built for a
// newer ABI than the host returns 0 (refused); the host ignores table fields beyond `size`.
// Version 2 adds two optional functions at the end of the decoder table (a wider description of
// the stream and the delivery of doubles); the host calls them only when the table's `size`
// covers them, so a version 1 add-on keeps working.
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BASS_ADDON_ABI_VERSION 2u
#define BASS_ADDON_ENTRY "BassAddonRegister"

// Format of a stream opened by an add-on decoder.
typedef struct BassAddonStreamInfo {
    uint32_t freq;        // Hz
    uint32_t chans;       // interleaved channels delivered
    uint32_t bits;        // 8 (unsigned) or 16 (signed, little-endian)
    uint64_t length;      // bytes of decoded PCM
    int64_t fileStart;    // file offset of the first audio data, -1 if not applicable
    int64_t fileEnd;      // size of the underlying file, -1 if not applicable
} BassAddonStreamInfo;

// A decoder provided by an add-on.
typedef struct BassAddonDecoder {
    uint32_t size;  // sizeof(BassAddonDecoder) as the add-on knows it
    // Opens `path` if this decoder handles it and fills `info`. Returns an opaque stream, or null
    // when the file is not this decoder's (or cannot be opened).
    void* (*open)(const char* path, BassAddonStreamInfo* info);
    // Places up to `bytes` bytes of PCM (whole frames) in `buffer`; returns the count, 0 at the end.
    uint32_t (*read)(void* stream, void* buffer, uint32_t bytes);
    void (*close)(void* stream);
    // Since version 2; either may be null.
    // What the open stream stores: the significant bits of its integer samples (`bits`, 0 when
    // unknown), the WAVE speaker mask of its channels (`channelMask`, 0 when unknown) and whether
    // `length` counts the samples the file states (`lengthStated` 1) rather than an estimate.
    void (*describe)(void* stream, uint32_t* bits, uint32_t* channelMask, uint32_t* lengthStated);
    // Before the first read: makes `read` deliver interleaved doubles (full scale +-1.0) of every
    // channel. Returns 1, or 0 when the stream cannot (it then delivers as before).
    int (*setWide)(void* stream);
} BassAddonDecoder;

// What the layer offers an add-on during registration.
typedef struct BassAddonHost {
    uint32_t version;  // BASS_ADDON_ABI_VERSION of the host
    uint32_t size;     // sizeof(BassAddonHost) as the host knows it
    void* context;     // pass back unchanged
    // Accepts streams of this FFmpeg codec. Returns 1 when the host knows the codec, else 0.
    int (*registerCodec)(void* context, const char* codecName);
    // Adds a decoder; the table must stay valid while the add-on is loaded. Returns 1 or 0.
    int (*registerDecoder)(void* context, const BassAddonDecoder* decoder);
} BassAddonHost;

// Entry point of every add-on: returns the ABI version it speaks (nonzero) on success, 0 to refuse.
typedef uint32_t (*BassAddonRegisterFn)(const BassAddonHost* host);

#ifdef __cplusplus
}
#endif
