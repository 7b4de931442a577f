#include "support/AacTestUtil.h"

#include <cmath>
#include <sstream>

#include "support/TestUtil.h"

namespace testutil {

Planes TonePlanes(double freq, int rate, size_t samples, double amplitude) {
    Planes p;
    for (size_t i = 0; i < samples; ++i) {
        const double t = static_cast<double>(i) / rate;
        p.left.push_back(static_cast<int16_t>(std::lround(amplitude * 32767 * std::sin(2 * M_PI * freq * t))));
        p.right.push_back(
            static_cast<int16_t>(std::lround(amplitude / 2 * 32767 * std::sin(2 * M_PI * 1.5 * freq * t))));
    }
    return p;
}

Planes NoisePlanes(size_t samples, double amplitude) {
    Planes p;
    uint32_t state = 12345;
    auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / static_cast<double>(1u << 24) * 2.0 - 1.0;
    };
    for (size_t i = 0; i < samples; ++i) {
        p.left.push_back(static_cast<int16_t>(std::lround(amplitude * 32767 * next())));
        p.right.push_back(static_cast<int16_t>(std::lround(amplitude * 32767 * next())));
    }
    return p;
}

Planes SweepPlanes(int rate, size_t samples, double amplitude) {
    Planes p;
    const double seconds = static_cast<double>(samples) / rate;
    const double f0 = 200, f1 = 5000;
    for (size_t i = 0; i < samples; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double phase = 2 * M_PI * (f0 * t + (f1 - f0) * t * t / (2 * seconds));
        const auto v = static_cast<int16_t>(std::lround(amplitude * 32767 * std::sin(phase)));
        p.left.push_back(v);
        p.right.push_back(v);
    }
    return p;
}

std::vector<uint8_t> ToUnsigned8(const std::vector<int16_t>& plane) {
    std::vector<uint8_t> out;
    out.reserve(plane.size());
    for (int16_t s : plane) out.push_back(static_cast<uint8_t>((s >> 8) + 128));
    return out;
}

std::vector<AdtsFrame> ParseAdts(const std::vector<uint8_t>& b) {
    std::vector<AdtsFrame> frames;
    size_t at = 0;
    while (at + 7 <= b.size()) {
        const uint8_t* h = b.data() + at;
        if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0) break;
        AdtsFrame f;
        f.offset = at;
        f.mpeg2 = (h[1] >> 3) & 1;
        f.protectionAbsent = h[1] & 1;
        f.profile = h[2] >> 6;
        f.rateIndex = (h[2] >> 2) & 0x0F;
        f.channels = ((h[2] & 1) << 2) | (h[3] >> 6);
        f.length = (static_cast<size_t>(h[3] & 3) << 11) | (static_cast<size_t>(h[4]) << 3) | (h[5] >> 5);
        if (f.length < 7 || at + f.length > b.size()) break;
        frames.push_back(f);
        at += f.length;
    }
    return frames;
}

std::map<std::string, std::string> Probe(const std::string& path, const std::string& entries,
                                         const std::string& extra) {
    std::string out;
    Run("ffprobe -v error " + extra + " -show_entries " + Quote(entries) + " -of default=nw=1 " + Quote(path), &out);
    std::map<std::string, std::string> result;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        result.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    return result;
}

std::vector<int64_t> PacketDurations(const std::string& path, const std::string& extra) {
    std::string out;
    Run("ffprobe -v error " + extra + " -select_streams a:0 -show_entries packet=duration -of csv=p=0 " + Quote(path),
        &out);
    std::vector<int64_t> durations;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty()) durations.push_back(std::stoll(line));
    return durations;
}

int BestLag(const std::vector<int16_t>& source, const std::vector<int16_t>& decoded, int channels,
            size_t window, int maxLag) {
    int best = 0;
    double bestScore = -1e300;
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double score = 0;
        for (size_t i = 0; i < window; ++i) {
            const long j = static_cast<long>(i) + lag;
            if (j < 0 || static_cast<size_t>(j) * channels >= decoded.size()) continue;
            score += static_cast<double>(source[i]) * decoded[static_cast<size_t>(j) * channels];
        }
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

double LevelDb(const std::vector<int16_t>& interleaved, int channels, int channel, double reference) {
    return 20 * std::log10(RmsLevel(interleaved, channels, channel) / reference);
}

}  // namespace testutil
