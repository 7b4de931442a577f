#pragma once
// The decoding library layer: a decode-only audio library with the calls the rest of the program
// makes, implemented over libavformat/libavcodec/libswresample (streams), libopenmpt (tracker
// modules), FluidSynth (MIDI) and add-ons loaded from shared libraries.
//
// All calls come from one thread after BASS_Init succeeded. Handles are nonzero 32-bit values;
// 0 means failure. Decoded PCM is interleaved signed 16-bit, or unsigned 8-bit when the info flags
// carry BASS_SAMPLE_8BITS.
#include <cstdint>

using DWORD = uint32_t;
using QWORD = uint64_t;
using BOOL = int;
using HSTREAM = DWORD;
using HMUSIC = DWORD;
using HCHANNEL = DWORD;
using HPLUGIN = DWORD;
using HSOUNDFONT = DWORD;

// Version reported by BASS_GetVersion: 2.4 in the high 16 bits.
inline constexpr DWORD BASSVERSION = 0x0204;

inline constexpr DWORD BASS_CONFIG_UPDATEPERIOD = 1;
inline constexpr DWORD BASS_SAMPLE_8BITS = 1;
inline constexpr DWORD BASS_SAMPLE_MONO = 2;
inline constexpr DWORD BASS_SAMPLE_FLOAT = 256;
inline constexpr DWORD BASS_STREAM_DECODE = 0x200000;
inline constexpr DWORD BASS_MUSIC_DECODE = BASS_STREAM_DECODE;
inline constexpr DWORD BASS_MUSIC_RAMP = 0x200;
inline constexpr DWORD BASS_MUSIC_PRESCAN = 0x20000;
inline constexpr DWORD BASS_POS_BYTE = 0;
inline constexpr DWORD BASS_FILEPOS_END = 2;
inline constexpr DWORD BASS_FILEPOS_START = 3;
inline constexpr DWORD BASS_TAG_ID3 = 0;
inline constexpr DWORD BASS_TAG_ID3V2 = 1;

// Channel types reported in BASS_CHANNELINFO::ctype.
inline constexpr DWORD BASS_CTYPE_STREAM = 0x10000;
inline constexpr DWORD BASS_CTYPE_STREAM_MIDI = 0x10d00;
inline constexpr DWORD BASS_CTYPE_MUSIC_MOD = 0x20000;

// Error codes reported by BASS_ErrorGetCode.
inline constexpr int BASS_OK = 0;
inline constexpr int BASS_ERROR_MEM = 1;
inline constexpr int BASS_ERROR_FILEOPEN = 2;
inline constexpr int BASS_ERROR_HANDLE = 5;
inline constexpr int BASS_ERROR_FORMAT = 6;
inline constexpr int BASS_ERROR_INIT = 8;
inline constexpr int BASS_ERROR_ALREADY = 14;
inline constexpr int BASS_ERROR_ILLPARAM = 20;
inline constexpr int BASS_ERROR_DEVICE = 23;
inline constexpr int BASS_ERROR_NOTAVAIL = 37;
inline constexpr int BASS_ERROR_DECODE = 38;
inline constexpr int BASS_ERROR_FILEFORM = 41;
inline constexpr int BASS_ERROR_ENDED = 45;
inline constexpr int BASS_ERROR_UNKNOWN = -1;
// Extension of this layer: a module or MIDI file whose playing time passes the layer's bound.
inline constexpr int BASS_ERROR_TOOLONG = 1000;
// The playing time bound of BASS_ERROR_TOOLONG, in hours.
inline constexpr int BASS_MAX_RENDER_HOURS = 12;

struct BASS_CHANNELINFO {
    DWORD freq;
    DWORD chans;
    DWORD flags;
    DWORD ctype;
    DWORD origres;
    HPLUGIN plugin;
    const char* filename;
};

struct BASS_MIDI_FONT {
    HSOUNDFONT font;
    int preset;
    int bank;
};

DWORD BASS_GetVersion();
int BASS_ErrorGetCode();
BOOL BASS_SetConfig(DWORD option, DWORD value);
BOOL BASS_Init(int device, DWORD freq, DWORD flags, void* win, const void* clsid);
BOOL BASS_Free();

HPLUGIN BASS_PluginLoad(const char* file, DWORD flags);
BOOL BASS_PluginFree(HPLUGIN handle);

HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags);
HMUSIC BASS_MusicLoad(BOOL mem, const void* file, QWORD offset, DWORD length, DWORD flags, DWORD freq);
HSTREAM BASS_MIDI_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags,
                                   DWORD freq);
BOOL BASS_StreamFree(HSTREAM handle);
BOOL BASS_MusicFree(HMUSIC handle);

QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode);
double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos);
BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info);
QWORD BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode);
// Returns the bytes placed in buffer, or (DWORD)-1 at the end of the stream or on error.
DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length);
QWORD BASS_ChannelGetPosition(DWORD handle, DWORD mode);
const char* BASS_ChannelGetTags(DWORD handle, DWORD tags);

HSOUNDFONT BASS_MIDI_FontInit(const void* file, DWORD flags);
BOOL BASS_MIDI_FontFree(HSOUNDFONT handle);
BOOL BASS_MIDI_StreamSetFonts(HSTREAM handle, const BASS_MIDI_FONT* fonts, DWORD count);

// Extension of this layer: the speakers of a channel's interleaved channels as a WAVE channel mask
// (the channels take its set bits from the lowest up); 0 when the decoder states none, and the
// usual WAVE order for the channel count then applies.
DWORD BASS_ChannelGetChannelMask(DWORD handle);

// Extension of this layer: what a stream's file stores, for the wide delivery below: the bits of
// its samples (the decoder's significant bits; 16 for lossy codecs) and whether they are floats.
// FALSE for a channel that only delivers 16-bit PCM (modules, MIDI, MPEG audio through libmpg123).
BOOL BASS_ChannelGetWideFormat(DWORD handle, DWORD* bits, BOOL* isFloat);
// Extension of this layer: switches a stream, before its first BASS_ChannelGetData, to deliver
// every channel as interleaved doubles (integers divided by 2^(bits-1), floats as decoded) from
// then on. Lengths and positions keep counting bytes of the 16-bit PCM. FALSE when the channel
// cannot, or data was already read.
BOOL BASS_ChannelSetWide(DWORD handle);
// Extension of this layer: the number of live stream and music handles (for leak checks).
DWORD BASS_ChannelCount();
// Extension of this layer: why a channel that reached its end did not decode the file's sound
// (a MIDI file whose notes rendered silent); null when nothing is known against it.
const char* BASS_ChannelGetFailure(DWORD handle);
// Extension of this layer: whether the channel's length is stated by the file (a sample count in
// its header) rather than estimated.
BOOL BASS_ChannelLengthStated(DWORD handle);
