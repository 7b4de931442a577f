#pragma once
// Test helpers for the decoding layer: a session that brings the layer up the way start-up does
// (optionally with the add-ons and the SoundFont) and tears it down, and whole-stream decodes.
#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

class BassSession {
public:
    // Initialises the layer; loads every add-on from BinDir()/addons when `addons`, and sets the
    // default SoundFont (BinDir()/ct4mgm.sf2) when `soundFont`.
    explicit BassSession(bool addons = true, bool soundFont = true);
    ~BassSession();
    BassSession(const BassSession&) = delete;
    BassSession& operator=(const BassSession&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

// Every byte a layer channel delivers, read in blocks of `block` bytes.
std::vector<uint8_t> DecodeChannel(uint32_t handle, uint32_t block = 4608);

// Interleaved stereo 16-bit: a `leftHz` tone on the left, `rightHz` on the right.
std::vector<int16_t> StereoTones(double leftHz, double rightHz, int rate, double seconds);

// A four-channel ProTracker module of 16 rows at speed 6 and 125 BPM: 1.92 seconds of a square wave.
std::vector<uint8_t> TinyModule();
// A format 1 Standard MIDI File of 480 ticks per quarter whose tempo map makes it 1.5 seconds long.
std::vector<uint8_t> TinyMidi();

}  // namespace testutil
