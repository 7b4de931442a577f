// Broken inputs of every kind the program reads, converted by the real sonavert-cli to every
// output family. From each valid file (a fraction of a second long) come empty, truncated and
// bit-flipped copies; every copy goes through one batch per output family. A crash or a hang of
// the program fails the test with the input named; every row must either convert into a target
// that holds audio or fail with a reason, and leave nothing else behind: no target of a failed
// row, no temporary file, nothing beside the source or in the documents folder, and the source
// bytes as they were.
//
// Not covered: Monkey's Audio and Musepack, which no installed tool can write.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "support/BassTestUtil.h"
#include "support/ChildTestUtil.h"
#include "support/SourceTestUtil.h"
#include "support/TestUtil.h"

namespace {

namespace fs = std::filesystem;
using testutil::Quote;

// A batch of a hundred short rows takes a few seconds; a minute means the program hangs.
constexpr double kHangSeconds = 60;
// Rows converted at once, as on a two-core machine.
constexpr int kJobs = 2;

struct OutputFamily {
    const char* name;  // as -f takes it, unless `format` is given
    const char* ext;
    const char* format = nullptr;
    std::vector<const char*> sets = {};  // --set overrides
};
// WAV through the wide read: 24-bit, every channel of the source kept.
const OutputFamily kWideWav = {
    "wav24", ".wav", "wav", {"AutoDestWAVEncodingParam=0", "WAVBitsPerSample=24", "WAVChannelNum=0", "WAVSampleRate=0"}};
const OutputFamily kOutputs[] = {{"wav", ".wav"}, {"mp3", ".mp3"}, {"ogg", ".ogg"}, {"aac", ".aac"},
                                 {"m4a", ".m4a"}, {"amr", ".amr"}, {"wma", ".wma"}, {"flac", ".flac"},
                                 {"alac", ".m4a"}, {"opus", ".opus"}, kWideWav};

uint64_t Fnv(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

// The broken copies of a valid file: empty, cut at several points, and bit-flipped in the header
// (the first 64 bytes) and in the body. The flips are drawn from a generator seeded by the kind's
// name, so every run tries the same bytes.
std::vector<std::pair<std::string, std::vector<uint8_t>>> BrokenCopies(const std::string& kind,
                                                                       const std::vector<uint8_t>& good) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> copies;
    const size_t n = good.size();
    auto cut = [&](const std::string& label, size_t size) {
        if (size < n) copies.emplace_back(label, std::vector<uint8_t>(good.begin(), good.begin() + size));
    };
    copies.emplace_back("empty", std::vector<uint8_t>());
    cut("cut-12", 12);        // inside the first header fields
    cut("cut-64", 64);        // at about the end of a header: no or nearly no sample data
    cut("cut-third", n / 3);
    cut("cut-two-thirds", 2 * n / 3);
    cut("cut-last-byte", n - 1);
    std::mt19937 rng(static_cast<uint32_t>(Fnv(kind) ^ 20261208u));
    const size_t headerEnd = std::min<size_t>(64, n);
    for (int i = 1; i <= 3 && headerEnd > 0; ++i) {
        std::vector<uint8_t> b = good;
        for (int k = 0; k < 4; ++k) b[rng() % headerEnd] ^= static_cast<uint8_t>(1 + rng() % 255);
        copies.emplace_back("flip-head" + std::to_string(i), b);
    }
    const size_t bodyStart = std::min<size_t>(64, n / 2);
    for (int i = 1; i <= 2 && n > bodyStart; ++i) {
        std::vector<uint8_t> b = good;
        for (int k = 0; k < 16; ++k) b[bodyStart + rng() % (n - bodyStart)] ^= static_cast<uint8_t>(1 + rng() % 255);
        copies.emplace_back("flip-body" + std::to_string(i), b);
    }
    return copies;
}

// A row's end as the program reported it: its status line on stdout, or its line on stderr when
// the file was refused before the conversion.
struct RowEnd {
    bool converted = false;
    std::string text;  // the target's path, or the reason
};

struct BatchRun {
    testutil::ChildResult child;
    std::map<size_t, RowEnd> ends;  // by input index
    std::string outDir;
};

class CorruptInputSuite {
public:
    explicit CorruptInputSuite(const char* group)
        : group_(group), env_(dir_), inputs_(dir_.file("inputs")), tone_(dir_.file("tone.wav")),
          tone8k_(dir_.file("tone8k.wav")) {
        fs::create_directories(inputs_);
        fs::create_directories(env_.documents);
        testutil::WriteTwoToneWav(tone_, 0.5);
        testutil::WriteWav16(tone8k_, testutil::Sine(440, 8000, 1, 0.5, 0.4), 8000, 1);
        start_ = std::chrono::steady_clock::now();
    }

    // A kind written by ffmpeg from the 44.1 kHz stereo tone (or the 8 kHz mono one).
    void Ffmpeg(const std::string& kind, const std::string& ext, const std::string& options, bool narrow = false) {
        Add(kind, ext, [=, this](const std::string& path) {
            return testutil::Run("ffmpeg -v error -nostdin -y -i " + Quote(narrow ? tone8k_ : tone_) + " " + options +
                                 " " + Quote(path)) == 0;
        });
    }
    // A kind written by ffmpeg from a small test picture and the tone.
    void FfmpegVideo(const std::string& kind, const std::string& ext, const std::string& options) {
        Add(kind, ext, [=, this](const std::string& path) {
            return testutil::Run("ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=64x48:rate=10:duration=0.5 -i " +
                                 Quote(tone_) + " -shortest " + options + " " + Quote(path)) == 0;
        });
    }
    // A kind written by libsndfile from the 8 kHz tone.
    void Sndfile(const std::string& kind, const std::string& ext, const char* format, const char* subtype) {
        Add(kind, ext, [=](const std::string& path) {
            std::vector<double> samples;
            for (int16_t v : testutil::Sine(440, 8000, 1, 0.5, 0.4)) samples.push_back(v / 32768.0);
            return testutil::SndfileWrite(path, samples, 8000, format, subtype);
        });
    }
    void Bytes(const std::string& kind, const std::string& ext, const std::vector<uint8_t>& bytes) {
        Add(kind, ext, [=](const std::string& path) { return testutil::WriteFileBytes(path, bytes); });
    }

    // Makes the valid file of a kind and its broken copies.
    void Add(const std::string& kind, const std::string& ext, const std::function<bool(const std::string&)>& make) {
        const std::string scratch = dir_.file("scratch" + ext);
        if (!make(scratch) || testutil::ReadFileBytes(scratch).empty()) {
            ADD_FAILURE() << "could not make a valid " << kind << " file";
            return;
        }
        const std::vector<uint8_t> good = testutil::ReadFileBytes(scratch);
        fs::remove(scratch);
        AddInput(kind, "valid", ext, good, true);
        for (const auto& [label, bytes] : BrokenCopies(kind, good)) AddInput(kind, label, ext, bytes, false);
    }

    // Converts every input to every output family and checks each row; prints the figures.
    void Run() {
        ASSERT_FALSE(inputs.empty());
        inputFiles_ = testutil::FilesBelow(inputs_);
        for (const OutputFamily& family : kOutputs) RunFamily(family);
        // The sources are as they were, and nothing was written beside them or into the documents folder.
        for (const Input& in : inputs)
            EXPECT_EQ(testutil::FileHash(in.path), in.hash) << in.label << ": the source was changed";
        const std::vector<std::string> after = testutil::FilesBelow(inputs_);
        for (const std::string& f : after) {
            if (!std::binary_search(inputFiles_.begin(), inputFiles_.end(), f)) {
                ++leftovers_;
                ADD_FAILURE() << "written beside the sources: " << f;
            }
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        std::printf("[ CORRUPT  ] %s: inputs %zu, conversions %d (converted %d, failed %d), decoded %d, crashes %d, "
                    "hangs %d, leftovers %d; %.1f s (%.1f s in batches, %.1f s decoding)\n",
                    group_.c_str(), inputs.size(), conversions_, converted_, failed_, decoded_, crashes_, hangs_,
                    leftovers_, seconds, batchSeconds_, decodeSeconds_);
        std::fflush(stdout);
    }

private:
    struct Input {
        std::string path, label;
        bool valid;
        uint64_t hash;
    };

    void AddInput(const std::string& kind, const std::string& variant, const std::string& ext,
                  const std::vector<uint8_t>& bytes, bool valid) {
        // The index keeps names unique and gives every row's targets a prefix of their own.
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "i%03zu-", inputs.size());
        const std::string path = inputs_ + "/" + prefix + kind + "-" + variant + ext;
        ASSERT_TRUE(testutil::WriteFileBytes(path, bytes));
        inputs.push_back({path, kind + "-" + variant + ext, valid, testutil::FileHash(path)});
        byPath_[path] = inputs.size() - 1;
    }

    // Converts `rows` in one batch into a fresh folder and reads back each row's end.
    BatchRun Batch(const OutputFamily& family, const std::vector<size_t>& rows, int jobs) {
        BatchRun run;
        run.outDir = dir_.file(std::string("out-") + family.name + "-" + std::to_string(++batches_));
        // Every target is verified: what a damaged source yields still matches what was encoded.
        std::vector<std::string> argv = {testutil::CliBinary(), "-y", "-f", family.format ? family.format : family.name,
                                         "-o", run.outDir, "--set", "ParallelJobs=" + std::to_string(jobs), "--verify"};
        for (const char* set : family.sets) argv.insert(argv.end(), {"--set", set});
        for (size_t r : rows) argv.push_back(inputs[r].path);
        const std::string out = dir_.file("stdout.txt"), err = dir_.file("stderr.txt");
        run.child = testutil::RunChild(argv, env_.Env(), kHangSeconds, out, err);
        batchSeconds_ += run.child.seconds;
        EXPECT_TRUE(run.child.started) << "sonavert-cli did not start";
        // "SOURCE<tab>TARGET" or "SOURCE<tab>STATUS" on stdout; "sonavert-cli: SOURCE: CAUSE" on stderr.
        std::istringstream stdoutLines(testutil::ReadText(out));
        for (std::string line; std::getline(stdoutLines, line);) {
            const size_t tab = line.find('\t');
            const auto it = byPath_.find(line.substr(0, tab));
            if (tab == std::string::npos || it == byPath_.end()) {
                ADD_FAILURE() << family.name << ": unexpected output line: " << line;
                continue;
            }
            const std::string rest = line.substr(tab + 1);
            Record(run, family, it->second, {!rest.empty() && rest[0] == '/', rest});
        }
        std::istringstream stderrLines(testutil::ReadText(err));
        const std::string lead = "sonavert-cli: ";
        for (std::string line; std::getline(stderrLines, line);) {
            if (line.rfind(lead + inputs_ + "/", 0) != 0) continue;
            const size_t colon = line.find(": ", lead.size());
            const auto it = byPath_.find(line.substr(lead.size(), colon - lead.size()));
            if (colon == std::string::npos || it == byPath_.end()) continue;
            Record(run, family, it->second, {false, line.substr(colon + 2)});
        }
        return run;
    }

    void Record(BatchRun& run, const OutputFamily& family, size_t row, const RowEnd& end) {
        const Input& in = inputs[row];
        if (run.ends.count(row)) {
            ADD_FAILURE() << in.label << " -> " << family.name << ": more than one status line";
            return;
        }
        run.ends[row] = end;
    }

    // Checks the rows of a batch. Of a batch that ended normally every row must have its line,
    // the exit status must match and the folder must hold only the targets; of one that crashed
    // or hung, only the rows that ended are checked.
    void CheckBatch(const OutputFamily& family, const BatchRun& run, const std::vector<size_t>& rows) {
        const bool whole = run.child.Normal();
        std::set<std::string> targets;
        std::vector<Decoding> toDecode;
        bool allConverted = true;
        for (size_t r : rows) {
            const Input& in = inputs[r];
            const std::string what = in.label + " -> " + family.name;
            const auto it = run.ends.find(r);
            if (it == run.ends.end()) {
                if (!whole) continue;
                ADD_FAILURE() << what << ": the row has no status line";
                allConverted = false;
                continue;
            }
            const RowEnd& end = it->second;
            ++conversions_;
            if (!end.converted) {
                ++failed_;
                allConverted = false;
                EXPECT_FALSE(end.text.empty()) << what << ": failed without a reason";
                EXPECT_FALSE(in.valid) << what << ": a valid file failed: " << end.text;
                continue;
            }
            ++converted_;
            const fs::path target(end.text);
            EXPECT_EQ(target.parent_path().string(), run.outDir) << what << ": the target went elsewhere: " << end.text;
            EXPECT_EQ(target.extension().string(), family.ext) << what;
            targets.insert(target.filename().string());
            std::error_code ec;
            if (fs::file_size(target, ec) == 0 || ec) {
                ADD_FAILURE() << what << ": converted, but the target is missing or empty";
                continue;
            }
            toDecode.push_back({end.text, what, in.valid ? 1600u : 2u});
        }
        Decode(toDecode);
        if (!whole) return;
        EXPECT_EQ(run.child.exitCode, allConverted ? 0 : 1) << family.name << ": exit status";
        // Only the converted rows' targets: no target of a failed row, no temporary file.
        for (const std::string& f : testutil::FilesBelow(run.outDir)) {
            if (!targets.count(f)) {
                ++leftovers_;
                ADD_FAILURE() << family.name << ": left in the output folder: " << f;
            }
        }
        for (const std::string& f : testutil::FilesBelow(env_.documents)) {
            ++leftovers_;
            ADD_FAILURE() << family.name << ": written into the documents folder: " << f;
        }
        for (const std::string& f : testutil::FilesBelow(env_.home + "/Documents")) {
            ++leftovers_;
            ADD_FAILURE() << family.name << ": written into the documents folder: " << f;
        }
    }

    struct Decoding {
        std::string target, what;
        size_t minBytes;  // of mono 16-bit samples: a valid input gives a tenth of a second at 8 kHz, any other a sample
    };

    // Decodes the targets with ffmpeg, many in one run (its start-up is most of the cost of a short
    // file), to prove each holds audio.
    void Decode(const std::vector<Decoding>& targets) {
        const auto decodeStart = std::chrono::steady_clock::now();
        struct Clock {
            std::chrono::steady_clock::time_point start;
            double& total;
            ~Clock() { total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); }
        } clock{decodeStart, decodeSeconds_};
        constexpr size_t kPerRun = 32;
        for (size_t first = 0; first < targets.size(); first += kPerRun) {
            const size_t count = std::min(kPerRun, targets.size() - first);
            auto decodeRun = [&](size_t from, size_t n) {
                std::string inputs, outputs;
                for (size_t i = 0; i < n; ++i) {
                    // ffmpeg's probe does not take an ADTS stream of one or two frames (a short
                    // source's whole target), and takes two bare MP3 frames for H.263 video: the
                    // demuxer is named for those.
                    const std::string& t = targets[from + i].target;
                    const fs::path ext = fs::path(t).extension();
                    inputs += (ext == ".aac" ? " -f aac -i " : ext == ".mp3" ? " -f mp3 -i " : " -i ") + Quote(t);
                    // A valid input's target is brought to 8 kHz to measure its length; a broken
                    // one's keeps its rate, as the resampler's delay could swallow its few samples.
                    outputs += " -map " + std::to_string(i) + ":a:0 -ac 1" +
                               (targets[from + i].minBytes > 2 ? " -ar 8000" : "") + " -f s16le -acodec pcm_s16le -y " +
                               Quote(dir_.file("decoded-" + std::to_string(i) + ".raw"));
                }
                return testutil::Run("ffmpeg -v error -nostdin" + inputs + outputs) == 0;
            };
            auto check = [&](size_t from, size_t n) {
                for (size_t i = 0; i < n; ++i) {
                    ++decoded_;
                    const std::string raw = dir_.file("decoded-" + std::to_string(i) + ".raw");
                    std::error_code ec;
                    const uint64_t size = fs::file_size(raw, ec);
                    const Decoding& d = targets[from + i];
                    EXPECT_GE(ec ? 0 : size, d.minBytes) << d.what << ": the target holds no audio";
                    fs::remove(raw, ec);
                }
            };
            // A run that fails is split in halves down to the targets ffmpeg cannot decode.
            std::function<void(size_t, size_t)> decode = [&](size_t from, size_t n) {
                if (decodeRun(from, n))
                    check(from, n);
                else if (n == 1)
                    ADD_FAILURE() << targets[from].what << ": ffmpeg cannot decode the target";
                else {
                    decode(from, n / 2);
                    decode(from + n / 2, n - n / 2);
                }
            };
            decode(first, count);
        }
    }

    void RunFamily(const OutputFamily& family) {
        std::vector<size_t> all(inputs.size());
        for (size_t i = 0; i < all.size(); ++i) all[i] = i;
        Resolve(family, all);
    }

    // Converts `rows` in one batch; after a crash or a hang, finds the rows that cause it and
    // names them, and still checks every other row. The rows without a line were running or
    // waiting: the first ones were running and go alone first; when neither of them is the
    // cause (it may come while the files are added), the rest is halved until it is found.
    // Returns how many rows were named.
    int Resolve(const OutputFamily& family, const std::vector<size_t>& rows) {
        const BatchRun run = Batch(family, rows, rows.size() == 1 ? 1 : kJobs);
        CheckBatch(family, run, rows);
        if (run.child.Normal()) return 0;
        std::vector<size_t> unfinished;
        for (size_t r : rows)
            if (!run.ends.count(r)) unfinished.push_back(r);
        if (unfinished.size() <= 1) {
            if (run.child.timedOut)
                ++hangs_;
            else
                ++crashes_;
            ++conversions_;
            ADD_FAILURE() << (unfinished.empty() ? "after its last row" : inputs[unfinished[0]].label) << " -> "
                          << family.name << ": " << run.child.Describe();
            return 1;
        }
        int named = 0;
        const size_t first = std::min<size_t>(unfinished.size(), kJobs);
        for (size_t s = 0; s < first; ++s) named += Resolve(family, {unfinished[s]});
        const std::vector<size_t> rest(unfinished.begin() + static_cast<std::ptrdiff_t>(first), unfinished.end());
        if (named > 0) return rest.empty() ? named : named + Resolve(family, rest);
        const auto half = static_cast<std::ptrdiff_t>(rest.size() / 2);
        named = rest.empty() ? 0
                : half == 0  ? Resolve(family, rest)
                             : Resolve(family, std::vector<size_t>(rest.begin(), rest.begin() + half)) +
                                Resolve(family, std::vector<size_t>(rest.begin() + half, rest.end()));
        if (named == 0) {
            run.child.timedOut ? ++hangs_ : ++crashes_;
            ADD_FAILURE() << family.name << ": a batch ended with " << run.child.Describe()
                          << ", but none of its rows does alone";
        }
        return named;
    }

public:
    std::vector<Input> inputs;

private:
    testutil::TempDir dir_;
    std::string group_;
    testutil::CliEnvironment env_;
    std::string inputs_, tone_, tone8k_;
    std::map<std::string, size_t> byPath_;
    std::vector<std::string> inputFiles_;
    std::chrono::steady_clock::time_point start_;
    int batches_ = 0;
    double batchSeconds_ = 0, decodeSeconds_ = 0;
    int conversions_ = 0, converted_ = 0, failed_ = 0, decoded_ = 0, crashes_ = 0, hangs_ = 0, leftovers_ = 0;
};

// Every coding the WAV reader handles, and one it leaves to the other decoders.
TEST(CorruptInput, WavCodings) {
    CorruptInputSuite suite("WAV codings");
    suite.Ffmpeg("pcm8", ".wav", "-c:a pcm_u8");
    suite.Ffmpeg("pcm16", ".wav", "-c:a pcm_s16le");
    suite.Ffmpeg("pcm24", ".wav", "-c:a pcm_s24le");
    suite.Ffmpeg("pcm32", ".wav", "-c:a pcm_s32le");
    suite.Ffmpeg("quad16", ".wav", "-ac 4 -c:a pcm_s16le");  // written as WAVE_FORMAT_EXTENSIBLE
    suite.Ffmpeg("float32", ".wav", "-c:a pcm_f32le");
    suite.Ffmpeg("float64", ".wav", "-c:a pcm_f64le");
    suite.Ffmpeg("alaw", ".wav", "-c:a pcm_alaw");
    suite.Ffmpeg("mulaw", ".wav", "-c:a pcm_mulaw");
    suite.Ffmpeg("ima-adpcm", ".wav", "-c:a adpcm_ima_wav");
    suite.Ffmpeg("ms-adpcm", ".wav", "-c:a adpcm_ms");
    suite.Ffmpeg("gsm610", ".wav", "-c:a libgsm_ms", true);
    suite.Ffmpeg("g726", ".wav", "-c:a g726 -b:a 32k", true);
    suite.Run();
}

TEST(CorruptInput, CompressedStreams) {
    CorruptInputSuite suite("compressed streams");
    suite.Ffmpeg("mp3", ".mp3", "-c:a libmp3lame -b:a 128k");
    suite.Ffmpeg("flac", ".flac", "-c:a flac");
    suite.Ffmpeg("wavpack", ".wv", "-c:a wavpack");
    suite.Ffmpeg("tta", ".tta", "-c:a tta");
    suite.Ffmpeg("adx", ".adx", "-c:a adpcm_adx");
    suite.Ffmpeg("vorbis", ".ogg", "-c:a libvorbis");
    suite.Ffmpeg("opus", ".opus", "-c:a libopus");
    suite.Ffmpeg("aac", ".m4a", "-c:a aac");
    suite.Ffmpeg("adts", ".aac", "-c:a aac");
    suite.Ffmpeg("alac", ".m4a", "-c:a alac");
    suite.Run();
}

TEST(CorruptInput, AiffAndAuKinds) {
    CorruptInputSuite suite("AIFF and AU kinds");
    suite.Ffmpeg("pcm8", ".aiff", "-c:a pcm_s8");
    suite.Ffmpeg("pcm16", ".aiff", "-c:a pcm_s16be");
    suite.Ffmpeg("pcm24", ".aiff", "-c:a pcm_s24be");
    suite.Ffmpeg("float", ".aifc", "-c:a pcm_f32be -f aiff");
    suite.Ffmpeg("alaw", ".aifc", "-c:a pcm_alaw -f aiff");
    suite.Ffmpeg("ulaw", ".aifc", "-c:a pcm_mulaw -f aiff");
    suite.Ffmpeg("ima4", ".aifc", "-c:a adpcm_ima_qt -f aiff");
    suite.Sndfile("gsm610", ".aifc", "AIFF", "GSM610");
    suite.Ffmpeg("pcm16", ".au", "-c:a pcm_s16be");
    suite.Ffmpeg("alaw", ".au", "-c:a pcm_alaw");
    suite.Ffmpeg("ulaw", ".au", "-c:a pcm_mulaw");
    suite.Ffmpeg("float", ".au", "-c:a pcm_f32be");
    suite.Sndfile("g721", ".au", "AU", "G721_32");
    suite.Sndfile("g723-24", ".au", "AU", "G723_24");
    suite.Sndfile("g723-40", ".snd", "AU", "G723_40");
    suite.Run();
}

TEST(CorruptInput, WindowsMediaVideoAndSynthesis) {
    CorruptInputSuite suite("Windows Media, video, MIDI and modules");
    suite.Ffmpeg("wmav2", ".wma", "-c:a wmav2 -b:a 64k");
    suite.FfmpegVideo("wmv2", ".wmv", "-c:v wmv2 -c:a wmav2 -b:a 64k");
    const bool x264 = testutil::Run("ffmpeg -hide_banner -encoders 2>/dev/null | grep -q libx264") == 0;
    suite.FfmpegVideo("video", ".mp4", std::string(x264 ? "-c:v libx264 -preset ultrafast" : "-c:v mpeg4") + " -c:a aac");
    suite.Bytes("midi", ".mid", testutil::TinyMidi());
    suite.Bytes("module", ".mod", testutil::TinyModule());
    suite.Run();
}

}  // namespace
