// The decoding layer: formats against a reference FFmpeg decode, add-on registration, modules,
// MIDI, tags and the handle table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "sources/bass/SmfParser.h"
#include "sources/bass/bass.h"
#include "support/BassTestUtil.h"
#include "support/TestUtil.h"

using namespace testutil;

namespace {

constexpr DWORD kEnd = static_cast<DWORD>(-1);

std::vector<int16_t> AsS16(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

// Largest per-sample difference, or -1 when the counts differ.
int MaxDifference(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
    if (a.size() != b.size()) return -1;
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    return worst;
}

struct Encoded {
    const char* name;
    const char* file;
    const char* command;  // %IN% = stereo 44.1 kHz WAV, %OUT% = the file to make
    DWORD rate;
    DWORD chans;
};

std::string Expand(std::string cmd, const std::string& in, const std::string& out) {
    for (auto [key, value] : {std::pair<std::string, std::string>{"%IN%", Quote(in)}, {"%OUT%", Quote(out)}})
        for (size_t p; (p = cmd.find(key)) != std::string::npos;) cmd.replace(p, key.size(), value);
    return cmd;
}

class LayerFormats : public ::testing::TestWithParam<Encoded> {};

TEST_P(LayerFormats, DecodesLikeReference) {
    const Encoded& e = GetParam();
    TempDir dir;
    std::string wav = dir.file("in.wav"), out = dir.file(e.file);
    ASSERT_TRUE(WriteWav16(wav, StereoTones(440, 660, 44100, 1.0), 44100, 2));
    ASSERT_EQ(testutil::Run(Expand(e.command, wav, out)), 0) << e.command;
    auto reference = FfmpegDecodeS16(out);
    ASSERT_FALSE(reference.empty());

    BassSession session;
    HSTREAM h = BASS_StreamCreateFile(0, out.c_str(), 0, 0, BASS_STREAM_DECODE);
    ASSERT_NE(h, 0u) << "error " << BASS_ErrorGetCode();
    BASS_CHANNELINFO info{};
    ASSERT_TRUE(BASS_ChannelGetInfo(h, &info));
    EXPECT_EQ(info.freq, e.rate);
    EXPECT_EQ(info.chans, e.chans);
    EXPECT_EQ(info.flags & BASS_SAMPLE_8BITS, 0u);
    EXPECT_GT(BASS_ChannelGetLength(h, BASS_POS_BYTE), 0u);
    auto bytes = DecodeChannel(h);
    auto decoded = AsS16(bytes);
    EXPECT_EQ(decoded.size(), reference.size());
    int diff = MaxDifference(decoded, reference);
    EXPECT_GE(diff, 0);
    EXPECT_LE(diff, 1);
    // Position counts every delivered byte; at the end the length is the delivered total.
    EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), bytes.size());
    EXPECT_EQ(BASS_ChannelGetLength(h, BASS_POS_BYTE), bytes.size());
    EXPECT_EQ(BASS_StreamGetFilePosition(h, BASS_FILEPOS_END), ReadFileBytes(out).size());
    EXPECT_EQ(BASS_ChannelGetData(h, std::vector<uint8_t>(64).data(), 64), kEnd);
    EXPECT_TRUE(BASS_StreamFree(h));
}

INSTANTIATE_TEST_SUITE_P(
    Layer, LayerFormats,
    ::testing::Values(
        Encoded{"wav", "a.wav", "cp %IN% %OUT%", 44100, 2},
        Encoded{"aiff", "a.aiff", "sox %IN% %OUT%", 44100, 2},
        Encoded{"mp3", "a.mp3", "lame --quiet -b 128 %IN% %OUT%", 44100, 2},
        Encoded{"mp2", "a.mp2", "ffmpeg -v error -i %IN% -c:a mp2 %OUT%", 44100, 2},
        Encoded{"vorbis", "a.ogg", "oggenc -Q %IN% -o %OUT%", 44100, 2},
        Encoded{"flac", "a.flac", "flac -s -f %IN% -o %OUT%", 44100, 2},
        Encoded{"wavpack", "a.wv", "wavpack -q -y %IN% -o %OUT%", 44100, 2},
        Encoded{"aac_mp4", "a.m4a", "ffmpeg -v error -i %IN% -c:a aac %OUT%", 44100, 2},
        Encoded{"aac_adts", "a.aac", "ffmpeg -v error -i %IN% -c:a aac %OUT%", 44100, 2},
        Encoded{"alac", "b.m4a", "ffmpeg -v error -i %IN% -c:a alac %OUT%", 44100, 2},
        Encoded{"adx", "a.adx", "ffmpeg -v error -i %IN% -c:a adpcm_adx %OUT%", 44100, 2},
        Encoded{"tta", "a.tta", "ffmpeg -v error -i %IN% %OUT%", 44100, 2},
        Encoded{"wma", "a.wma", "ffmpeg -v error -i %IN% -c:a wmav2 %OUT%", 44100, 2},
        Encoded{"speex", "a.spx", "ffmpeg -v error -i %IN% -ar 16000 -ac 1 -c:a libspeex %OUT%", 16000, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// TTA and WavPack streams are opened from their headers, their first frame decoded on the first
// read: the stored width and the samples are still the decoder's.
TEST(Layer, LosslessStreamsOpenedFromTheirHeaders) {
    TempDir dir;
    std::string wav = dir.file("in.wav");
    ASSERT_TRUE(WriteWav16(wav, StereoTones(440, 660, 44100, 0.5), 44100, 2));
    BassSession session;
    struct Case {
        const char* file;
        const char* command;
        DWORD bits;
        const char* encode = nullptr;  // default: wavpack or ffmpeg by the extension
        DWORD channels = 2, rate = 44100, mask = 0;
        bool isFloat = false;
    };
    // WavPack floats, custom rates and multichannel files, lossless and hybrid, as the wavpack
    // tool and FFmpeg write them, state their format in the first block's metadata.
    const char* ffWavPack = "ffmpeg -v error -i %IN% -c:a wavpack %OUT%";
    for (const Case& c : {Case{"a8.wv", "sox %IN% -b 8 %OUT%", 8}, Case{"a24.wv", "sox %IN% -b 24 %OUT%", 24},
                          Case{"m.wv", "sox %IN% -c 1 %OUT%", 16, nullptr, 1}, Case{"a24.tta", "sox %IN% -b 24 %OUT%", 24},
                          Case{"a.tta", "cp %IN% %OUT%", 16},
                          Case{"f.wv", "sox %IN% -e floating-point -b 32 %OUT%", 32, nullptr, 2, 44100, 0, true},
                          Case{"fh.wv", "sox %IN% -e floating-point -b 32 %OUT%", 32, "wavpack -q -y -b4 -x %IN% -o %OUT%", 2, 44100, 0, true},
                          Case{"ff.wv", "sox %IN% -e floating-point -b 32 %OUT%", 32, ffWavPack, 2, 44100, 0, true},
                          Case{"r.wv", "sox %IN% -r 12345 %OUT%", 16, "wavpack -q -y -hh %IN% -o %OUT%", 2, 12345},
                          Case{"rm.wv", "sox %IN% -r 12345 -c 1 -b 24 %OUT%", 24, "wavpack -q -y -b3 %IN% -o %OUT%", 1, 12345},
                          Case{"rf.wv", "sox %IN% -r 12345 %OUT%", 16, ffWavPack, 2, 12345},
                          Case{"c6.wv", "sox -M %IN% %IN% %IN% %OUT%", 16, nullptr, 6, 44100, 0x3F},
                          Case{"c6h.wv", "sox -M %IN% %IN% %IN% -b 24 %OUT%", 24, "wavpack -q -y -b3 -x %IN% -o %OUT%", 6, 44100, 0x3F},
                          Case{"c6f.wv", "sox -M %IN% %IN% %IN% %OUT%", 16, ffWavPack, 6, 44100, 0x3F}}) {
        SCOPED_TRACE(c.file);
        std::string out = dir.file(c.file), src = dir.file(std::string(c.file) + ".wav");
        ASSERT_EQ(testutil::Run(Expand(c.command, wav, src)), 0);
        const std::string encode = c.encode                                 ? c.encode
                                   : std::string(c.file).ends_with(".wv") ? "wavpack -q -y %IN% -o %OUT%"
                                                                          : "ffmpeg -v error -i %IN% %OUT%";
        ASSERT_EQ(testutil::Run(Expand(encode, src, out)), 0);
        HSTREAM h = BASS_StreamCreateFile(0, out.c_str(), 0, 0, BASS_STREAM_DECODE);
        ASSERT_NE(h, 0u);
        DWORD bits = 0;
        BOOL isFloat = 0;
        ASSERT_TRUE(BASS_ChannelGetWideFormat(h, &bits, &isFloat));
        EXPECT_EQ(bits, c.bits);
        EXPECT_EQ(isFloat != 0, c.isFloat);
        BASS_CHANNELINFO info{};
        ASSERT_TRUE(BASS_ChannelGetInfo(h, &info));
        EXPECT_EQ(info.chans, c.channels);
        EXPECT_EQ(info.freq, c.rate);
        if (c.mask) {
            EXPECT_EQ(BASS_ChannelGetChannelMask(h), c.mask);
        }
        EXPECT_EQ(AsS16(DecodeChannel(h)), FfmpegDecodeS16(out));
        EXPECT_TRUE(BASS_StreamFree(h));
    }
}

TEST(Layer, EightBitPcmStaysEightBit) {
    TempDir dir;
    std::string wav = dir.file("in.wav"), u8 = dir.file("u8.wav");
    ASSERT_TRUE(WriteWav16(wav, StereoTones(300, 500, 22050, 0.5), 22050, 2));
    ASSERT_EQ(testutil::Run("ffmpeg -v error -i " + Quote(wav) + " -c:a pcm_u8 " + Quote(u8)), 0);
    std::string reference;
    testutil::Run("ffmpeg -v error -i " + Quote(u8) + " -f u8 -", &reference);

    BassSession session(false, false);
    HSTREAM h = BASS_StreamCreateFile(0, u8.c_str(), 0, 0, BASS_STREAM_DECODE);
    ASSERT_NE(h, 0u);
    BASS_CHANNELINFO info{};
    BASS_ChannelGetInfo(h, &info);
    EXPECT_EQ(info.flags & BASS_SAMPLE_8BITS, BASS_SAMPLE_8BITS);
    EXPECT_EQ(BASS_ChannelGetLength(h, BASS_POS_BYTE), reference.size());
    auto bytes = DecodeChannel(h, 1000);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), reference);
}

TEST(Layer, AddOnsWidenWhatStreamsAccept) {
    TempDir dir;
    std::string wav = dir.file("in.wav"), flac = dir.file("a.flac"), cda = dir.file("Track01.cda");
    ASSERT_TRUE(WriteWav16(wav, StereoTones(440, 660, 44100, 0.2), 44100, 2));
    ASSERT_EQ(testutil::Run("flac -s -f " + Quote(wav) + " -o " + Quote(flac)), 0);
    // The record a CD track's file carries: RIFF "CDDA", format chunk with track number 1.
    const uint8_t head[] = {'R', 'I', 'F', 'F', 36, 0, 0, 0, 'C', 'D', 'D', 'A', 'f', 'm', 't', ' ', 24, 0, 0, 0, 1, 0, 1, 0};
    std::vector<uint8_t> record(44, 0);
    std::memcpy(record.data(), head, sizeof head);
    ASSERT_TRUE(WriteFileBytes(cda, record));
    {
        BassSession session(false, false);
        EXPECT_EQ(BASS_StreamCreateFile(0, flac.c_str(), 0, 0, BASS_STREAM_DECODE), 0u);
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEFORM);
        EXPECT_EQ(BASS_ChannelCount(), 0u);
        HPLUGIN plugin = BASS_PluginLoad((BinDir() + "/addons/bassflac.so").c_str(), 0);
        ASSERT_NE(plugin, 0u);
        EXPECT_EQ(BASS_PluginLoad((BinDir() + "/addons/bassflac.so").c_str(), 0), 0u);
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
        HSTREAM h = BASS_StreamCreateFile(0, flac.c_str(), 0, 0, BASS_STREAM_DECODE);
        ASSERT_NE(h, 0u);
        EXPECT_TRUE(BASS_ChannelLengthStated(h));
        EXPECT_EQ(AsS16(DecodeChannel(h)), FfmpegDecodeS16(flac));
        // Freeing the add-on withdraws the format again; a stream already open keeps decoding
        // (the add-on's own decoder stays loaded for it).
        HSTREAM open = BASS_StreamCreateFile(0, flac.c_str(), 0, 0, BASS_STREAM_DECODE);
        ASSERT_NE(open, 0u);
        EXPECT_TRUE(BASS_PluginFree(plugin));
        EXPECT_EQ(BASS_StreamCreateFile(0, flac.c_str(), 0, 0, BASS_STREAM_DECODE), 0u);
        EXPECT_EQ(AsS16(DecodeChannel(open)), FfmpegDecodeS16(flac));
        EXPECT_TRUE(BASS_StreamFree(open));
        EXPECT_TRUE(BASS_StreamFree(h));
        EXPECT_EQ(BASS_PluginLoad(dir.file("missing.so").c_str(), 0), 0u);
        EXPECT_EQ(BASS_PluginLoad(wav.c_str(), 0), 0u);
    }
    {
        // 24-bit FLAC: the 16-bit delivery keeps the top 16 bits as FFmpeg's does, the wide one is
        // the stored value exactly.
        std::string flac24 = dir.file("b.flac");
        ASSERT_EQ(testutil::Run("sox " + Quote(wav) + " -b 24 " + Quote(flac24) + " vol 0.7"), 0);
        std::string s32;
        ASSERT_EQ(testutil::Run("ffmpeg -v error -i " + Quote(flac24) + " -f s32le -", &s32), 0);
        BassSession session(true, false);
        HSTREAM h = BASS_StreamCreateFile(0, flac24.c_str(), 0, 0, BASS_STREAM_DECODE);
        ASSERT_NE(h, 0u);
        EXPECT_EQ(AsS16(DecodeChannel(h)), FfmpegDecodeS16(flac24));
        BASS_StreamFree(h);
        h = BASS_StreamCreateFile(0, flac24.c_str(), 0, 0, BASS_STREAM_DECODE);
        DWORD bits = 0;
        BOOL isFloat = 1;
        ASSERT_TRUE(BASS_ChannelGetWideFormat(h, &bits, &isFloat));
        EXPECT_EQ(bits, 24u);
        EXPECT_FALSE(isFloat);
        ASSERT_TRUE(BASS_ChannelSetWide(h));
        auto wide = DecodeChannel(h, 8 * 2 * 1000);
        ASSERT_EQ(wide.size() / 8, s32.size() / 4);
        size_t differing = 0;
        for (size_t i = 0; i < s32.size() / 4; ++i) {
            int32_t ref;
            double got;
            std::memcpy(&ref, s32.data() + 4 * i, 4);
            std::memcpy(&got, wide.data() + 8 * i, 8);
            differing += got != ref / 2147483648.0;
        }
        EXPECT_EQ(differing, 0u);
        // Position and length count the 16-bit PCM's bytes.
        EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), s32.size() / 2);
        BASS_StreamFree(h);
    }
    {
        // No drive on this machine: the CD track fails to open and leaves nothing behind.
        BassSession session(true, false);
        EXPECT_EQ(BASS_StreamCreateFile(0, cda.c_str(), 0, 0, BASS_STREAM_DECODE), 0u);
        EXPECT_EQ(BASS_ChannelCount(), 0u);
    }
}

TEST(Layer, InitialisationAndHandles) {
    EXPECT_EQ(BASS_GetVersion() >> 16, BASSVERSION);
    EXPECT_EQ(BASS_StreamCreateFile(0, "/nonexistent.wav", 0, 0, BASS_STREAM_DECODE), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
    EXPECT_FALSE(BASS_Init(1, 44100, 0, nullptr, nullptr));
    BassSession session(false, false);
    ASSERT_TRUE(session.ok());
    EXPECT_FALSE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
    TempDir dir;
    std::string wav = dir.file("a.wav"), junk = dir.file("junk.mp3");
    ASSERT_TRUE(WriteWav16(wav, Sine(440, 8000, 1, 0.1), 8000, 1));
    ASSERT_TRUE(WriteFileBytes(junk, std::vector<uint8_t>(5000, 0x5A)));
    EXPECT_EQ(BASS_StreamCreateFile(0, junk.c_str(), 0, 0, BASS_STREAM_DECODE), 0u);
    EXPECT_EQ(BASS_MusicLoad(0, junk.c_str(), 0, 0, BASS_MUSIC_DECODE, 0), 0u);
    HSTREAM h = BASS_StreamCreateFile(0, wav.c_str(), 0, 0, BASS_STREAM_DECODE);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(BASS_ChannelCount(), 1u);
    EXPECT_FALSE(BASS_MusicFree(h));  // a stream is not a module
    EXPECT_DOUBLE_EQ(BASS_ChannelBytes2Seconds(h, 16000), 1.0);
    // Requests smaller than a frame deliver nothing but do not end the stream.
    uint8_t one;
    EXPECT_EQ(BASS_ChannelGetData(h, &one, 1), 0u);
    EXPECT_EQ(DecodeChannel(h).size(), 1600u);
    EXPECT_TRUE(BASS_StreamFree(h));
    EXPECT_FALSE(BASS_StreamFree(h));
    EXPECT_EQ(BASS_ChannelGetLength(h, BASS_POS_BYTE), static_cast<QWORD>(-1));
    // Freeing the layer releases whatever is still open.
    h = BASS_StreamCreateFile(0, wav.c_str(), 0, 0, BASS_STREAM_DECODE);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(BASS_Free());
    EXPECT_EQ(BASS_ChannelCount(), 0u);
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
}

TEST(Layer, DamagedFilesEndWithoutFailing) {
    TempDir dir;
    std::string wav = dir.file("in.wav"), mp3 = dir.file("a.mp3"), flac = dir.file("a.flac");
    ASSERT_TRUE(WriteWav16(wav, StereoTones(440, 660, 44100, 2.0), 44100, 2));
    ASSERT_EQ(testutil::Run("lame --quiet -b 128 " + Quote(wav) + " " + Quote(mp3)), 0);
    ASSERT_EQ(testutil::Run("flac -s -f " + Quote(wav) + " -o " + Quote(flac)), 0);
    auto bytes = ReadFileBytes(mp3);
    for (size_t i = bytes.size() / 3; i < bytes.size() / 3 + 3000; ++i) bytes[i] = static_cast<uint8_t>(i * 7919);
    WriteFileBytes(mp3, bytes);
    auto fl = ReadFileBytes(flac);
    fl.resize(fl.size() / 2);
    WriteFileBytes(flac, fl);

    BassSession session;
    HSTREAM h = BASS_StreamCreateFile(0, mp3.c_str(), 0, 0, BASS_STREAM_DECODE);
    ASSERT_NE(h, 0u);
    // Garbled frames are skipped: close to the full two seconds still come out.
    EXPECT_GT(DecodeChannel(h).size(), 44100u * 4 * 3 / 2);
    h = BASS_StreamCreateFile(0, flac.c_str(), 0, 0, BASS_STREAM_DECODE);
    ASSERT_NE(h, 0u);
    QWORD estimated = BASS_ChannelGetLength(h, BASS_POS_BYTE);
    auto got = DecodeChannel(h);
    EXPECT_GT(got.size(), 44100u * 4 / 2);
    EXPECT_LT(got.size(), estimated);
    EXPECT_EQ(BASS_ChannelGetLength(h, BASS_POS_BYTE), got.size());
}

// ID3v2.3 tag with one text frame, then junk before the first frame, and an ID3v1 tag at the end.
TEST(Layer, Id3TagsAndFirstFrameOffset) {
    TempDir dir;
    std::string wav = dir.file("in.wav"), raw = dir.file("raw.mp3"), mp3 = dir.file("t.mp3");
    ASSERT_TRUE(WriteWav16(wav, StereoTones(440, 660, 44100, 0.5), 44100, 2));
    ASSERT_EQ(testutil::Run("lame --quiet -b 128 " + Quote(wav) + " " + Quote(raw)), 0);
    std::vector<uint8_t> frame = {'T', 'I', 'T', '2', 0, 0, 0, 6, 0, 0, 0, 'T', 'i', 't', 'l', 'e'};
    std::vector<uint8_t> id3v2 = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, static_cast<uint8_t>(frame.size() + 20)};
    id3v2.insert(id3v2.end(), frame.begin(), frame.end());
    id3v2.resize(10 + frame.size() + 20, 0);  // padding
    std::vector<uint8_t> id3v1(128, 0);
    std::memcpy(id3v1.data(), "TAGSong", 7);
    id3v1[127] = 12;
    std::vector<uint8_t> file = id3v2;
    for (uint8_t junk : {0x00, 0x12, 0xFF}) file.push_back(junk);  // junk, including a lone sync byte
    auto body = ReadFileBytes(raw);
    file.insert(file.end(), body.begin(), body.end());
    file.insert(file.end(), id3v1.begin(), id3v1.end());
    ASSERT_TRUE(WriteFileBytes(mp3, file));

    BassSession session(false, false);
    HSTREAM h = BASS_StreamCreateFile(0, mp3.c_str(), 0, 0, BASS_STREAM_DECODE);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(BASS_StreamGetFilePosition(h, BASS_FILEPOS_START), id3v2.size() + 3);
    EXPECT_EQ(BASS_StreamGetFilePosition(h, BASS_FILEPOS_END), file.size());
    const char* v1 = BASS_ChannelGetTags(h, BASS_TAG_ID3);
    ASSERT_NE(v1, nullptr);
    EXPECT_EQ(std::memcmp(v1, id3v1.data(), 128), 0);
    const char* v2 = BASS_ChannelGetTags(h, BASS_TAG_ID3V2);
    ASSERT_NE(v2, nullptr);
    EXPECT_EQ(std::memcmp(v2, id3v2.data(), id3v2.size()), 0);
    // The tags and the junk change nothing about the audio: it decodes like the bare stream, with
    // the encoder's delay and padding trimmed (half a second exactly).
    auto decoded = AsS16(DecodeChannel(h));
    EXPECT_EQ(decoded.size(), 44100u);
    int diff = MaxDifference(decoded, FfmpegDecodeS16(raw));
    EXPECT_GE(diff, 0);
    EXPECT_LE(diff, 1);
}

// Free-format MPEG audio (no bit-rate index in the headers) decodes like the reference decoder's
// command-line tool, with the same byte positions as any other MPEG file.
TEST(Layer, FreeFormatMpegAudioDecodes) {
    TempDir dir;
    std::string wav = dir.file("in.wav"), mp3 = dir.file("free.mp3");
    ASSERT_TRUE(WriteWav16(wav, StereoTones(440, 660, 44100, 1.0), 44100, 2));
    ASSERT_EQ(testutil::Run("lame --quiet --freeformat -b 300 " + Quote(wav) + " " + Quote(mp3)), 0);
    std::string out;
    ASSERT_EQ(testutil::Run("mpg123 -q -s " + Quote(mp3), &out), 0);
    std::vector<int16_t> reference(out.size() / 2);
    std::memcpy(reference.data(), out.data(), reference.size() * 2);
    ASSERT_GT(reference.size(), 44100u);

    BassSession session(false, false);
    HSTREAM h = BASS_StreamCreateFile(0, mp3.c_str(), 0, 0, BASS_STREAM_DECODE);
    ASSERT_NE(h, 0u) << "error " << BASS_ErrorGetCode();
    BASS_CHANNELINFO info{};
    ASSERT_TRUE(BASS_ChannelGetInfo(h, &info));
    EXPECT_EQ(info.freq, 44100u);
    EXPECT_EQ(info.chans, 2u);
    EXPECT_GT(BASS_ChannelGetLength(h, BASS_POS_BYTE), 0u);
    EXPECT_EQ(BASS_StreamGetFilePosition(h, BASS_FILEPOS_START), 0u);
    EXPECT_EQ(BASS_StreamGetFilePosition(h, BASS_FILEPOS_END), ReadFileBytes(mp3).size());
    auto bytes = DecodeChannel(h);
    int diff = MaxDifference(AsS16(bytes), reference);
    EXPECT_GE(diff, 0);
    EXPECT_LE(diff, 1);
    EXPECT_EQ(BASS_ChannelGetLength(h, BASS_POS_BYTE), bytes.size());
    EXPECT_TRUE(BASS_StreamFree(h));
}

TEST(Layer, ModuleRendersAtRateForExactLength) {
    TempDir dir;
    std::string path = dir.file("tiny.mod");
    ASSERT_TRUE(WriteFileBytes(path, TinyModule()));
    BassSession session(false, false);
    EXPECT_EQ(BASS_StreamCreateFile(0, path.c_str(), 0, 0, BASS_STREAM_DECODE), 0u);
    HMUSIC h = BASS_MusicLoad(0, path.c_str(), 0, 0, BASS_MUSIC_DECODE | BASS_MUSIC_PRESCAN | BASS_MUSIC_RAMP, 22050);
    ASSERT_NE(h, 0u);
    BASS_CHANNELINFO info{};
    BASS_ChannelGetInfo(h, &info);
    EXPECT_EQ(info.freq, 22050u);
    EXPECT_EQ(info.chans, 2u);
    QWORD length = BASS_ChannelGetLength(h, BASS_POS_BYTE);
    EXPECT_NEAR(static_cast<double>(length) / 4, 1.92 * 22050, 2);
    EXPECT_EQ(BASS_StreamGetFilePosition(h, BASS_FILEPOS_END), static_cast<QWORD>(-1));
    auto bytes = DecodeChannel(h, 4000);
    EXPECT_EQ(bytes.size(), length);
    EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), length);
    auto pcm = AsS16(bytes);
    EXPECT_GT(RmsLevel(pcm, 2, 0), 0.01);
    EXPECT_FALSE(BASS_StreamFree(h));  // a module is freed as a module
    EXPECT_TRUE(BASS_MusicFree(h));
    EXPECT_EQ(BASS_ChannelCount(), 0u);
}

TEST(Layer, MidiRendersForTheTempoMapLength) {
    auto smf = TinyMidi();
    auto timing = sonavert::bass::ParseSmfTiming(smf.data(), smf.size());
    ASSERT_TRUE(timing.valid);
    EXPECT_EQ(timing.endTick, 1920u);
    EXPECT_DOUBLE_EQ(timing.seconds, 1.5);
    // Every truncation parses without reading past the end; an RMID wrapper gives the same time.
    for (size_t n = 0; n < smf.size(); ++n) {
        std::vector<uint8_t> cut(smf.begin(), smf.begin() + n);
        auto t = sonavert::bass::ParseSmfTiming(cut.data(), cut.size());
        EXPECT_LE(t.seconds, 1.5);
    }
    std::vector<uint8_t> rmid = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'R', 'M', 'I', 'D', 'd', 'a', 't', 'a',
                                 static_cast<uint8_t>(smf.size()), 0, 0, 0};
    rmid.insert(rmid.end(), smf.begin(), smf.end());
    size_t size = rmid.size();
    const uint8_t* inner = sonavert::bass::FindSmf(rmid.data(), size);
    ASSERT_EQ(size, smf.size());
    EXPECT_DOUBLE_EQ(sonavert::bass::ParseSmfTiming(inner, size).seconds, 1.5);

    TempDir dir;
    std::string path = dir.file("tune.mid");
    ASSERT_TRUE(WriteFileBytes(path, smf));
    {
        BassSession session;
        HSTREAM h = BASS_MIDI_StreamCreateFile(0, path.c_str(), 0, 0, BASS_STREAM_DECODE, 32000);
        ASSERT_NE(h, 0u);
        BASS_CHANNELINFO info{};
        BASS_ChannelGetInfo(h, &info);
        EXPECT_EQ(info.freq, 32000u);
        EXPECT_EQ(info.chans, 2u);
        EXPECT_EQ(BASS_ChannelGetLength(h, BASS_POS_BYTE), 48000u * 4);
        // The file's size, for the bit rate: size / (seconds * 125).
        EXPECT_EQ(BASS_StreamGetFilePosition(h, BASS_FILEPOS_END), smf.size());
        auto pcm = AsS16(DecodeChannel(h, 4096));
        EXPECT_EQ(pcm.size(), 48000u * 2);
        EXPECT_GT(RmsLevel(pcm, 2, 0), 0.005);
        EXPECT_FALSE(BASS_MusicFree(h));
        EXPECT_TRUE(BASS_StreamFree(h));
    }
    {
        // Without a SoundFont the file still has its length, and renders silence (dither only).
        BassSession session(false, false);
        HSTREAM h = BASS_MIDI_StreamCreateFile(0, path.c_str(), 0, 0, BASS_STREAM_DECODE, 0);
        ASSERT_NE(h, 0u);
        auto pcm = AsS16(DecodeChannel(h));
        EXPECT_EQ(pcm.size(), 66150u * 2);
        EXPECT_LT(RmsLevel(pcm, 2, 0), 1e-4);
        EXPECT_EQ(BASS_MIDI_FontInit(path.c_str(), 0), 0u);  // not a SoundFont
    }
}

// A single-track Standard MIDI File of 480 ticks per quarter with the given events.
std::vector<uint8_t> Smf(const std::vector<uint8_t>& events) {
    const size_t size = events.size() + 4;  // with the end-of-track event
    std::vector<uint8_t> m = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0};
    m.insert(m.end(), {'M', 'T', 'r', 'k', 0, 0, static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)});
    m.insert(m.end(), events.begin(), events.end());
    m.insert(m.end(), {0x00, 0xFF, 0x2F, 0});
    return m;
}

// Peak of the rendered file in dBFS, and whether any sample reached full scale.
std::pair<double, bool> RenderedPeak(const std::vector<uint8_t>& smf) {
    TempDir dir;
    std::string path = dir.file("level.mid");
    EXPECT_TRUE(WriteFileBytes(path, smf));
    BassSession session(false, true);
    HSTREAM h = BASS_MIDI_StreamCreateFile(0, path.c_str(), 0, 0, BASS_STREAM_DECODE, 44100);
    EXPECT_NE(h, 0u);
    auto pcm = AsS16(DecodeChannel(h));
    EXPECT_GT(pcm.size(), 44100u);
    BASS_StreamFree(h);
    int peak = 1;
    for (int16_t s : pcm) peak = std::max(peak, std::abs(int(s)));
    return {20 * std::log10(peak / 32768.0), peak >= 32767};
}

// Files played the way ordinary General MIDI files play (velocity 80, channel volume 100) come out
// at a normal level: chords on three channels (piano, strings, bass) peak between -12 and
// -0.1 dBFS without clipping, and a sparse melody with bass and drums is not buried either.
TEST(Layer, MidiRendersAtANormalLevel) {
    std::vector<uint8_t> chords;
    const uint8_t programs[3] = {0, 48, 33};
    const std::vector<uint8_t> bars[2][3] = {{{60, 64, 67}, {48, 55, 64}, {36}}, {{57, 60, 65}, {53, 60, 65}, {41}}};
    for (uint8_t c = 0; c < 3; ++c)
        chords.insert(chords.end(), {0x00, static_cast<uint8_t>(0xC0 | c), programs[c], 0x00,
                                     static_cast<uint8_t>(0xB0 | c), 7, 100});
    for (const auto& bar : bars) {
        for (uint8_t c = 0; c < 3; ++c)
            for (uint8_t note : bar[c]) chords.insert(chords.end(), {0x00, static_cast<uint8_t>(0x90 | c), note, 80});
        chords.insert(chords.end(), {0x87, 0x40});  // 960 ticks: one second at the default tempo
        bool first = true;
        for (uint8_t c = 0; c < 3; ++c)
            for (uint8_t note : bar[c]) {
                if (!first) chords.push_back(0x00);
                first = false;
                chords.insert(chords.end(), {static_cast<uint8_t>(0x80 | c), note, 0});
            }
    }
    auto [chordPeak, chordsClip] = RenderedPeak(Smf(chords));
    EXPECT_GE(chordPeak, -12.0);
    EXPECT_LE(chordPeak, -0.1);
    EXPECT_FALSE(chordsClip);

    std::vector<uint8_t> melody = {0x00, 0xC0, 0, 0x00, 0xC1, 33, 0x00, 0xB0, 7, 100, 0x00, 0xB1, 7, 100, 0x00, 0xB9, 7, 100};
    for (uint8_t i = 0; i < 8; ++i) {
        const uint8_t note = static_cast<uint8_t>(60 + i % 5);
        melody.insert(melody.end(), {0x00, 0x90, note, 80, 0x00, 0x91, 36, 80, 0x00, 0x99, 36, 80, 0x00, 0x99, 42, 80,
                                     0x83, 0x60, 0x80, note, 0, 0x00, 0x81, 36, 0, 0x00, 0x89, 36, 0, 0x00, 0x89, 42, 0});
    }
    auto [melodyPeak, melodyClips] = RenderedPeak(Smf(melody));
    EXPECT_GE(melodyPeak, -18.0);
    EXPECT_FALSE(melodyClips);
}

}  // namespace

namespace {

std::vector<uint8_t> Track(const std::vector<uint8_t>& events) {
    std::vector<uint8_t> t(8 + events.size());
    const uint8_t head[8] = {'M', 'T', 'r', 'k', 0, 0, static_cast<uint8_t>(events.size() >> 8),
                             static_cast<uint8_t>(events.size())};
    std::copy(head, head + 8, t.begin());
    std::copy(events.begin(), events.end(), t.begin() + 8);
    return t;
}

// Renders a file at 44100 Hz; gives the peak and the channel's verdict on it.
int RenderedPeakOf(const std::vector<uint8_t>& smf, std::string* failure) {
    TempDir dir;
    std::string path = dir.file("hostile.mid");
    EXPECT_TRUE(WriteFileBytes(path, smf));
    BassSession session(false, true);
    HSTREAM h = BASS_MIDI_StreamCreateFile(0, path.c_str(), 0, 0, BASS_STREAM_DECODE, 44100);
    if (!h) return -1;
    auto pcm = AsS16(DecodeChannel(h));
    const char* why = BASS_ChannelGetFailure(h);
    *failure = why ? why : "";
    BASS_StreamFree(h);
    int peak = 0;
    for (int16_t s : pcm) peak = std::max(peak, std::abs(int(s)));
    return peak;
}

}  // namespace

// Files FluidSynth refuses whole (more tracks than its limit, a header counting tracks that are
// not there, a track length past the end) render what they hold; notes that render silent are
// the channel's failure; a file claiming more than 12 hours is refused at open.
TEST(Layer, HostileMidiFilesRenderWhatTheyHold) {
    const std::vector<uint8_t> note = {0x00, 0xC0, 0, 0x00, 0x90, 60, 100, 0x87, 0x40, 0x80, 60, 0, 0x00, 0xFF, 0x2F, 0};
    const std::vector<uint8_t> empty = {0x00, 0xFF, 0x2F, 0};
    auto header = [](int format, int tracks) {
        return std::vector<uint8_t>{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, static_cast<uint8_t>(format),
                                    static_cast<uint8_t>(tracks >> 8), static_cast<uint8_t>(tracks), 0x01, 0xE0};
    };
    std::vector<uint8_t> many = header(1, 130);
    for (int i = 0; i < 129; ++i) {
        auto t = Track(empty);
        many.insert(many.end(), t.begin(), t.end());
    }
    auto last = Track(note);  // the only notes are in the 130th track
    many.insert(many.end(), last.begin(), last.end());
    std::vector<uint8_t> missing = header(1, 5);
    missing.insert(missing.end(), last.begin(), last.end());
    std::vector<uint8_t> overlong = header(0, 1);
    overlong.insert(overlong.end(), last.begin(), last.end());
    overlong[14 + 6] = 0x13;  // the track claims 5000 bytes
    std::vector<uint8_t> muted = header(0, 1);
    auto quiet = Track({0x00, 0xB0, 7, 0, 0x00, 0xB0, 11, 0, 0x00, 0x90, 60, 100, 0x87, 0x40, 0x80, 60, 0, 0x00, 0xFF,
                        0x2F, 0});
    muted.insert(muted.end(), quiet.begin(), quiet.end());

    std::string failure;
    for (const auto* smf : {&many, &missing, &overlong}) {
        EXPECT_GT(RenderedPeakOf(*smf, &failure), 500) << smf->size();
        EXPECT_EQ(failure, "");
    }
    EXPECT_LE(RenderedPeakOf(muted, &failure), 4);
    EXPECT_EQ(failure, "the MIDI file's notes rendered no sound");

    // Tempo 0xFFFFFF and a delta of 0x0FFFFFFF at one tick per quarter: about 4.5e9 seconds.
    std::vector<uint8_t> years = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 1};
    auto forever = Track({0x00, 0xFF, 0x51, 3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x90, 60, 100, 0x00, 0xFF, 0x2F, 0});
    years.insert(years.end(), forever.begin(), forever.end());
    TempDir dir;
    std::string path = dir.file("years.mid");
    ASSERT_TRUE(WriteFileBytes(path, years));
    BassSession session(false, true);
    EXPECT_EQ(BASS_MIDI_StreamCreateFile(0, path.c_str(), 0, 0, BASS_STREAM_DECODE, 44100), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_TOOLONG);
}
