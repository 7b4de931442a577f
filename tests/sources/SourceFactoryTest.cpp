#include <gtest/gtest.h>

#include <sys/stat.h>

#include "sources/CodecHost.h"
#include "sources/BassSource.h"
#include "sources/FfmpegSource.h"
#include "sources/SourceFactory.h"
#include "support/BassTestUtil.h"
#include "support/TestUtil.h"

using namespace sonavert;
using testutil::Quote;

namespace {

std::string Exe() { return testutil::BinDir() + "/"; }

std::string MakeFlac(const testutil::TempDir& dir, const std::string& name = "a.flac") {
    std::string wav = dir.file("src.wav");
    testutil::WriteWav16(wav, testutil::Sine(440, 44100, 2, 1.0), 44100, 2);
    std::string flac = dir.file(name);
    EXPECT_EQ(testutil::Run("ffmpeg -v error -y -i " + Quote(wav) + " -f flac " + Quote(flac)), 0);
    return flac;
}

TEST(SourceCandidates, FollowTheTable) {
    using D = Decoder;
    EXPECT_EQ(SourceCandidates(kSourceMp3), (std::vector<D>{D::Bass, D::Ffmpeg}));
    EXPECT_EQ(SourceCandidates(kSourceWav), (std::vector<D>{D::Bass, D::Ffmpeg, D::Wav}));
    EXPECT_EQ(SourceCandidates(kSourceSpeex), (std::vector<D>{D::Ffmpeg, D::Bass}));
    EXPECT_EQ(SourceCandidates(kSourceOgg), (std::vector<D>{D::Ogg, D::Bass, D::Ffmpeg}));
    EXPECT_EQ(SourceCandidates(kSourceAu), (std::vector<D>{D::Au, D::Ffmpeg}));
    EXPECT_EQ(SourceCandidates(kSourceAiff), (std::vector<D>{D::Aiff, D::Bass, D::Ffmpeg}));
    EXPECT_EQ(SourceCandidates(kSourceWindowsMedia), (std::vector<D>{D::WindowsMedia, D::Bass, D::Ffmpeg}));
    EXPECT_EQ(SourceCandidates(kSourceOther), (std::vector<D>{D::Ffmpeg}));
    EXPECT_EQ(SourceCandidates(1234), (std::vector<D>{D::Ffmpeg}));
    for (int t : {kSourceModule, kSourceMidi, kSourceCdAudio, kSourceFlac, kSourceWavPack, kSourceAdx, kSourceApe,
                  kSourceMusepack, kSourceTta, kSourceAac, kSourceM4a, kSourceMp4})
        EXPECT_EQ(SourceCandidates(t), (std::vector<D>{D::Bass, D::Ffmpeg})) << t;
}

TEST(CreateSource, FlacGoesThroughTheLayerOnlyWithItsAddon) {
    testutil::TempDir dir;
    std::string flac = MakeFlac(dir);
    {
        CodecHost host;
        ASSERT_EQ(host.Start(Exe()), CodecHost::StartResult::Ok);
        EXPECT_EQ(host.AddonsLoaded(), 11);
        auto s = CreateSource(flac, kSourceFlac, 44100, kPurposeConvert);
        ASSERT_TRUE(s);
        EXPECT_NE(dynamic_cast<BassSource*>(s.get()), nullptr);
    }
    {
        // An executable folder without add-ons: FLAC falls back to the FFmpeg source.
        CodecHost host;
        ASSERT_EQ(host.Start(dir.path().string() + "/"), CodecHost::StartResult::Ok);
        EXPECT_EQ(host.AddonsLoaded(), 0);
        auto s = CreateSource(flac, kSourceFlac, 44100, kPurposeConvert);
        ASSERT_TRUE(s);
        EXPECT_NE(dynamic_cast<FfmpegSource*>(s.get()), nullptr);
        // The file list only probes.
        auto probe = CreateSource(flac, kSourceFlac, 44100, kPurposeList);
        ASSERT_TRUE(probe);
        EXPECT_NE(dynamic_cast<FfmpegProbeSource*>(probe.get()), nullptr);
        EXPECT_EQ(probe->GetSampleRate(), 44100u);
        EXPECT_EQ(probe->GetDuration(), 1);
    }
}

TEST(CreateSource, UnknownExtensionTriesOnlyFfmpegAndDecoderRestriction) {
    testutil::TempDir dir;
    CodecHost host;
    ASSERT_EQ(host.Start(Exe()), CodecHost::StartResult::Ok);
    // A FLAC file under a name outside the table: decoded by FFmpeg alone.
    std::string odd = MakeFlac(dir, "a.xyz");
    auto s = CreateSource(odd, kSourceOther, 0, kPurposeConvert);
    ASSERT_TRUE(s);
    EXPECT_NE(dynamic_cast<FfmpegSource*>(s.get()), nullptr);

    std::string flac = MakeFlac(dir);
    SourceFactoryContext onlyFfmpeg;
    onlyFfmpeg.onlyDecoder = "ffmpeg";
    s = CreateSource(flac, kSourceFlac, 0, kPurposeConvert, &onlyFfmpeg);
    ASSERT_TRUE(s);
    EXPECT_NE(dynamic_cast<FfmpegSource*>(s.get()), nullptr);
    SourceFactoryContext onlyWav;
    onlyWav.onlyDecoder = "wav";
    EXPECT_FALSE(CreateSource(flac, kSourceFlac, 0, kPurposeConvert, &onlyWav));
    EXPECT_EQ(onlyWav.failureReason, NoDecoderReason());
    EXPECT_TRUE(IsKnownDecoderName("bass"));
    EXPECT_FALSE(IsKnownDecoderName("lame"));
}

TEST(CreateSource, FailureReasonOnlyWhenConverting) {
    testutil::TempDir dir;
    CodecHost host;
    ASSERT_EQ(host.Start(Exe()), CodecHost::StartResult::Ok);
    std::string junk = dir.file("junk.mp3");
    testutil::WriteFileBytes(junk, std::vector<uint8_t>(3000, 0x11));
    SourceFactoryContext ctx;
    EXPECT_FALSE(CreateSource(junk, kSourceMp3, 0, kPurposeList, &ctx));
    EXPECT_TRUE(ctx.failureReason.empty());
    EXPECT_FALSE(CreateSource(junk, kSourceMp3, 0, kPurposeConvert, &ctx));
    EXPECT_EQ(ctx.failureReason, "To get help, please forward the failure file to <support@sonavert.app>.");
}

TEST(CreateSource, VideoOnlyFileOpensOnlyForTheList) {
    testutil::TempDir dir;
    CodecHost host;
    ASSERT_EQ(host.Start(Exe()), CodecHost::StartResult::Ok);
    std::string mp4 = dir.file("v.mp4");
    ASSERT_EQ(testutil::Run("ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 1 -c:v mpeg4 " +
                            Quote(mp4)),
              0);
    EXPECT_FALSE(CreateSource(mp4, kSourceMp4, 0, kPurposeConvert));
    auto probe = CreateSource(mp4, kSourceMp4, 0, kPurposeList);
    ASSERT_TRUE(probe);
    int32_t w = 0, h = 0;
    probe->GetVideoSize(&w, &h);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    EXPECT_DOUBLE_EQ(probe->GetVideoFrameRate(), 25.0);
}

TEST(CodecHost, SoundFontBesideTheExecutable) {
    testutil::TempDir dir;
    std::string midi = dir.file("a.mid");
    testutil::WriteFileBytes(midi, testutil::TinyMidi());
    {
        CodecHost host;
        ASSERT_EQ(host.Start(Exe()), CodecHost::StartResult::Ok);
        EXPECT_TRUE(host.LoadDefaultSoundFont());
        EXPECT_TRUE(host.LoadDefaultSoundFont());  // once is enough
        auto s = CreateSource(midi, kSourceMidi, 22050, kPurposeConvert);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->GetSampleRate(), 22050u);
        // A rendered note is not silence.
        int16_t left[kBlockFrames], right[kBlockFrames];
        int peak = 0;
        while (uint32_t n = s->Read(left, right))
            for (uint32_t i = 0; i < n; ++i) peak = std::max(peak, std::abs(static_cast<int>(left[i])));
        EXPECT_GT(peak, 1000);
    }
    {
        // No SoundFont in the folder: the flag stays clear and nothing is reported.
        CodecHost host;
        ASSERT_EQ(host.Start(dir.path().string() + "/"), CodecHost::StartResult::Ok);
        EXPECT_FALSE(host.LoadDefaultSoundFont());
        EXPECT_FALSE(host.SoundFontLoaded());
    }
}

}  // namespace

namespace {

TEST(CreateSource, WindowsMediaFilesAskTheRuntimeHookAndFallBack) {
    CodecHost host;
    ASSERT_EQ(host.Start(Exe()), CodecHost::StartResult::Ok);
    testutil::TempDir dir;
    std::string wav = dir.file("src.wav");
    testutil::WriteWav16(wav, testutil::Sine(440, 44100, 2, 0.5), 44100, 2);
    std::string wma = dir.file("a.wma");
    ASSERT_EQ(testutil::Run("ffmpeg -v error -y -i " + Quote(wav) + " -c:a wmav2 " + Quote(wma)), 0);

    int asked = 0;
    SourceFactoryContext context;
    // A runtime that cannot be had: the file still opens through the next decoders.
    context.windowsMediaAvailable = [&] { return ++asked, false; };
    auto source = CreateSource(wma, kSourceWindowsMedia, 44100, kPurposeConvert, &context);
    ASSERT_TRUE(source);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(source->GetSampleRate(), 44100u);
    // Other files never ask.
    EXPECT_TRUE(CreateSource(wav, kSourceWav, 44100, kPurposeConvert, &context));
    EXPECT_EQ(asked, 1);
    // Restricted to another decoder, the Windows Media candidate is not even tried.
    context.onlyDecoder = "ffmpeg";
    EXPECT_TRUE(CreateSource(wma, kSourceWindowsMedia, 44100, kPurposeConvert, &context));
    EXPECT_EQ(asked, 1);
}

}  // namespace

namespace {

TEST(CreateSource, OnlyRegularFilesAreOpened) {
    CodecHost host;
    ASSERT_EQ(host.Start(Exe()), CodecHost::StartResult::Ok);
    testutil::TempDir dir;
    // A FIFO named like a WAV file: opening it for reading would wait for a writer forever.
    const std::string fifo = dir.file("pipe.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    SourceFactoryContext context;
    EXPECT_FALSE(CreateSource(fifo, kSourceWav, 44100, kPurposeList, &context));
    EXPECT_TRUE(context.failureReason.empty()) << "the list reports its own failures";
    EXPECT_FALSE(CreateSource(fifo, kSourceWav, 44100, kPurposeConvert, &context));
    EXPECT_EQ(context.failureReason, kNotRegularFileReason);
    EXPECT_FALSE(CreateSource("/dev/zero", kSourceOther, 44100, kPurposeConvert, &context));
    EXPECT_EQ(context.failureReason, kNotRegularFileReason);
}

}  // namespace
