#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "cli/CommandLine.h"
#include "engine/OutputFormats.h"
#include "settings/SettingsStore.h"
#include "sources/SourceFactory.h"
#include "support/SourceTestUtil.h"
#include "support/TestUtil.h"

using testutil::Quote;
namespace fs = std::filesystem;
using namespace sonavert;

namespace {

// Runs the real sonavert-cli with its own settings folder; captures stdout and the exit code.
struct Cli {
    testutil::TempDir dir;
    std::string config = dir.file("config");
    std::string documents = dir.file("docs");

    // `launcher` goes before the program ("exec ").
    std::string Command(const std::string& args, const std::string& launcher = "") const {
        return "XDG_CONFIG_HOME=" + Quote(config) + " HOME=" + Quote(dir.file("home")) +
               " XDG_DOCUMENTS_DIR=" + Quote(documents) + " " + launcher +
               Quote(testutil::BinDir() + "/sonavert-cli") + " " + args + " </dev/null";
    }
    int Run(const std::string& args, std::string* out = nullptr) {
        std::string captured;
        int rc = testutil::Run(Command(args), &captured);
        if (out) *out = captured;
        return rc;
    }
    // Runs it with its standard error captured instead of its output.
    int RunForErrors(const std::string& args, std::string* err) {
        err->clear();
        return testutil::Run("{ " + Command(args) + " 2>&1 >/dev/null; }", err);
    }
    // The options a --save run left in the store.
    Settings Saved() const {
        Settings settings = DefaultSettings();
        SettingsStore(config + "/Brisvane Sonavert/Sonavert.ini").LoadSettings(settings);
        return settings;
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

// The help text with every run of spaces and line breaks made one space, as the descriptions wrap.
std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == ' ' || c == '\n') {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

TEST(CommandLine, HelpListsEveryOptionFormatAndDecoder) {
    Cli cli;
    std::string out;
    ASSERT_EQ(cli.Run("--help", &out), 0);
    EXPECT_EQ(out.rfind("Usage: sonavert-cli [options] PATH...\n", 0), 0u) << out;
    EXPECT_NE(out.find("\nExit status: 0 when every row converted, was skipped or was up to date, 1 when any failed "
                       "(or its\nsource ended early), 2 for a\nusage error, 130 when interrupted (Ctrl+C), 143 on "
                       "SIGTERM and 129 on SIGHUP; the running rows\nare then cancelled.\n"),
              std::string::npos)
        << out;
    const std::string help = OneLine(out);
    // Every option, in order, each followed by its description.
    size_t at = 0;
    for (auto [names, description] : std::vector<std::pair<std::string, std::string>>{
             {"-f, --format <NAME|CODE>", "output format:"},
             {"-o, --output-dir <DIR>", "write the targets into DIR"},
             {"--set <NAME=VALUE>", "override a stored option for this run"},
             {"--save", "keep the overrides, format and folder as the stored options"},
             {"--list", "print the rows (full path, Duration, Bit Rate, Freq., Channels) instead of converting"},
             {"--decoder <NAME>", "only try one decoder:"},
             {"-y, --yes", "answer Yes to the questions asked before a conversion"},
             {"--skip", "leave a target that exists as it is"},
             {"--overwrite", "replace a target that exists"},
             {"--update", "convert only when the target is missing or older than its source"},
             {"--json", "print one JSON object per row"},
             {"--shard <K/N>", "convert only shard K of N"},
             {"-h, --help", "show this text"},
             {"--version", "show the version"}}) {
        at = help.find(" " + names + " " + description, at);
        EXPECT_NE(at, std::string::npos) << names;
        if (at == std::string::npos) break;
    }
    // The format names are the output-format table's, in its order; the decoders the factory's.
    std::string formats, decoders;
    for (const OutputFormatInfo& f : OutputFormats()) formats += (formats.empty() ? "" : ", ") + Lower(f.name);
    for (const std::string& d : DecoderNames()) decoders += (decoders.empty() ? "" : ", ") + d;
    EXPECT_NE(help.find("output format: " + formats + ", or an output format code"), std::string::npos) << help;
    EXPECT_NE(help.find("only try one decoder: " + decoders + " "), std::string::npos) << help;
}

TEST(CommandLine, AcceptsEveryFormatAndDecoderOfTheTables) {
    ASSERT_FALSE(OutputFormats().empty());
    for (const OutputFormatInfo& f : OutputFormats()) {
        // By name in either case, and by code; --save without a path stores the choice and stops.
        for (const std::string& given : {Lower(f.name), std::string(f.name), std::to_string(f.code)}) {
            Cli cli;
            ASSERT_EQ(cli.Run("-f " + given + " --save"), 0) << given;
            EXPECT_EQ(cli.Saved().OutputFormat, f.code) << given;
        }
    }
    const std::vector<std::string> decoders = DecoderNames();
    EXPECT_EQ(decoders.size(), 7u);
    for (const std::string& d : decoders) {
        Cli cli;
        EXPECT_TRUE(IsKnownDecoderName(d)) << d;
        EXPECT_EQ(cli.Run("--decoder " + d + " --save"), 0) << d;
        EXPECT_EQ(cli.Run("--decoder=" + d + " --save"), 0) << d;
    }
}

TEST(CommandLine, OptionSpellings) {
    // A value after the option, after "=", or joined to a short option; short switches combine.
    for (const char* args : {"--format wav", "--format=wav", "-f wav", "-fwav", "-f=wav", "-yf wav", "-yfwav"}) {
        Cli cli;
        ASSERT_EQ(cli.Run(std::string(args) + " --save"), 0) << args;
        EXPECT_EQ(cli.Saved().OutputFormat, kOutputWav) << args;
    }
    for (const char* option : {"-o ", "--output-dir ", "--output-dir=", "-o"}) {
        Cli cli;
        std::string folder = cli.dir.file("out");
        ASSERT_EQ(cli.Run(option + Quote(folder) + " --save"), 0) << option;
        EXPECT_EQ(cli.Saved().DestSpecifiedFolder, folder) << option;
        EXPECT_EQ(cli.Saved().DestOutputFolderOpt, kDestCustomFolder) << option;
    }
    {
        // A value may begin with a dash; the last -f counts; --set repeats; options may follow paths.
        Cli cli;
        ASSERT_EQ(cli.Run("-o -dashed -f mp3 --set MP3BitRate=192 -f ogg --set=WAVChannelNum=1 --save"), 0);
        Settings saved = cli.Saved();
        EXPECT_EQ(saved.OutputFormat, kOutputOgg);
        EXPECT_EQ(saved.MP3BitRate, 192);
        EXPECT_EQ(saved.WAVChannelNum, 1);
        EXPECT_NE(saved.DestSpecifiedFolder.find("/-dashed"), std::string::npos) << saved.DestSpecifiedFolder;
    }
    Cli cli;
    std::string row;  // the file's row, read by its full path
    ASSERT_EQ(cli.Run("--list " + Quote(cli.Wav("-x.wav")), &row), 0);
    ASSERT_EQ(row.rfind(cli.dir.file("-x.wav") + "\t", 0), 0u) << row;
    // Runs in the folder of -x.wav, so that its name can be given as it is.
    auto runInDir = [&](const std::string& args, std::string* out) {
        out->clear();
        return testutil::Run("cd " + Quote(cli.dir.path().string()) + " && " + cli.Command(args), out);
    };
    std::string out;
    // After "--" everything is a path, a dashed name too; a lone "-" is a path (one that does not
    // load); options may follow the paths.
    EXPECT_EQ(runInDir("--list -- -x.wav", &out), 0);
    EXPECT_EQ(out, row);
    EXPECT_EQ(runInDir("--list - -- -x.wav", &out), 1);
    EXPECT_EQ(out, row);
    EXPECT_EQ(runInDir("./-x.wav --list", &out), 0);
    EXPECT_EQ(out, row);
    EXPECT_EQ(runInDir("-x.wav --list", &out), 2);
}

TEST(CommandLine, PathsPassByteForByte) {
    Cli cli;
    std::string out, err;
    // A UTF-8 name lists; a name that is no UTF-8 does not load, and the message names it as it is.
    std::string utf8 = cli.Wav("\xc3\xbc-\xe2\x82\xac.wav");
    ASSERT_EQ(cli.Run("--list " + Quote(utf8), &out), 0);
    EXPECT_EQ(out.rfind(utf8 + "\t", 0), 0u) << out;
    std::string latin1 = cli.Wav("caf\xe9.wav");
    EXPECT_EQ(cli.RunForErrors("--list " + Quote(latin1), &err), 1);
    EXPECT_EQ(err, "sonavert-cli: " + latin1 + ": the file name is not valid UTF-8\n") << err;
}

TEST(CommandLine, UsageErrorsNameTheArgumentAndExitTwo) {
    Cli cli;
    const std::string tryHelp = "Try 'sonavert-cli --help' for more information.\n";
    std::string err;
    for (auto [args, message] : std::vector<std::pair<std::string, std::string>>{
             {"-f", "option '-f' needs a format"},
             {"x.wav --format", "option '--format' needs a format"},
             {"-yf", "option '-f' needs a format"},
             {"-o", "option '-o' needs a folder"},
             {"--output-dir", "option '--output-dir' needs a folder"},
             {"-o '' x.wav", "option '-o' needs a folder"},
             {"--output-dir= x.wav", "option '--output-dir' needs a folder"},
             {"--set", "option '--set' needs NAME=VALUE"},
             {"--decoder", "option '--decoder' needs a decoder"},
             {"-j", "option '-j' needs a number of files"},
             {"--jobs 33 x.wav", "unknown number of files '33'"},
             {"--jobs=two x.wav", "unknown number of files 'two'"},
             {"--decoder lame x.wav", "unknown decoder 'lame'"},
             {"--decoder=lame x.wav", "unknown decoder 'lame'"},
             {"--bogus x.wav", "unknown option '--bogus'"},
             {"x.wav -x", "unknown option '-x'"},
             {"--save=1", "unexpected value after '--save'"},
             {"-f flac x.wav", "unknown format 'flac'"},
             {"--set NoSuchOption=1 x.wav", "unknown setting 'NoSuchOption'"},
             {"", "no file or folder given"}}) {
        EXPECT_EQ(cli.RunForErrors(args, &err), 2) << args;
        EXPECT_EQ(err, "sonavert-cli: " + message + "\n" + tryHelp) << args;
    }
}

TEST(CommandLine, SeveralJobsPrintWhatOneJobPrints) {
    Cli cli;
    std::vector<std::string> inputs;
    for (int i = 0; i < 6; ++i) inputs.push_back(cli.Wav("in" + std::to_string(i) + ".wav", 0.3 + 0.2 * (i % 3)));
    testutil::WriteFileBytes(cli.dir.file("bad.wav"), std::vector<uint8_t>(700, 0x11));
    inputs.insert(inputs.begin() + 2, cli.dir.file("bad.wav"));
    std::string files;
    for (const auto& p : inputs) {
        files += ' ';
        files += Quote(p);
    }
    std::string one, three;
    EXPECT_EQ(cli.Run("-f mp3 -j 1 -o " + Quote(cli.dir.file("one")) + files, &one), 1);
    EXPECT_EQ(cli.Run("-f mp3 --jobs 3 -o " + Quote(cli.dir.file("three")) + files, &three), 1);
    // The output folder's name aside, the two runs print the same lines.
    auto strip = [](const std::string& text, const std::string& folder) {
        std::string out;
        for (size_t from = 0;;) {
            const size_t at = text.find(folder, from);
            out.append(text, from, at == std::string::npos ? std::string::npos : at - from);
            if (at == std::string::npos) return out;
            from = at + folder.size();
        }
    };
    EXPECT_EQ(strip(one, cli.dir.file("one")), strip(three, cli.dir.file("three")));
    EXPECT_EQ(std::count(three.begin(), three.end(), '\n'), 6) << "the broken file is no row";
    for (int i = 0; i < 6; ++i) {
        const std::string name = "/in" + std::to_string(i) + ".mp3";
        EXPECT_EQ(testutil::ReadFileBytes(cli.dir.file("one") + name), testutil::ReadFileBytes(cli.dir.file("three") + name))
            << name;
    }
}

TEST(CommandLine, HelpAndVersionCountWhereTheyStand) {
    Cli cli;
    std::string out, err;
    // An error after them does not count; one before them does.
    EXPECT_EQ(cli.Run("--help --bogus -f", &out), 0);
    EXPECT_EQ(out.rfind("Usage: sonavert-cli", 0), 0u);
    EXPECT_EQ(cli.Run("--version --decoder lame", &out), 0);
    EXPECT_EQ(out, "sonavert-cli 3.4\n");
    EXPECT_EQ(cli.Run("-h", &out), 0);
    EXPECT_EQ(out.rfind("Usage: sonavert-cli", 0), 0u);
    EXPECT_EQ(cli.Run("--version --help", &out), 0);
    EXPECT_EQ(out, "sonavert-cli 3.4\n");
    EXPECT_EQ(cli.Run("-f flac --version", &out), 0);  // the format is checked only for a run
    EXPECT_EQ(out, "sonavert-cli 3.4\n");
    EXPECT_EQ(cli.RunForErrors("--bogus --help", &err), 2);
    EXPECT_EQ(err.rfind("sonavert-cli: unknown option '--bogus'\n", 0), 0u) << err;
    EXPECT_EQ(cli.RunForErrors("--decoder lame --version", &err), 2);
    EXPECT_EQ(err.rfind("sonavert-cli: unknown decoder 'lame'\n", 0), 0u) << err;
    // As the value of an option, or after "--", they are no options.
    EXPECT_EQ(cli.RunForErrors("-f --help --bogus", &err), 2);
    EXPECT_EQ(err.rfind("sonavert-cli: unknown option '--bogus'\n", 0), 0u) << err;
    EXPECT_EQ(cli.Run("--list -- --version", &out), 1);
    EXPECT_TRUE(out.empty()) << out;
}

TEST(CommandLine, ConvertsFilesIntoAnOutputFolder) {
    Cli cli;
    std::string wav = cli.Wav("a.wav", 1.0);
    std::string flac = cli.dir.file("b.flac");
    ASSERT_EQ(testutil::Run("ffmpeg -v error -y -i " + Quote(wav) + " " + Quote(flac)), 0);
    std::string out;
    std::string outDir = cli.dir.file("out");
    ASSERT_EQ(cli.Run("-f wav -o " + Quote(outDir) + " " + Quote(flac) + " " + Quote(wav), &out), 0) << out;
    EXPECT_EQ(out, flac + "\t" + outDir + "/b.wav\n" + wav + "\t" + outDir + "/a.wav\n");
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
    EXPECT_EQ(out, wav + "\t" + cli.dir.file("a_1.wav") + "\n");
    std::string probe;
    testutil::Run("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 " +
                      Quote(cli.dir.file("a_1.wav")), &probe);
    EXPECT_EQ(probe, "pcm_u8,22050,1\n");
    // The saved options apply to the next run.
    ASSERT_EQ(cli.Run(Quote(wav), &out), 0);
    EXPECT_EQ(out, wav + "\t" + cli.dir.file("a_2.wav") + "\n");
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
    // Each row starts with the file's full path.
    EXPECT_TRUE(out == wav + "\t01:05\t706 kbps\t44100 Hz\tMono\n" + mp3 + "\t00:12\t128 kbps\t44100 Hz\tJ-Stereo\n" ||
                out == wav + "\t01:05\t706 kbps\t44100 Hz\tMono\n" + mp3 + "\t00:12\t129 kbps\t44100 Hz\tJ-Stereo\n")
        << out;

    std::string bad = cli.dir.file("bad.mp3");
    testutil::WriteFileBytes(bad, std::vector<uint8_t>(100, 1));
    EXPECT_EQ(cli.Run("--list " + Quote(bad) + " " + Quote(wav), &out), 1);
    EXPECT_EQ(out, wav + "\t01:05\t706 kbps\t44100 Hz\tMono\n");
}

TEST(CommandLine, FolderSearchPassesOverFilesThatAreNotAudio) {
    Cli cli;
    fs::create_directories(cli.dir.file("music"));
    const std::string wav = cli.dir.file("music/a.wav");
    testutil::WriteWav16(wav, testutil::Sine(440, 44100, 1, 0.5), 44100, 1);
    testutil::WriteFileBytes(cli.dir.file("music/cover.png"), std::vector<uint8_t>(300, 0x89));
    testutil::WriteFileBytes(cli.dir.file("music/notes.log"), {'h', 'i', '\n'});
    std::string err;
    // Searched: the picture and the log pass without a word.
    EXPECT_EQ(cli.RunForErrors("--list " + Quote(cli.dir.file("music")), &err), 0);
    EXPECT_EQ(err, "");
    // A FIFO named on the command line is refused at once, without opening it.
    const std::string fifo = cli.dir.file("pipe.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(cli.RunForErrors("--list " + Quote(fifo) + " " + Quote(wav), &err), 1);
    EXPECT_EQ(err, "sonavert-cli: " + fifo + ": not a regular file\n");
    // Named one by one, the picture is reported.
    EXPECT_EQ(cli.RunForErrors("--list " + Quote(cli.dir.file("music/cover.png")) + " " + Quote(wav), &err), 1);
    EXPECT_EQ(err, "sonavert-cli: " + cli.dir.file("music/cover.png") + ": not an audio file\n");
}

TEST(CommandLine, FailedRowsGiveExitOne) {
    Cli cli;
    std::string wav = cli.Wav("a.wav");
    std::string junk = cli.dir.file("junk.xyz");
    testutil::WriteFileBytes(junk, std::vector<uint8_t>(5000, 7));
    std::string out;
    // The junk file fails already when it is added; the good one converts.
    EXPECT_EQ(cli.Run("-f wav --set DestOutputFolderOpt=199 " + Quote(wav) + " " + Quote(junk), &out), 1);
    EXPECT_EQ(out, wav + "\t" + cli.dir.file("a_1.wav") + "\n");
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
        EXPECT_EQ(out, path + "\t" + outDir + "/" + base + ".wav\n");
        const std::vector<int16_t> ref = s.reference(path);
        ASSERT_GT(ref.size(), 10000u);
        const std::vector<int16_t> wav = testutil::FfmpegDecodeS16(outDir + "/" + base + ".wav");
        ASSERT_EQ(wav.size(), ref.size());
        int worst = 0;
        for (size_t i = 0; i < ref.size(); ++i) worst = std::max(worst, std::abs(wav[i] - ref[i]));
        EXPECT_LE(worst, s.tolerance);

        // MP3 through the same reader: the tone and the length survive.
        ASSERT_EQ(cli.Run("-f mp3 -o " + Quote(outDir) + " --decoder " + s.decoder + " " + Quote(path), &out), 0) << out;
        EXPECT_EQ(out, path + "\t" + outDir + "/" + base + ".mp3\n");
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

// Starts sonavert-cli with `args` in a child, its output going to `outFile`. With `fileSizeLimit`
// set the child may write no file larger than that, and SIGXFSZ has its default action, so that
// only the program itself can keep the signal from ending it.
pid_t StartCli(const Cli& cli, const std::string& args, const std::string& outFile, rlim_t fileSizeLimit = 0) {
    const std::string cmd = cli.Command(args, "exec ") + " >" + Quote(outFile) + " 2>/dev/null";
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_DFL);
        if (fileSizeLimit) {
            rlimit limit{fileSizeLimit, fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// The exit status of a child, or -1 when a signal ended it.
int WaitExit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FileText(const std::string& path) {
    auto bytes = testutil::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

bool HoldsTemporary(const std::string& folder) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        if (it->path().filename().string().find(".sonavert-") != std::string::npos) return true;
    return false;
}

TEST(CommandLine, InterruptTerminateAndHangUpCancelTheRunningRow) {
    Cli cli;
    // Four minutes take a few seconds to MP3: time enough to send the signal during the first row.
    std::vector<std::string> inputs;
    for (char c = '1'; c <= '2'; ++c) {
        inputs.push_back(cli.dir.file(std::string("long") + c + ".wav"));
        ASSERT_EQ(testutil::Run("sox -n -r 44100 -c 2 -b 16 " + Quote(inputs.back()) + " synth 240 sine 440"), 0);
    }
    for (auto [signal, exitStatus] : std::vector<std::pair<int, int>>{{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}}) {
        const std::string outDir = cli.dir.file("out" + std::to_string(signal));
        // One row at a time, so exactly the first row is the one interrupted.
        const pid_t pid = StartCli(cli, "-f mp3 -j 1 -o " + Quote(outDir) + " " + Quote(inputs[0]) + " " +
                                            Quote(inputs[1]), cli.dir.file("stdout.txt"));
        ASSERT_GT(pid, 0);
        // Once the first row writes its temporary, the run is under way.
        for (int i = 0; i < 1000 && !HoldsTemporary(outDir); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(HoldsTemporary(outDir)) << signal;
        kill(pid, signal);
        EXPECT_EQ(WaitExit(pid), exitStatus) << signal;
        EXPECT_EQ(FileText(cli.dir.file("stdout.txt")), inputs[0] + "\tCancelled\n") << signal;
        EXPECT_TRUE(fs::is_empty(outDir)) << "neither a temporary nor a target stays, signal " << signal;
    }
}

TEST(CommandLine, AFileSizeLimitFailsTheRowWithItsReason) {
    Cli cli;
    const std::string wav = cli.Wav("tone.wav", 10.0);  // 1.7 MB of WAV, about 160 kB of MP3
    const std::string outDir = cli.dir.file("out");
    const std::string outFile = cli.dir.file("stdout.txt");
    for (const char* format : {"wav", "mp3"}) {
        const pid_t pid = StartCli(cli, std::string("-f ") + format + " -o " + Quote(outDir) + " " + Quote(wav),
                                   outFile, 64 * 1024);
        EXPECT_EQ(WaitExit(pid), 1) << format;
        EXPECT_EQ(FileText(outFile), wav + "\tConversion Failure (File too large)\n") << format;
        EXPECT_TRUE(fs::is_empty(outDir)) << format;
    }
    // An old target to overwrite is kept as it was.
    const std::string old = outDir + "/tone.mp3";
    testutil::WriteFileBytes(old, {1, 2, 3});
    const pid_t pid = StartCli(cli, "-f mp3 --set TargetExistsOpt=22 -o " + Quote(outDir) + " " + Quote(wav), outFile,
                               64 * 1024);
    EXPECT_EQ(WaitExit(pid), 1);
    EXPECT_EQ(FileText(outFile), wav + "\tConversion Failure (File too large)\n");
    EXPECT_EQ(testutil::ReadFileBytes(old), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(std::distance(fs::directory_iterator(outDir), fs::directory_iterator()), 1);
}

TEST(CommandLine, NamesWithControlCharactersAreEscapedInTheLines) {
    EXPECT_EQ(EscapeField("plain \xc3\xbc.mp3"), "plain \xc3\xbc.mp3") << "UTF-8 stays";
    EXPECT_EQ(EscapeField("a\tb\nc\rd\\e"), "a\\tb\\nc\\rd\\\\e");
    EXPECT_EQ(EscapeField("\x01\x1b\x1f\x7f \x80"), "\\x01\\x1b\\x1f\\x7f \x80");
    // The JSON lines' strings: quotes, backslashes and control characters escaped, UTF-8 kept, the
    // bytes of a text that is no UTF-8 each as a code point, so that every line parses.
    EXPECT_EQ(JsonString("a\"b\\c\n\t\x01 \xc3\xbc"), "\"a\\\"b\\\\c\\n\\t\\u0001 \xc3\xbc\"");
    EXPECT_EQ(JsonString("\xff\xc3\xbc"), "\"\\u00ff\\u00c3\\u00bc\"");

    Cli cli;
    const std::string wav = cli.Wav("tab\there\nnew\\line.wav");
    const std::string escaped = cli.dir.file("tab\\there\\nnew\\\\line");
    std::string out;
    ASSERT_EQ(cli.Run("-f wav -o " + Quote(cli.dir.file("out")) + " " + Quote(wav), &out), 0);
    EXPECT_EQ(out, escaped + ".wav\t" + cli.dir.file("out") + "/tab\\there\\nnew\\\\line.wav\n");
    EXPECT_TRUE(fs::exists(cli.dir.file("out") + "/tab\there\nnew\\line.wav"));
    // A status holding the name is escaped too ("Target exists and skipped" holds none).
    // A skipped row is no failure.
    ASSERT_EQ(cli.Run("-f wav --set TargetExistsOpt=33 -o " + Quote(cli.dir.file("out")) + " " + Quote(wav), &out), 0);
    EXPECT_EQ(out, escaped + ".wav\tTarget exists and skipped\n");
    ASSERT_EQ(cli.Run("--list " + Quote(wav), &out), 0);
    EXPECT_EQ(out.rfind(escaped + ".wav\t", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);

    std::string help;
    ASSERT_EQ(cli.Run("--help", &help), 0);
    EXPECT_NE(OneLine(help).find("a tab, line feed, carriage return, backslash or other control character of a "
                                 "name is written as \\t, \\n, \\r, \\\\ or \\xHH."),
              std::string::npos)
        << help;
}

TEST(CommandLine, EachPathThatDoesNotLoadGetsOneLineWithItsCause) {
    Cli cli;
    std::string wav = cli.Wav("a.wav");
    std::string junk = cli.dir.file("junk.mp3");
    testutil::WriteFileBytes(junk, std::vector<uint8_t>(3000, 0x5a));
    std::string err;
    EXPECT_EQ(cli.RunForErrors("--list missing.wav " + Quote(junk) + " " + Quote(wav + "/inside.wav") + " " + Quote(wav), &err),
              1);
    EXPECT_EQ(err, "sonavert-cli: missing.wav: No such file or directory\n"
                   "sonavert-cli: " + wav + "/inside.wav: Not a directory\n"
                   "sonavert-cli: " + junk + ": not an audio file\n")
        << err;
    // Converting: the same lines, and the rows that loaded still convert.
    std::string out;
    EXPECT_EQ(cli.Run("-f wav --set DestOutputFolderOpt=199 missing.wav " + Quote(wav), &out), 1);
    EXPECT_EQ(out, wav + "\t" + cli.dir.file("a_1.wav") + "\n");
    if (geteuid() != 0) {  // the superuser reads every file
        std::string locked = cli.Wav("locked.wav");
        fs::permissions(locked, fs::perms::none);
        EXPECT_EQ(cli.RunForErrors("--list " + Quote(locked), &err), 1);
        EXPECT_EQ(err, "sonavert-cli: " + locked + ": Permission denied\n");
    }
}

TEST(CommandLine, TargetsGoingToTheDocumentsFolderAreReported) {
    Cli cli;
    std::string wav = cli.Wav("a.wav");
    // A folder below a file cannot be made: the target goes to the documents folder, when the
    // folder is the stored one.
    std::string blocked = cli.dir.file("a.wav") + "/out";
    const std::string stored = "--set DestOutputFolderOpt=399 --set DestSpecifiedFolder=" + Quote(blocked);
    std::string out, err;
    ASSERT_EQ(cli.Run("-f wav " + stored + " " + Quote(wav), &out), 0);
    const std::string documents = cli.dir.file("home") + "/Documents";
    EXPECT_EQ(out, wav + "\t" + documents + "/a.wav\n");
    EXPECT_EQ(cli.RunForErrors("-f wav " + stored + " " + Quote(wav), &err), 0);
    EXPECT_EQ(err, "sonavert-cli: warning: the chosen output folder could not be written; the target went to the "
                   "documents folder: " + documents + "/a_1.wav\n");
    // Without the retry the row fails and there is no warning; a folder named with -o never
    // retries: the row fails with the cause.
    EXPECT_EQ(cli.RunForErrors("-f wav --set OutputFiles2MyDocuments=off " + stored + " " + Quote(wav), &err), 1);
    EXPECT_EQ(err, "");
    ASSERT_EQ(cli.Run("-f wav -o " + Quote(blocked) + " " + Quote(wav), &out), 1);
    EXPECT_EQ(out, wav + "\tFailed to create folder \"" + blocked + "\" (Not a directory)\n");
    // A target written where it was asked for gives none either.
    EXPECT_EQ(cli.RunForErrors("-f wav -o " + Quote(documents) + " " + Quote(wav), &err), 0);
    EXPECT_EQ(err, "");
}

TEST(CommandLine, SetChecksNamesRangesAndBooleans) {
    Cli cli;
    const std::string tryHelp = "\nTry 'sonavert-cli --help' for more information.\n";
    std::string err;
    for (auto [args, message] : std::vector<std::pair<std::string, std::string>>{
             {"--set Foo=1", "unknown setting 'Foo'"},
             {"--set MP3Tag/Mood=calm", "unknown setting 'MP3Tag/Mood'"},
             {"--set MP3BitRate=999",
              "setting 'MP3BitRate' does not accept '999' (accepted: 0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, "
              "128, 144, 160, 192, 224, 256, 320)"},
             {"--set AmplifyMp3Coeff=5000", "setting 'AmplifyMp3Coeff' does not accept '5000' (accepted: 10 to 3000)"},
             {"--set AmplifyAMRCoef=9", "setting 'AmplifyAMRCoef' does not accept '9' (accepted: 10 to 3000)"},
             {"--set AACVBRQuality=501", "setting 'AACVBRQuality' does not accept '501' (accepted: 10 to 500)"},
             {"--set ParallelJobs=33", "setting 'ParallelJobs' does not accept '33' (accepted: 0 to 32)"},
             {"--set MP3ChannelMode=2", "setting 'MP3ChannelMode' does not accept '2' (accepted: 0, 1, 3, 4)"},
             {"--set WAVSampleRate=44000",
              "setting 'WAVSampleRate' does not accept '44000' (accepted: 0, 6000, 8000, 11025, 12000, 16000, 22050, "
              "24000, 32000, 44100, 48000, 88200, 96000)"},
             {"--set MP3Tag/CustomTrackNum=256",
              "setting 'MP3Tag/CustomTrackNum' does not accept '256' (accepted: 0 to 255)"},
             {"--set CreateDirs=maybe",
              "setting 'CreateDirs' does not accept 'maybe' (accepted: 0 or 1 (also true/false, yes/no, on/off))"},
             {"--set TargetExistsOpt=12", "setting 'TargetExistsOpt' does not accept '12' (accepted: 11, 22, 33, 44)"},
             {"--set OutputFormat=1234",
              "setting 'OutputFormat' does not accept '1234' (accepted: 1000, 2000, 4000, 5500, 5600, 6000, 6500, "
              "6600, 6700, 6800, 7100, 7200, 7300)"}}) {
        EXPECT_EQ(cli.RunForErrors(args + " x.wav", &err), 2) << args;
        EXPECT_EQ(err, "sonavert-cli: " + message + tryHelp) << args;
    }
    // Booleans in words, any case; values inside the ranges are kept.
    ASSERT_EQ(cli.Run("--set CreateDirs=Yes --set BrowseOutputFolder=off --set AmplifyWav=TRUE --set EnableExtFilter=no "
                      "--set AmplifyWavCoeff=3000 --set MP3BitRate=0 --set AACVBRQuality=10 --set OutputFormat=6800 --save"),
              0);
    Settings saved = cli.Saved();
    EXPECT_EQ(saved.CreateDirs, 1);
    EXPECT_EQ(saved.BrowseOutputFolder, 0);
    EXPECT_EQ(saved.AmplifyWav, 1);
    EXPECT_EQ(saved.EnableExtFilter, 0);
    EXPECT_EQ(saved.AmplifyWavCoeff, 3000);
    EXPECT_EQ(saved.MP3BitRate, 0);
    EXPECT_EQ(saved.AACVBRQuality, 10);
    EXPECT_EQ(saved.OutputFormat, 6800);
    // Words are for booleans only.
    EXPECT_EQ(cli.RunForErrors("--set MonoType=on x.wav", &err), 2);

    // Typed tags while the family transfers the source's tags: a warning, and the run goes on.
    EXPECT_EQ(cli.RunForErrors("--set MP3Tag/Artist=Someone --save", &err), 0);
    EXPECT_EQ(err, "sonavert-cli: warning: typed tags are not in use: MP3ID3TagType is 1; the MP3Tag texts are "
                   "written only when it is 0\n");
    EXPECT_EQ(cli.Saved().MP3Tag.Artist, "Someone");
    EXPECT_EQ(cli.RunForErrors("--set MP3Tag/Artist=Someone --set MP3ID3TagType=0 --save", &err), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(cli.RunForErrors("--set M4ATag/Title=T --set M4AID3TagType=2 --save", &err), 0);
    EXPECT_EQ(err, "sonavert-cli: warning: typed tags are not in use: M4AID3TagType is 2; the M4ATag texts are "
                   "written only when it is 0\n");

    // A --set the other settings leave without effect says why, and the run goes on.
    const std::string warning = "sonavert-cli: warning: ";
    EXPECT_EQ(cli.RunForErrors("-f mp3 --set MP3BitRate=192 --set AmplifyMp3Coeff=150 --set OGGBitRate=96 --save", &err),
              0);
    EXPECT_EQ(err, warning + "MP3BitRate has no effect: AutoDestMP3EncodingParam is 1 (automatic parameters); set it "
                             "to 0 for the manual ones\n" +
                       warning + "AmplifyMp3Coeff has no effect: AmplifyMp3 is 0\n" + warning +
                       "OGGBitRate has no effect: the output format is MP3\n");
    EXPECT_EQ(cli.RunForErrors("-f mp3 --set AutoDestMP3EncodingParam=0 --set MP3SampleRate=22050 --set MP3BitRate=320 "
                               "--set AmplifyMp3=1 --set AmplifyMp3Coeff=150 --save",
                               &err),
              0);
    EXPECT_EQ(err, warning + "MP3BitRate 320 cannot be used at MP3SampleRate 22050 (8 to 160 kbps there): the encoder "
                             "takes the nearest bit rate it can\n");
    // The run-only choices exclude each other and are never saved.
    EXPECT_EQ(cli.RunForErrors("--skip --update x.wav", &err), 2);
    EXPECT_EQ(err, "sonavert-cli: --skip, --overwrite and --update exclude each other" + tryHelp);
    EXPECT_EQ(cli.RunForErrors("--set 'TargetNamePattern={artst}' x.wav", &err), 2);
    EXPECT_EQ(err, "sonavert-cli: TargetNamePattern '{artst}' cannot be used: unknown field {artst}" + tryHelp);
    for (auto [shard, message] : std::vector<std::pair<std::string, std::string>>{
             {"3", "'3' is not K/N (shard K of N, e.g. 2/3)"},
             {"0/3", "shard K must lie between 1 and N (3)"},
             {"4/3", "shard K must lie between 1 and N (3)"},
             {"1/0", "the number of shards N must lie between 1 and 10000"},
             {"-1/2", "'-1/2' is not K/N (shard K of N, e.g. 2/3)"}}) {
        EXPECT_EQ(cli.RunForErrors("--shard " + shard + " x.wav", &err), 2) << shard;
        EXPECT_EQ(err, "sonavert-cli: --shard: " + message + tryHelp) << shard;
    }
    EXPECT_EQ(cli.RunForErrors("--update -o " + Quote(cli.dir.file("o")) + " --save", &err), 0);
    EXPECT_EQ(cli.Saved().TargetExistsOpt, kTargetRename);
    EXPECT_EQ(cli.Saved().OutputFiles2MyDocuments, 1);
}

TEST(CommandLine, ProgressLineFitsTheTerminalWithElapsedAndRemainingTime) {
    // Half the batch in 30 seconds: 30 seconds to go.
    EXPECT_EQ(ProgressLine("[1/2] Converting a.wav...50%", 30, 0.5, 80),
              "[1/2] Converting a.wav...50%  0:30 elapsed, about 0:30 left");
    // The text gives way to the times; the line keeps one column free.
    const std::string narrow = ProgressLine("[1/2] Converting a-very-long-name.wav...50%", 3725, 0.25, 40);
    EXPECT_EQ(narrow, "[1  1:02:05 elapsed, about 3:06:15 left");
    EXPECT_EQ(narrow.size(), 39u);
    EXPECT_LE(ProgressLine("x", 1, 0.5, 12).size(), 11u);
    // Multi-byte names count by characters.
    const std::string umlauts = ProgressLine("\xc3\xbc\xc3\xbc\xc3\xbc\xc3\xbc\xc3\xbc\xc3\xbc", 1, 0, 20);
    EXPECT_EQ(umlauts, "\xc3\xbc\xc3\xbc\xc3\xbc\xc3\xbc\xc3\xbc  0:01 elapsed");
    // Before any progress there is no estimate.
    EXPECT_EQ(ProgressLine("[1/3] Converting a.wav...", 0, 0, 80), "[1/3] Converting a.wav...  0:00 elapsed");

    // On a terminal 50 columns wide (through script(1)), every redraw fits one line; with
    // standard error not a terminal there is no progress at all.
    Cli cli;
    std::string wav = cli.Wav("long.wav", 60.0);
    std::string out;
    const std::string command = cli.Command("-f mp3 -o " + Quote(cli.dir.file("out")) + " " + Quote(wav));
    ASSERT_EQ(testutil::Run("script -qec " + Quote("stty cols 50; " + command) + " /dev/null", &out), 0);
    size_t redraws = 0;
    for (size_t at = out.find("\r\033[K"); at != std::string::npos; at = out.find("\r\033[K", at + 1)) {
        const size_t end = out.find_first_of("\r\n", at + 4);
        const std::string line = out.substr(at + 4, end == std::string::npos ? std::string::npos : end - at - 4);
        if (line.find('\t') != std::string::npos) continue;  // a row's status line on stdout
        EXPECT_LE(line.size(), 49u) << line;
        if (line.find(" elapsed") != std::string::npos) ++redraws;
    }
    EXPECT_GT(redraws, 0u) << out;
    EXPECT_NE(out.find(wav + "\t" + cli.dir.file("out") + "/long.mp3"), std::string::npos) << out;
    std::string err;
    ASSERT_EQ(cli.RunForErrors("-f wav -o " + Quote(cli.dir.file("out")) + " " + Quote(wav), &err), 0);
    EXPECT_EQ(err, "");
}

}  // namespace

// Files a folder search cannot read get their cause too; the superuser reads everything, so the
// run drops to the unprivileged user for it.
TEST(CommandLine, UnreadableFoldersAndFilesOfASearchGetTheirCause) {
    Cli cli;
    const std::string album = cli.dir.file("album");
    fs::create_directories(album + "/locked");
    std::string wav = cli.Wav("album/a.wav");
    std::string secret = cli.Wav("album/secret.wav");
    cli.Wav("album/locked/c.wav");
    std::string launcher;
    if (geteuid() == 0) {
        if (testutil::Run("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "no setpriv to drop the superuser";
        launcher = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        fs::permissions(cli.dir.path(), fs::perms::all);
        for (const auto& entry : fs::recursive_directory_iterator(cli.dir.path()))
            fs::permissions(entry.path(), fs::perms::all);
    }
    fs::permissions(secret, fs::perms::none);
    fs::permissions(album + "/locked", fs::perms::none);
    std::string err;
    EXPECT_EQ(testutil::Run("{ " + cli.Command("--list " + Quote(album), launcher) + " 2>&1 >/dev/null; }", &err), 1);
    EXPECT_EQ(err, "sonavert-cli: " + album + "/locked: Permission denied\n"
                   "sonavert-cli: " + secret + ": Permission denied\n");
    fs::permissions(album + "/locked", fs::perms::all);
}

// A source that ends well short of the length it states keeps its target, marked incomplete and
// dated before its source, and the run exits 1; one that ends a little short is a plain success.
// A MIDI file claiming years of playing time is refused when it is added, with the reason.
TEST(CommandLine, CutSourcesAreIncompleteAndEndlessMidiIsRefused) {
    Cli cli;
    const std::string full = cli.dir.file("full.flac"), cut = cli.dir.file("cut.flac"), trim = cli.dir.file("trim.flac");
    ASSERT_EQ(testutil::Run("sox -n -r 44100 -c 2 -b 16 " + Quote(full) + " synth 12 sine 440"), 0);
    const std::vector<uint8_t> bytes = testutil::ReadFileBytes(full);
    ASSERT_TRUE(testutil::WriteFileBytes(cut, {bytes.begin(), bytes.begin() + 60000}));
    ASSERT_TRUE(testutil::WriteFileBytes(trim, {bytes.begin(), bytes.begin() + bytes.size() * 97 / 100}));
    const std::string out = cli.dir.file("out");
    std::string lines;
    EXPECT_EQ(cli.Run("-f wav -o " + Quote(out) + " " + Quote(cut), &lines), 1);
    EXPECT_EQ(lines, cut + "\t" + out + "/cut.wav (incomplete: the source ended at 0:02 of 0:12)\n");
    EXPECT_LT(fs::last_write_time(out + "/cut.wav"), fs::last_write_time(cut));
    EXPECT_EQ(cli.Run("-f wav -o " + Quote(out) + " " + Quote(trim), &lines), 0);
    EXPECT_EQ(lines, trim + "\t" + out + "/trim.wav\n");

    // Tempo 0xFFFFFF and a delta of 0x0FFFFFFF at one tick per quarter: about 4.5e9 seconds.
    const std::string years = cli.dir.file("years.mid");
    testutil::WriteFileBytes(years, {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 1, 'M', 'T', 'r', 'k', 0, 0, 0, 18,
                                     0x00, 0xFF, 0x51, 3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x90, 60, 100,
                                     0x00, 0xFF, 0x2F, 0});
    std::string err;
    EXPECT_EQ(cli.RunForErrors("--list " + Quote(years), &err), 1);
    EXPECT_EQ(err, "sonavert-cli: " + years + ": its playing time is longer than 12 hours\n");
}
