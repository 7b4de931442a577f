#include "sources/bass/SmfParser.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace sonavert::bass {
namespace {

uint32_t Be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }
uint32_t Le32(const uint8_t* p) { return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0]; }
uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

constexpr uint32_t kDefaultTempo = 500000;  // microseconds per quarter note (120 bpm)

class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool AtEnd() const { return pos_ >= n_; }
    bool Byte(uint8_t& b) {
        if (pos_ >= n_) return false;
        b = p_[pos_++];
        return true;
    }
    bool Peek(uint8_t& b) const {
        if (pos_ >= n_) return false;
        b = p_[pos_];
        return true;
    }
    // Variable-length quantity of at most four bytes.
    bool Vlq(uint32_t& v) {
        v = 0;
        for (int i = 0; i < 4; ++i) {
            uint8_t b;
            if (!Byte(b)) return false;
            v = (v << 7) | (b & 0x7F);
            if (!(b & 0x80)) return true;
        }
        return false;
    }
    bool Skip(size_t count) {
        if (count > n_ - pos_) return false;
        pos_ += count;
        return true;
    }
    const uint8_t* Here() const { return p_ + pos_; }
    size_t Left() const { return n_ - pos_; }

private:
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
};

// One event of a track: its absolute tick, its status byte and the bytes after the status
// (`length` bytes from `offset` of the track body; for a running-status event, its data bytes).
struct TrackEvent {
    uint64_t tick;
    uint32_t offset;
    uint32_t length;
    uint8_t status;
};

// Reads one track; adds its tempo events to `tempos`, counts its notes, and returns the tick of
// its last event. With `events`, also lists every event but the end of track.
uint64_t ReadTrack(const uint8_t* data, size_t size, std::multimap<uint64_t, uint32_t>& tempos, uint64_t& notes,
                   std::vector<TrackEvent>* events = nullptr) {
    Reader r(data, size);
    uint64_t tick = 0, last = 0;
    uint8_t status = 0;
    auto keep = [&](uint8_t b, const uint8_t* from) {
        if (events)
            events->push_back({tick, static_cast<uint32_t>(from - data), static_cast<uint32_t>(r.Here() - from), b});
    };
    while (!r.AtEnd()) {
        uint32_t delta;
        if (!r.Vlq(delta)) break;
        tick += delta;
        uint8_t b;
        if (!r.Peek(b)) break;
        if (b & 0x80) {
            r.Byte(b);
            if (b < 0xF0) status = b;  // system messages cancel nothing but do not set running status
        } else if (status == 0) {
            break;  // data byte with no running status: unreadable
        } else {
            b = status;
        }
        const uint8_t* from = r.Here();
        if (b == 0xFF) {
            uint8_t type;
            uint32_t len;
            if (!r.Byte(type) || !r.Vlq(len) || len > r.Left()) break;
            if (type == 0x51 && len >= 3) {
                const uint8_t* t = r.Here();
                uint32_t tempo = (uint32_t(t[0]) << 16) | (uint32_t(t[1]) << 8) | t[2];
                if (tempo > 0) tempos.emplace(tick, tempo);
            }
            r.Skip(len);
            last = tick;
            if (type == 0x2F) break;  // end of track
            keep(b, from);
            continue;
        }
        if (b == 0xF0 || b == 0xF7) {
            uint32_t len;
            if (!r.Vlq(len) || !r.Skip(len)) break;
        } else if (b >= 0xF0) {
            // Stray system common/real-time bytes carry a fixed number of data bytes; players
            // do not take them from a file, so they are not kept.
            size_t n = (b == 0xF2) ? 2 : (b == 0xF1 || b == 0xF3) ? 1 : 0;
            if (!r.Skip(n)) break;
            last = tick;
            continue;
        } else {
            uint8_t hi = b & 0xF0;
            size_t n = (hi == 0xC0 || hi == 0xD0) ? 1 : 2;
            if (!(b == status && (status & 0x80))) break;
            if (n > r.Left()) break;
            // Data bytes have their top bit clear; a status byte among them ends the readable part.
            bool clean = true;
            for (size_t i = 0; i < n; ++i) clean = clean && !(r.Here()[i] & 0x80);
            if (!clean) break;
            if (hi == 0x90 && r.Here()[1] != 0) ++notes;
            r.Skip(n);
        }
        keep(b, from);
        last = tick;
    }
    return last;
}

// Where each track's body lies in the file: at most the declared count, each cut at the file's end.
struct TrackSpan {
    size_t offset;
    size_t size;
};

std::vector<TrackSpan> FindTracks(const uint8_t* data, size_t size, size_t pos, int declared) {
    std::vector<TrackSpan> tracks;
    while (static_cast<int>(tracks.size()) < declared && size - pos >= 8) {
        uint32_t len = Be32(data + pos + 4);
        size_t avail = size - pos - 8;
        size_t body = std::min<size_t>(len, avail);
        if (std::memcmp(data + pos, "MTrk", 4) == 0) tracks.push_back({pos + 8, body});
        if (len > avail) break;
        pos += 8 + len;
    }
    return tracks;
}

// Checks the header; on success gives the format, the declared track count, the division and
// where the first chunk after the header starts.
bool ReadHeader(const uint8_t* data, size_t size, int& format, int& tracks, uint16_t& division, size_t& first) {
    if (!data || size < 14 || std::memcmp(data, "MThd", 4) != 0) return false;
    uint32_t headerLen = Be32(data + 4);
    if (headerLen < 6 || headerLen > size - 8) return false;
    format = Be16(data + 8);
    tracks = Be16(data + 10);
    division = Be16(data + 12);
    if (format > 2 || division == 0) return false;
    first = 8 + headerLen;
    return true;
}

void PutVlq(std::vector<uint8_t>& out, uint64_t v) {
    // Deltas of the rewritten file never exceed the four-byte limit: a larger gap is split.
    uint8_t bytes[4];
    int n = 0;
    do {
        bytes[n++] = static_cast<uint8_t>(v & 0x7F);
        v >>= 7;
    } while (v && n < 4);
    for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(bytes[i] | (i ? 0x80 : 0)));
}

void PutBe32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    out[at] = static_cast<uint8_t>(v >> 24);
    out[at + 1] = static_cast<uint8_t>(v >> 16);
    out[at + 2] = static_cast<uint8_t>(v >> 8);
    out[at + 3] = static_cast<uint8_t>(v);
}

}  // namespace

const uint8_t* FindSmf(const uint8_t* data, size_t& size) {
    if (size >= 14 && std::memcmp(data, "MThd", 4) == 0) return data;
    if (size >= 12 && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "RMID", 4) == 0) {
        size_t pos = 12;
        // pos may pass size by the pad byte of an odd last chunk: compare without subtracting.
        while (pos + 8 <= size) {
            uint32_t len = Le32(data + pos + 4);
            if (std::memcmp(data + pos, "data", 4) == 0) {
                size_t avail = size - pos - 8;
                size = std::min<size_t>(len, avail);
                return data + pos + 8;
            }
            if (len > size - pos - 8) break;
            pos += 8 + len + (len & 1);
        }
    }
    size = 0;
    return nullptr;
}

SmfTiming ParseSmfTiming(const uint8_t* data, size_t size) {
    SmfTiming t;
    uint16_t division = 0;
    size_t first = 0;
    if (!ReadHeader(data, size, t.format, t.tracks, division, first)) return t;

    std::multimap<uint64_t, uint32_t> tempos;
    const std::vector<TrackSpan> tracks = FindTracks(data, size, first, t.tracks);
    for (const TrackSpan& track : tracks)
        t.endTick = std::max(t.endTick, ReadTrack(data + track.offset, track.size, tempos, t.notes));
    if (tracks.empty()) return t;

    if (division & 0x8000) {
        // SMPTE timing: frames per second times ticks per frame; tempo events do not apply.
        int fps = -static_cast<int8_t>(division >> 8);
        int perFrame = division & 0xFF;
        if (fps <= 0 || perFrame == 0) return t;
        double rate = (fps == 29 ? 29.97 : fps) * perFrame;
        t.seconds = static_cast<double>(t.endTick) / rate;
    } else {
        double seconds = 0;
        uint64_t at = 0;
        uint32_t tempo = kDefaultTempo;
        for (const auto& [tick, value] : tempos) {
            if (tick >= t.endTick) break;
            seconds += static_cast<double>(tick - at) * tempo / (1e6 * division);
            at = tick;
            tempo = value;
        }
        seconds += static_cast<double>(t.endTick - at) * tempo / (1e6 * division);
        t.seconds = seconds;
    }
    t.valid = true;
    return t;
}

std::vector<uint8_t> RewriteSmf(const uint8_t* data, size_t size, int maxTracks) {
    int format = 0, declared = 0;
    uint16_t division = 0;
    size_t first = 0;
    if (maxTracks < 1 || !ReadHeader(data, size, format, declared, division, first)) return {};
    const std::vector<TrackSpan> spans = FindTracks(data, size, first, declared);
    if (spans.empty()) return {};

    // Each output track: the events of one input track, or of the merged last ones in tick order.
    struct Placed {
        TrackEvent event;
        const uint8_t* body;
    };
    std::vector<std::vector<Placed>> out(std::min<size_t>(spans.size(), static_cast<size_t>(maxTracks)));
    std::multimap<uint64_t, uint32_t> tempos;
    uint64_t notes = 0;
    std::vector<TrackEvent> events;
    for (size_t i = 0; i < spans.size(); ++i) {
        events.clear();
        const uint8_t* body = data + spans[i].offset;
        ReadTrack(body, spans[i].size, tempos, notes, &events);
        auto& into = out[std::min(i, out.size() - 1)];
        for (const TrackEvent& e : events) into.push_back({e, body});
    }
    if (spans.size() > out.size())
        std::stable_sort(out.back().begin(), out.back().end(),
                         [](const Placed& a, const Placed& b) { return a.event.tick < b.event.tick; });

    std::vector<uint8_t> smf = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, static_cast<uint8_t>(out.size() > 1 ? 1 : 0),
                                static_cast<uint8_t>(out.size() >> 8), static_cast<uint8_t>(out.size()),
                                static_cast<uint8_t>(division >> 8), static_cast<uint8_t>(division)};
    constexpr uint64_t kMaxDelta = 0x0FFFFFFF;
    for (const auto& track : out) {
        const size_t start = smf.size();
        smf.insert(smf.end(), {'M', 'T', 'r', 'k', 0, 0, 0, 0});
        uint64_t at = 0;
        auto advance = [&](uint64_t tick) {
            // A gap too long for one delta is bridged by empty text events.
            while (tick - at > kMaxDelta) {
                PutVlq(smf, kMaxDelta);
                smf.insert(smf.end(), {0xFF, 0x01, 0x00});
                at += kMaxDelta;
            }
            PutVlq(smf, tick - at);
            at = tick;
        };
        for (const Placed& p : track) {
            advance(p.event.tick);
            smf.push_back(p.event.status);
            smf.insert(smf.end(), p.body + p.event.offset, p.body + p.event.offset + p.event.length);
        }
        smf.insert(smf.end(), {0x00, 0xFF, 0x2F, 0x00});
        PutBe32(smf, start + 4, static_cast<uint32_t>(smf.size() - start - 8));
    }
    return smf;
}

}  // namespace sonavert::bass
