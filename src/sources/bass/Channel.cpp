#include "sources/bass/Channel.h"

#include <algorithm>
#include <cstring>

namespace sonavert::bass {

void Channel::SetFormat(DWORD freq, DWORD chans, DWORD bits, DWORD ctype) {
    freq_ = freq;
    chans_ = chans;
    bits_ = bits;
    ctype_ = ctype;
}

void Channel::Info(BASS_CHANNELINFO& info) const {
    info = {};
    info.freq = freq_;
    info.chans = chans_;
    info.flags = (bits_ == 8 ? BASS_SAMPLE_8BITS : 0) | (isMusic_ ? BASS_MUSIC_DECODE : BASS_STREAM_DECODE);
    info.ctype = ctype_;
    info.origres = bits_;
    info.plugin = plugin_;
    info.filename = path_.c_str();
}

double Channel::BytesToSeconds(QWORD bytes) const {
    double perSecond = static_cast<double>(freq_) * FrameBytes();
    return perSecond > 0 ? static_cast<double>(bytes) / perSecond : 0.0;
}

bool Channel::SetWide() {
    if (wide_) return true;
    // Rendered channels pad to their exact length in their own sample format.
    if (position_ != 0 || ended_ || capAtLength_ || !SwitchToWide()) return false;
    wide_ = true;
    return true;
}

DWORD Channel::GetData(void* buffer, DWORD bytes) {
    const uint32_t frame = DeliveredFrameBytes();
    if (!buffer || frame == 0) return static_cast<DWORD>(-1);
    size_t want = bytes - bytes % frame;
    if (want == 0) return 0;  // room for less than one frame
    if (capAtLength_) want = static_cast<size_t>(std::min<QWORD>(want, length_ - std::min(position_, length_)));
    auto* dst = static_cast<uint8_t*>(buffer);
    size_t got = 0;
    while (got < want && !ended_) {
        size_t n = Produce(dst + got, want - got);
        if (n == 0) {
            ended_ = true;
            break;
        }
        got += n - n % frame;
    }
    if (capAtLength_ && got < want) {
        // The renderer stopped short of the exact length: the rest is silence.
        std::memset(dst + got, bits_ == 8 ? 0x80 : 0, want - got);
        got = want;
    }
    if (got == 0) {
        if (!capAtLength_ && ended_) length_ = position_;
        return static_cast<DWORD>(-1);
    }
    // Wide frames count as the 16-bit PCM's bytes, the unit of length and position.
    position_ += wide_ ? got / frame * FrameBytes() : got;
    if (!capAtLength_ && ended_) length_ = position_;
    return static_cast<DWORD>(got);
}

}  // namespace sonavert::bass
