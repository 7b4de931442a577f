#include "support/TestUtil.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testutil {

TempDir::TempDir() {
    std::random_device rd;
    for (;;) {
        auto candidate = std::filesystem::temp_directory_path() /
                         ("sonavert-test-" + std::to_string(getpid()) + "-" + std::to_string(rd()));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) {
            dir_ = candidate;
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

int Run(const std::string& command, std::string* output) {
    std::string cmd = command;
    if (!output) cmd += " >/dev/null 2>&1";
    else cmd += " 2>/dev/null";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) {
        if (output) output->append(buf, n);
    }
    int status = pclose(pipe);
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::vector<int16_t> FfmpegDecodeS16(const std::string& path, int channels, bool mapChannels) {
    std::string filter;
    if (channels > 0) {
        if (mapChannels) {
            filter = " -af " + Quote("pan=" + std::to_string(channels) + "c" + [&] {
                std::string m;
                for (int c = 0; c < channels; ++c) m += "|c" + std::to_string(c) + "=c" + std::to_string(c);
                return m;
            }());
        } else {
            filter = " -ac " + std::to_string(channels);
        }
    }
    std::string out;
    Run("ffmpeg -v error -nostdin -i " + Quote(path) + filter + " -f s16le -acodec pcm_s16le -", &out);
    std::vector<int16_t> samples(out.size() / 2);
    std::memcpy(samples.data(), out.data(), samples.size() * 2);
    return samples;
}

std::vector<int16_t> Sine(double freq, int rate, int channels, double seconds, double amplitude) {
    size_t frames = static_cast<size_t>(seconds * rate);
    std::vector<int16_t> out(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        double v = amplitude * 32767.0 * std::sin(2.0 * M_PI * freq * static_cast<double>(i) / rate);
        for (int c = 0; c < channels; ++c) out[i * channels + c] = static_cast<int16_t>(std::lround(v));
    }
    return out;
}

bool WriteWav16(const std::string& path, const std::vector<int16_t>& samples, int rate, int channels) {
    std::vector<uint8_t> b;
    auto put32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i))); };
    auto put16 = [&](uint16_t v) { b.push_back(v & 0xFF); b.push_back(v >> 8); };
    auto tag = [&](const char* t) { for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(t[i])); };
    uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2);
    tag("RIFF"); put32(36 + dataBytes); tag("WAVE");
    tag("fmt "); put32(16); put16(1); put16(static_cast<uint16_t>(channels)); put32(rate);
    put32(rate * channels * 2); put16(static_cast<uint16_t>(channels * 2)); put16(16);
    tag("data"); put32(dataBytes);
    for (int16_t s : samples) put16(static_cast<uint16_t>(s));
    return WriteFileBytes(path, b);
}

double EstimateFrequency(const std::vector<int16_t>& x, int channels, int channel, int rate) {
    size_t frames = x.size() / channels;
    if (frames < 2) return 0;
    size_t crossings = 0;
    size_t first = 0, last = 0;
    for (size_t i = 1; i < frames; ++i) {
        int16_t a = x[(i - 1) * channels + channel], b = x[i * channels + channel];
        if (a < 0 && b >= 0) {
            if (crossings == 0) first = i;
            last = i;
            ++crossings;
        }
    }
    if (crossings < 2) return 0;
    return static_cast<double>(crossings - 1) * rate / static_cast<double>(last - first);
}

double ToneAmplitude(const std::vector<int16_t>& x, int channels, int channel, double freq, int rate) {
    const size_t frames = x.size() / channels;
    if (!frames) return 0;
    double re = 0, im = 0;
    for (size_t i = 0; i < frames; ++i) {
        const double phase = 2 * M_PI * freq * static_cast<double>(i) / rate;
        re += x[i * channels + channel] * std::cos(phase);
        im += x[i * channels + channel] * std::sin(phase);
    }
    return 2 * std::hypot(re, im) / static_cast<double>(frames);
}

std::vector<int16_t> MixToStereo(const std::vector<int16_t>& x, int channels, const std::vector<double>& lg,
                                 const std::vector<double>& rg) {
    double ls = 0, rs = 0;
    for (int c = 0; c < channels; ++c) {
        ls += lg[c];
        rs += rg[c];
    }
    const double norm = 1.0 / std::max(ls, rs);
    std::vector<int16_t> out;
    for (size_t i = 0; i + channels <= x.size(); i += channels) {
        double l = 0, r = 0;
        for (int c = 0; c < channels; ++c) {
            l += lg[c] * x[i + c];
            r += rg[c] * x[i + c];
        }
        out.push_back(static_cast<int16_t>(std::lround(l * norm)));
        out.push_back(static_cast<int16_t>(std::lround(r * norm)));
    }
    return out;
}

double RmsLevel(const std::vector<int16_t>& x, int channels, int channel) {
    size_t frames = x.size() / channels;
    if (!frames) return 0;
    double sum = 0;
    for (size_t i = 0; i < frames; ++i) {
        double v = x[i * channels + channel] / 32768.0;
        sum += v * v;
    }
    return std::sqrt(sum / frames);
}

int RunWithFileSizeLimit(size_t fileSizeLimit, const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{fileSizeLimit, fileSizeLimit};
        setrlimit(RLIMIT_FSIZE, &lim);
        _exit(body() & 0xff);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TonePlanes16 ToneInPlanes(double freq, int rate, double seconds) {
    TonePlanes16 p;
    const size_t n = static_cast<size_t>(seconds * rate);
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        p.left.push_back(static_cast<int16_t>(std::lround(0.5 * 32767 * std::sin(2 * M_PI * freq * t))));
        p.right.push_back(static_cast<int16_t>(std::lround(0.25 * 32767 * std::sin(2 * M_PI * 1.5 * freq * t))));
    }
    return p;
}

std::string WriteTwoToneWav(const std::string& path, double seconds) {
    auto left = Sine(440, 44100, 1, seconds, 0.5);
    auto right = Sine(1000, 44100, 1, seconds, 0.25);
    std::vector<int16_t> stereo(left.size() * 2);
    for (size_t i = 0; i < left.size(); ++i) {
        stereo[2 * i] = left[i];
        stereo[2 * i + 1] = right[i];
    }
    WriteWav16(path, stereo, 44100, 2);
    return path;
}

std::string BinDir() { return SONAVERT_BIN_DIR; }

}  // namespace testutil
