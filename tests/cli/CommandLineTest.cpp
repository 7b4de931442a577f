#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <functional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/SourceTestUtil.h"
#include "support/TestUtil.h"

using testutil::Quote;
namespace fs = std::filesystem;

namespace {

// Runs the real sonavert-cli with its own settings folder; captures stdout and the exit code.
struct Cli {
    testutil::TempDir dir;
    std::string config = dir.file("config");
    std::string documents = dir.file("docs");

    int Run(const std::string& args, std::string* out = nullptr) {
        std::string cmd = "XDG_CONFIG_HOME=" + Quote(config) + " HOME=" + Quote(dir.file("home")) +
                          " XDG_DOCUMENTS_DIR=" + Quote(documents) + " " + Quote(testutil::BinDir() + "/sonavert-cli") +
                          " " + args + " </dev/null";
        std::string captured;
        int rc = testutil::Run(cmd, &captured);
        if (out) *out = captured;
        return rc;
    }
    std::string Wav(const std::string& name, double seconds = 0.5, int channels = 2) {
        std::string p = dir.file(name);
        testutil::WriteWav16(p, testutil::Sine(440, 44100, channels, seconds), 44100, channels);
        return p;
    }
};

TEST(CommandLine, UsageErrorsAndInformation) {
    Cli cli;
    std::string out;
    EXPECT_EQ(cli.Run("--help", &out), 0);
    EXPECT_NE(out.find("Usage: sonavert-cli"), std::string::npos);
    EXPECT_EQ(cli.Run("--version", &out), 0);
    EXPECT_EQ(out, "sonavert-cli 3.4\n");
    EXPECT_EQ(cli.Run("", &out), 2);
    EXPECT_EQ(cli.Run("--bogus x.wav"), 2);
    EXPECT_EQ(cli.Run("-f flac x.wav"), 2);
    EXPECT_EQ(cli.Run("--set NoSuchOption=1 x.wav"), 2);
    EXPECT_EQ(cli.Run("--decoder lame x.wav"), 2);
    EXPECT_EQ(cli.Run("-f"), 2);
}

TEST(CommandLine, ConvertsFilesIntoAnOutputFolder) {
    Cli cli;
    std::string wav = cli.Wav("a.wav", 1.0);
    std::string flac = cli.dir.file("b.flac");
    ASSERT_EQ(testutil::Run("ffmpeg -v error -y -i " + Quote(wav) + " " + Quote(flac)), 0);
    std::string out;
    std::string outDir = cli.dir.file("out");
    ASSERT_EQ(cli.Run("-f wav -o " + Quote(outDir) + " " + Quote(flac) + " " + Quote(wav), &out), 0) << out;
    EXPECT_EQ(out, flac + "\tb.wav\n" + wav + "\ta.wav\n");
    EXPECT_EQ(testutil::FfmpegDecodeS16(outDir + "/b.wav"), testutil::FfmpegDecodeS16(wav));
    // Nothing was saved without --save.
    EXPECT_FALSE(fs::exists(cli.config + "/Brisvane Sonavert/Sonavert.ini"));
}

TEST(CommandLine, SetOverridesAndSave) {
    Cli cli;
    std::string wav = cli.Wav("a.wav", 1.0);
    std::string out;
    // Beside the source (the stored default is the documents folder).
    ASSERT_EQ(cli.Run("-f 2000 --set DestOutputFolderOpt=199 --set AutoDestWAVEncodingParam=0 --set WAVSampleRate=22050 --set WAVChannelNum=1 "
                      "--set WAVBitsPerSample=8 --save " + Quote(wav), &out),
              0);
    EXPECT_EQ(out, wav + "\ta_1.wav\n");
    std::string probe;
    testutil::Run("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 " +
                      Quote(cli.dir.file("a_1.wav")), &probe);
    EXPECT_EQ(probe, "pcm_u8,22050,1\n");
    // The saved options apply to the next run.
    ASSERT_EQ(cli.Run(Quote(wav), &out), 0);
    EXPECT_EQ(out, wav + "\ta_2.wav\n");
    probe.clear();
    testutil::Run("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 " +
                      Quote(cli.dir.file("a_2.wav")), &probe);
    EXPECT_EQ(probe, "pcm_u8,22050,1\n");
}

TEST(CommandLine, ListPrintsTheRowsAndReportsFailures) {
    Cli cli;
    std::string wav = cli.Wav("a.wav", 65.0, 1);
    std::string mp3 = cli.dir.file("b.mp3");
    ASSERT_EQ(testutil::Run("lame --quiet -m j -b 128 " + Quote(cli.Wav("s.wav", 12.0)) + " " + Quote(mp3)), 0);
    std::string out;
    ASSERT_EQ(cli.Run("--list " + Quote(wav) + " " + Quote(mp3), &out), 0);
    // The MP3's bit rate is the average over the whole file, its tag frame included.
    EXPECT_TRUE(out == "a.wav\t01:05\t706 kbps\t44100 Hz\tMono\nb.mp3\t00:12\t128 kbps\t44100 Hz\tJ-Stereo\n" ||
                out == "a.wav\t01:05\t706 kbps\t44100 Hz\tMono\nb.mp3\t00:12\t129 kbps\t44100 Hz\tJ-Stereo\n")
        << out;

    std::string bad = cli.dir.file("bad.mp3");
    testutil::WriteFileBytes(bad, std::vector<uint8_t>(100, 1));
    EXPECT_EQ(cli.Run("--list " + Quote(bad) + " " + Quote(wav), &out), 1);
    EXPECT_EQ(out, "a.wav\t01:05\t706 kbps\t44100 Hz\tMono\n");
}

TEST(CommandLine, FailedRowsGiveExitOne) {
    Cli cli;
    std::string wav = cli.Wav("a.wav");
    std::string junk = cli.dir.file("junk.xyz");
    testutil::WriteFileBytes(junk, std::vector<uint8_t>(5000, 7));
    std::string out;
    // The junk file fails already when it is added; the good one converts.
    EXPECT_EQ(cli.Run("-f wav --set DestOutputFolderOpt=199 " + Quote(wav) + " " + Quote(junk), &out), 1);
    EXPECT_EQ(out, wav + "\ta_1.wav\n");
    // A decoder restriction that refuses the file: nothing is added, nothing converted.
    EXPECT_EQ(cli.Run("-f wav --decoder au " + Quote(wav), &out), 1);
    EXPECT_TRUE(out.empty()) << out;
}

TEST(CommandLine, AiffAndAuFilesConvertThroughTheirOwnReaders) {
    Cli cli;
    // Sources of several kinds, each with the decode an independent decoder gives.
    const std::string tone = cli.dir.file("tone.wav");
    const std::vector<int16_t> samples = testutil::Sine(440, 8000, 1, 1.5, 0.3);
    ASSERT_TRUE(testutil::WriteWav16(tone, samples, 8000, 1));
    std::vector<double> asDoubles;
    for (int16_t v : samples) asDoubles.push_back(v / 32768.0);

    auto shell = [&](const std::string& command) {
        return [command](const std::string& path) { return testutil::Run(command + " " + Quote(path)) == 0; };
    };
    auto sndfileAu = [&](const char* subtype) {
        return [&asDoubles, subtype](const std::string& path) {
            return testutil::SndfileWrite(path, asDoubles, 8000, "AU", subtype);
        };
    };
    auto ffmpeg = [](const std::string& p) { return testutil::FfmpegDecodeS16(p); };
    auto sndfile = [](const std::string& p) { return testutil::SndfileDecodeS16(p); };
    auto sox = [](const std::string& p) { return testutil::SoxDecodeS16(p); };
    auto original = [&](const std::string&) { return samples; };
    const std::string in = Quote(tone);
    struct Source {
        std::string name;
        std::function<bool(const std::string&)> make;
        const char* decoder;
        std::function<std::vector<int16_t>(const std::string&)> reference;
        int tolerance;  // ffmpeg rounds floats to 16 bits, the readers truncate
    } sources[] = {
        {"pcm.aiff", shell("ffmpeg -v error -i " + in + " -ac 2 -c:a pcm_s16be"), "aiff", ffmpeg, 0},
        {"float.aifc", shell("ffmpeg -v error -i " + in + " -c:a pcm_f32be -f aiff"), "aiff", ffmpeg, 1},
        {"ima4.aifc", shell("ffmpeg -v error -i " + in + " -ac 2 -c:a adpcm_ima_qt -f aiff"), "aiff", sndfile, 0},
        {"dwvw.aiff", shell("sndfile-convert -dwvw16 " + in), "aiff", original, 0},
        {"ulaw.au", shell("ffmpeg -v error -i " + in + " -c:a pcm_mulaw"), "au", ffmpeg, 0},
        {"g721.au", sndfileAu("G721_32"), "au", sox, 0},
        {"g723.snd", sndfileAu("G723_40"), "au", sox, 0},
    };
    const std::string outDir = cli.dir.file("out");
    for (const Source& s : sources) {
        SCOPED_TRACE(s.name);
        const std::string path = cli.dir.file(s.name);
        ASSERT_TRUE(s.make(path));
        std::string out;
        ASSERT_EQ(cli.Run("-f wav -o " + Quote(outDir) + " --decoder " + s.decoder + " " + Quote(path), &out), 0) << out;
        const std::string base = s.name.substr(0, s.name.find('.'));
        EXPECT_EQ(out, path + "\t" + base + ".wav\n");
        const std::vector<int16_t> ref = s.reference(path);
        ASSERT_GT(ref.size(), 10000u);
        const std::vector<int16_t> wav = testutil::FfmpegDecodeS16(outDir + "/" + base + ".wav");
        ASSERT_EQ(wav.size(), ref.size());
        int worst = 0;
        for (size_t i = 0; i < ref.size(); ++i) worst = std::max(worst, std::abs(wav[i] - ref[i]));
        EXPECT_LE(worst, s.tolerance);

        // MP3 through the same reader: the tone and the length survive.
        ASSERT_EQ(cli.Run("-f mp3 -o " + Quote(outDir) + " --decoder " + s.decoder + " " + Quote(path), &out), 0) << out;
        EXPECT_EQ(out, path + "\t" + base + ".mp3\n");
        std::string rate;
        testutil::Run("ffprobe -v error -show_entries stream=sample_rate -of csv=p=0 " + Quote(outDir + "/" + base + ".mp3"),
                      &rate);
        const int mp3Rate = std::atoi(rate.c_str());
        ASSERT_GT(mp3Rate, 0);
        const std::vector<int16_t> mp3 = testutil::FfmpegDecodeS16(outDir + "/" + base + ".mp3", 1);
        EXPECT_NEAR(static_cast<double>(mp3.size()) / mp3Rate, 1.5, 0.15);
        // The middle of the stream, away from the encoder's delay and padding.
        const std::vector<int16_t> middle(mp3.begin() + mp3.size() / 5, mp3.end() - mp3.size() / 5);
        EXPECT_NEAR(testutil::EstimateFrequency(middle, 1, 0, mp3Rate), 440.0, 5.0);
        if (s.name.rfind("pcm", 0) != 0 && s.name.rfind("ima4", 0) != 0) {
            // The mono sources keep their level (the stereo ones meet the MP3 family's channel rules).
            EXPECT_NEAR(testutil::RmsLevel(middle, 1, 0), 0.3 / std::sqrt(2.0), 0.03);
        }
    }
}

TEST(CommandLine, InterruptCancelsTheCurrentRow) {
    Cli cli;
    std::vector<std::string> inputs;
    for (char c = '1'; c <= '3'; ++c) inputs.push_back(cli.Wav(std::string("long") + c + ".wav", 120.0));
    std::string outDir = cli.dir.file("out");
    // MP3 encoding of two minutes takes about a second: time enough to interrupt the first row.
    std::string args = "-f mp3 -o " + Quote(outDir) + " ";
    for (auto& p : inputs) args += Quote(p) + " ";
    std::string outFile = cli.dir.file("stdout.txt");
    std::string cmd = "XDG_CONFIG_HOME=" + Quote(cli.config) + " exec " + Quote(testutil::BinDir() + "/sonavert-cli") +
                      " " + args + " >" + Quote(outFile) + " 2>/dev/null </dev/null";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait until the first target appears, then interrupt.
    for (int i = 0; i < 400 && !fs::exists(outDir + "/long1.mp3"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    auto out = testutil::ReadFileBytes(outFile);
    std::string text(out.begin(), out.end());
    EXPECT_EQ(text, inputs[0] + "\tCancelled\n");
    EXPECT_FALSE(fs::exists(outDir + "/long1.mp3"));
    EXPECT_FALSE(fs::exists(outDir + "/long2.mp3"));
}

}  // namespace
