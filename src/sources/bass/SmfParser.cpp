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

// Reads one track; adds its tempo events to `tempos` and returns the tick of its last event.
uint64_t ReadTrack(const uint8_t* data, size_t size, std::multimap<uint64_t, uint32_t>& tempos) {
    Reader r(data, size);
    uint64_t tick = 0, last = 0;
    uint8_t status = 0;
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
            continue;
        }
        if (b == 0xF0 || b == 0xF7) {
            uint32_t len;
            if (!r.Vlq(len) || !r.Skip(len)) break;
        } else if (b >= 0xF0) {
            // Stray system common/real-time bytes carry a fixed number of data bytes.
            size_t n = (b == 0xF2) ? 2 : (b == 0xF1 || b == 0xF3) ? 1 : 0;
            if (!r.Skip(n)) break;
        } else {
            uint8_t hi = b & 0xF0;
            size_t n = (hi == 0xC0 || hi == 0xD0) ? 1 : 2;
            if (!(b == status && (status & 0x80))) break;
            if (!r.Skip(n)) break;
        }
        last = tick;
    }
    return last;
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
    if (!data || size < 14 || std::memcmp(data, "MThd", 4) != 0) return t;
    uint32_t headerLen = Be32(data + 4);
    if (headerLen < 6 || headerLen > size - 8) return t;
    t.format = Be16(data + 8);
    t.tracks = Be16(data + 10);
    uint16_t division = Be16(data + 12);
    if (t.format > 2 || division == 0) return t;

    std::multimap<uint64_t, uint32_t> tempos;
    size_t pos = 8 + headerLen;
    int found = 0;
    while (found < t.tracks && size - pos >= 8) {
        uint32_t len = Be32(data + pos + 4);
        size_t avail = size - pos - 8;
        size_t body = std::min<size_t>(len, avail);
        if (std::memcmp(data + pos, "MTrk", 4) == 0) {
            t.endTick = std::max(t.endTick, ReadTrack(data + pos + 8, body, tempos));
            ++found;
        }
        if (len > avail) break;
        pos += 8 + len;
    }
    if (found == 0) return t;

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

}  // namespace sonavert::bass
