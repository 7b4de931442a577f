// The WMA/WMV/ASF family: written files as ffprobe and ffmpeg see them, attributes read back,
// the mono pick, failures that leave no target, and a missing Windows Media runtime.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <tuple>

#include "engine/Batch.h"
#include "engine/Pipeline.h"
#include "sources/CodecHost.h"
#include "support/FakeDriver.h"
#include "support/TestUtil.h"
#include "winmedia/WindowsMediaRuntime.h"
#include "sources/WindowsMediaSource.h"

using namespace sonavert;
namespace fs = std::filesystem;

namespace {

struct WmFixture {
    WmFixture() { host.Start(testutil::BinDir() + "/"); }
    CodecHost host;
    testutil::TempDir dir;
    Settings settings;
    testutil::FakeDriver driver;
    SourceFactoryContext sources;
    std::string reason;
    const WmaFormatList* formats = nullptr;

    int Convert(int format, const std::string& source, const std::string& target, int sourceType = kSourceWav) {
        ConversionContext context{settings, driver, sources, {}};
        context.wmaFormats = formats;
        ConversionRequest request{sourceType, source, target, 3, format};
        const int result = ConvertFile(format, request, context);
        reason = context.failureReason;
        return result;
    }
    // Stereo 44.1 kHz: 440 Hz at half scale on the left, 1000 Hz at quarter scale on the right.
    std::string TwoTones(double seconds = 2.0) { return testutil::WriteTwoToneWav(dir.file("tones.wav"), seconds); }
};

std::string Probe(const std::string& path, const std::string& entries) {
    std::string out;
    testutil::Run("ffprobe -v error -show_entries " + entries + " -of default=nw=1 " + testutil::Quote(path), &out);
    return out;
}

// The decoded tone without its first and last quarter second (encoder delay and padding).
std::vector<int16_t> Middle(const std::vector<int16_t>& v, int channels, int rate) {
    const size_t edge = static_cast<size_t>(rate / 4 * channels);
    if (v.size() <= 2 * edge) return {};
    return std::vector<int16_t>(v.begin() + static_cast<long>(edge), v.end() - static_cast<long>(edge));
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The type and value of the "WM/TrackNumber" attribute as stored in the file: -1 when absent.
std::pair<int, uint32_t> StoredTrack(const std::string& path) {
    const std::vector<uint8_t> bytes = testutil::ReadFileBytes(path);
    std::string name;
    for (char c : std::string("WM/TrackNumber")) name += std::string{c, '\0'};
    name += std::string(2, '\0');
    const std::string all(bytes.begin(), bytes.end());
    const size_t at = all.find(name);
    if (at == std::string::npos || at + name.size() + 8 > bytes.size()) return {-1, 0};
    const uint8_t* p = &bytes[at + name.size()];
    const int type = p[0] | (p[1] << 8);
    const uint32_t value = static_cast<uint32_t>(p[4] | (p[5] << 8) | (p[6] << 16) | (p[7] << 24));
    return {type, value};
}

double Db(double ratio) { return 20.0 * std::log10(ratio); }

// Restores the runtime when a test that made it missing ends, whatever happens.
struct MissingRuntime {
    MissingRuntime() { SetWindowsMediaRuntimeMissingForTesting(true); }
    ~MissingRuntime() { SetWindowsMediaRuntimeMissingForTesting(false); }
};

}  // namespace

TEST(WindowsMediaPipeline, AutomaticStereoWithTypedAttributes) {
    WmFixture f;
    const std::string src = f.TwoTones();
    f.settings.WMAID3TagType = kTagPolicyTyped;
    f.settings.WMATag.TitleAsFileName = 0;
    f.settings.WMATag.Title = "Song";
    f.settings.WMATag.Artist = "Singer";
    f.settings.WMATag.Album = "Record";
    f.settings.WMATag.Year = "2004";
    f.settings.WMATag.Genre = "Jazz";
    f.settings.WMATag.Comment = "Note";
    f.settings.WMATag.Composer = "Writer";
    f.settings.WMATag.Copyright = "Owner";
    f.settings.WMATag.TrackNumType = 1;
    for (int format : {kOutputWma, kOutputWmv, kOutputAsf}) {
        const std::string target = f.dir.file("out" + std::to_string(format));
        ASSERT_EQ(f.Convert(format, src, target), 1) << f.reason;
        const std::string streams = Probe(target, "stream=codec_name,sample_rate,channels,bit_rate");
        EXPECT_EQ(streams, "codec_name=wmav2\nsample_rate=44100\nchannels=2\nbit_rate=128000\n") << format;
    }
    const std::string target = f.dir.file("out7100");
    const std::string tags = Lower(Probe(target, "format_tags=title,artist,album,genre,comment,composer,track,copyright"));
    for (const char* t : {"title=song", "artist=singer", "album=record", "genre=jazz", "comment=note",
                          "composer=writer", "track=3"})
        EXPECT_NE(tags.find(t), std::string::npos) << t << " in " << tags;
    // The track number is a DWORD, and the file still probes whole (its header size unchanged),
    // stating the source's length, not that of the padded last frame and the silent one after.
    EXPECT_EQ(StoredTrack(target), std::make_pair(3, 3u));
    const std::string duration = Probe(target, "format=duration");
    ASSERT_EQ(duration.rfind("duration=", 0), 0u) << duration;
    EXPECT_NEAR(std::stod(duration.substr(9)), 2.0, 0.001);
    // Each content-description text is stored once (the muxer also copies it into the extended
    // attributes), and a second reader agrees on the length.
    std::string counted;
    testutil::Run("/usr/bin/python3 -c \"import sys, mutagen.asf; a = mutagen.asf.ASF(sys.argv[1]); "
                  "print(' '.join(str(len(a.tags.get(k, []))) for k in ('Title', 'Author', 'Copyright')), "
                  "round(a.info.length, 3))\" " + testutil::Quote(target), &counted);
    EXPECT_EQ(counted, "1 1 1 2.0\n");
    EXPECT_NE(tags.find("owner"), std::string::npos) << tags;

    // The tone comes back at its frequency and level.
    const auto decoded = Middle(testutil::FfmpegDecodeS16(target, 2), 2, 44100);
    const auto original = Middle(testutil::FfmpegDecodeS16(src, 2), 2, 44100);
    EXPECT_NEAR(testutil::EstimateFrequency(decoded, 2, 0, 44100), 440.0, 5.0);
    EXPECT_NEAR(testutil::EstimateFrequency(decoded, 2, 1, 44100), 1000.0, 10.0);
    EXPECT_NEAR(Db(testutil::RmsLevel(decoded, 2, 0) / testutil::RmsLevel(original, 2, 0)), 0.0, 1.0);
    EXPECT_NEAR(Db(testutil::RmsLevel(decoded, 2, 1) / testutil::RmsLevel(original, 2, 1)), 0.0, 1.0);

    // Our own source reads the attributes back, and a WMA source converts on with its tags.
    WindowsMediaSource back;
    ASSERT_EQ(back.Open(target, 0), 1);
    TagRecord t;
    back.ReadTags(t);
    EXPECT_EQ(t.title, "Song");
    EXPECT_EQ(t.artist, "Singer");
    EXPECT_EQ(t.album, "Record");
    EXPECT_EQ(t.year, "2004");
    EXPECT_EQ(t.genre, "Jazz");
    EXPECT_EQ(t.comment, "Note");
    EXPECT_EQ(t.composer, "Writer");
    EXPECT_EQ(t.copyright, "Owner");
    EXPECT_EQ(t.track, "3");
    EXPECT_NEAR(back.GetDuration(), 2, 1);
    back.Close();

    f.settings.WMAID3TagType = kTagPolicyTransfer;
    const std::string again = f.dir.file("again.wma");
    ASSERT_EQ(f.Convert(kOutputWma, target, again, kSourceWindowsMedia), 1) << f.reason;
    EXPECT_NE(Probe(again, "format_tags=album").find("album=Record"), std::string::npos);
}

TEST(WindowsMediaPipeline, ManualMonoPicksTheRightChannel) {
    WmFixture f;
    const std::string src = f.TwoTones();
    f.settings.AutoDestWMAEncodingParam = 0;
    f.settings.WMAChannels = 1;
    f.settings.WMASampleRate = 22050;
    f.settings.WMABitRate = 40000;  // between 32 and 48 kbps: the higher wins the tie
    f.settings.MonoType = 2;
    const std::string target = f.dir.file("mono.wma");
    ASSERT_EQ(f.Convert(kOutputWma, src, target), 1) << f.reason;
    EXPECT_EQ(Probe(target, "stream=sample_rate,channels,bit_rate"), "sample_rate=22050\nchannels=1\nbit_rate=48000\n");
    const auto decoded = Middle(testutil::FfmpegDecodeS16(target, 1), 1, 22050);
    EXPECT_NEAR(testutil::EstimateFrequency(decoded, 1, 0, 22050), 1000.0, 10.0);
    EXPECT_NEAR(testutil::RmsLevel(decoded, 1, 0), 0.25 / std::sqrt(2.0), 0.03);

    // MonoType 0: the writer mixes both channels down itself, as (L+R)/2: a -1 dBFS sine on both
    // channels comes back at its level, not 3 dB hot and clipping. And a mono source into a
    // stereo stream keeps its level in both channels.
    f.settings.MonoType = 0;
    f.settings.WMASampleRate = 44100;
    f.settings.WMABitRate = 64000;
    const double amplitude = 32767.0 * std::pow(10.0, -1.0 / 20.0);
    std::vector<int16_t> dual(44100 * 2 * 2), mono(44100 * 2);
    for (size_t i = 0; i < mono.size(); ++i)
        mono[i] = dual[2 * i] = dual[2 * i + 1] = static_cast<int16_t>(amplitude * std::sin(i * 2 * M_PI * 1000 / 44100));
    const std::string dualSrc = f.dir.file("dual.wav"), monoSrc = f.dir.file("mono.wav");
    ASSERT_TRUE(testutil::WriteWav16(dualSrc, dual, 44100, 2));
    ASSERT_TRUE(testutil::WriteWav16(monoSrc, mono, 44100, 1));
    const double sourceRms = testutil::RmsLevel(Middle(mono, 1, 44100), 1, 0);
    ASSERT_EQ(f.Convert(kOutputWma, dualSrc, target), 1) << f.reason;
    EXPECT_NE(Probe(target, "stream=channels").find("channels=1"), std::string::npos);
    const auto mixed = testutil::FfmpegDecodeS16(target, 1);
    EXPECT_NEAR(Db(testutil::RmsLevel(Middle(mixed, 1, 44100), 1, 0) / sourceRms), 0.0, 0.5);
    EXPECT_EQ(std::count_if(mixed.begin(), mixed.end(), [](int16_t v) { return v >= 32767 || v <= -32767; }), 0);
    f.settings.WMAChannels = 2;
    f.settings.WMABitRate = 128000;
    ASSERT_EQ(f.Convert(kOutputWma, monoSrc, target), 1) << f.reason;
    const auto spread = Middle(testutil::FfmpegDecodeS16(target, 2), 2, 44100);
    EXPECT_NEAR(Db(testutil::RmsLevel(spread, 2, 0) / sourceRms), 0.0, 0.5);
    EXPECT_NEAR(Db(testutil::RmsLevel(spread, 2, 1) / sourceRms), 0.0, 0.5);
}

TEST(WindowsMediaPipeline, FailuresLeaveNoTarget) {
    WmFixture f;
    const std::string src = f.TwoTones(0.5);
    const std::string target = f.dir.file("none.wma");
    // No entry of the channel count: the row fails with a reason before a file is made.
    WmaFormatList stereoOnly = {{kWmaSubtypeV9, 44100, 2, 128000}};
    f.formats = &stereoOnly;
    f.settings.AutoDestWMAEncodingParam = 0;
    f.settings.WMAChannels = 1;
    f.settings.MonoType = 1;
    EXPECT_EQ(f.Convert(kOutputWma, src, target), 0);
    EXPECT_FALSE(f.reason.empty());
    EXPECT_FALSE(fs::exists(target));
    // A format the encoder refuses: Begin fails, nothing stays.
    WmaFormatList refused = {{kWmaSubtypeV9, 44100, 2, 1000}};
    f.formats = &refused;
    f.settings.WMAChannels = 2;
    f.settings.WMABitRate = 1000;
    EXPECT_EQ(f.Convert(kOutputWma, src, target), 0);
    EXPECT_FALSE(f.reason.empty());
    EXPECT_FALSE(fs::exists(target));
    // A full disk while samples or the header go out: failure, partial target removed.
    f.formats = nullptr;
    f.settings.AutoDestWMAEncodingParam = 1;
    const std::string longer = f.TwoTones(5.0);
    const int r = testutil::RunWithFileSizeLimit(20000, [&] { return f.Convert(kOutputWma, longer, target); });
    EXPECT_EQ(r, 0);
    EXPECT_FALSE(fs::exists(target));
}

TEST(WindowsMediaPipeline, TheWholeSourceComesBackInPlace) {
    WmFixture f;
    // Silence with a burst at each end: a decoder must give both back at their places, for a
    // source of several frames and for one shorter than a single frame.
    auto burst = [](std::vector<int16_t>& v, size_t from, size_t n) {
        for (size_t i = 0; i < n; ++i) v[(from + i) * 2] = v[(from + i) * 2 + 1] = static_cast<int16_t>(20000 * std::sin(i * 0.3));
    };
    auto firstAndLastLoud = [](const std::vector<int16_t>& v) {
        std::pair<long, long> r{-1, -1};
        for (size_t i = 0; i < v.size(); ++i)
            if (std::abs(v[i]) > 3000) {
                if (r.first < 0) r.first = static_cast<long>(i);
                r.second = static_cast<long>(i);
            }
        return r;
    };
    std::vector<int16_t> longer(10000 * 2, 0);
    burst(longer, 100, 300);
    burst(longer, 9000, 300);
    std::vector<int16_t> stub(64 * 2, 0);
    burst(stub, 10, 40);
    for (const auto& [samples, first, last] : {std::tuple{longer, 100L, 9300L}, std::tuple{stub, 10L, 50L}}) {
        const std::string src = f.dir.file("bursts.wav"), target = f.dir.file("bursts.wma");
        ASSERT_TRUE(testutil::WriteWav16(src, samples, 44100, 2));
        ASSERT_EQ(f.Convert(kOutputWma, src, target), 1) << f.reason;
        const std::vector<int16_t> decoded = testutil::FfmpegDecodeS16(target, 1);
        const auto loud = firstAndLastLoud(decoded);
        EXPECT_NEAR(loud.first, first, 8) << samples.size() / 2 << " frames";
        EXPECT_NEAR(loud.second, last, 8) << samples.size() / 2 << " frames";
        // No more than the padding of the last frame and one frame of silence after it.
        EXPECT_GE(decoded.size(), samples.size() / 2);
        EXPECT_LE(decoded.size(), samples.size() / 2 + 2 * 2048);
    }
}

TEST(WindowsMediaPipeline, MissingRuntime) {
    WmFixture f;
    const std::string src = f.TwoTones(0.5);
    const std::string wma = f.dir.file("in.wma");
    ASSERT_EQ(f.Convert(kOutputWma, src, wma), 1) << f.reason;

    MissingRuntime missing;
    // The family returns at once.
    EXPECT_EQ(f.Convert(kOutputWma, src, f.dir.file("x.wma")), 0);
    EXPECT_FALSE(fs::exists(f.dir.file("x.wma")));
    // The factory asks, then goes on with the next decoder.
    SourceFactoryContext ctx;
    int asked = 0;
    ctx.windowsMediaAvailable = [&] {
        ++asked;
        return EnsureWindowsMedia(f.driver);
    };
    auto source = CreateSource(wma, kSourceWindowsMedia, 0, kPurposeConvert, &ctx);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(dynamic_cast<WindowsMediaSource*>(source.get()), nullptr);
    EXPECT_EQ(asked, 1);
    ASSERT_EQ(f.driver.questions.size(), 1u);
    EXPECT_EQ(f.driver.questions[0], kWindowsMediaQuestion);
    source.reset();
    // The batch asks once and converts nothing.
    f.driver.questions.clear();
    f.driver.answer = true;
    std::vector<BatchItem> items = {{0, kSourceWav, src, {}}};
    BatchState state;
    int converted = 0;
    auto count = [&](int, const ConversionRequest&, ConversionContext&) { return ++converted; };
    EXPECT_FALSE(RunConversionBatch(items, kOutputWma, f.settings, f.host, f.driver, state, count));
    EXPECT_EQ(converted, 0);
    EXPECT_EQ(f.driver.questions.size(), 1u);
    ASSERT_EQ(f.driver.opened.size(), 1u);
    EXPECT_EQ(f.driver.opened[0], kWindowsMediaDownloadUrl);
}

TEST(WindowsMediaPipeline, FactoryUsesWindowsMediaSourceWhileLoaded) {
    WmFixture f;
    const std::string wma = f.dir.file("in.wma");
    ASSERT_EQ(f.Convert(kOutputWma, f.TwoTones(0.5), wma), 1) << f.reason;
    SourceFactoryContext ctx;
    auto source = CreateSource(wma, kSourceWindowsMedia, 0, kPurposeConvert, &ctx);
    ASSERT_NE(source, nullptr);
    EXPECT_NE(dynamic_cast<WindowsMediaSource*>(source.get()), nullptr);
    ctx.onlyDecoder = "wm";
    EXPECT_NE(CreateSource(wma, kSourceWindowsMedia, 0, kPurposeConvert, &ctx), nullptr);
}
