#pragma once
// A bounds-checked reader of Standard MIDI Files (and RIFF RMID wrappers) for the playing time.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sonavert::bass {

struct SmfTiming {
    bool valid = false;
    int format = 0;
    int tracks = 0;
    uint64_t endTick = 0;  // tick of the last event over all tracks
    double seconds = 0;    // playing time up to endTick, following the tempo map
    uint64_t notes = 0;    // note-on events with a nonzero velocity
};

// The most tracks FluidSynth's player takes from one file: it refuses a file of 128 tracks or
// more whole, and then plays silence.
inline constexpr int kMaxPlayerTracks = 127;

// Returns the SMF bytes inside `data`: the whole of it for a plain SMF, the "data" chunk of a RIFF
// RMID file. Sets `size` to 0 when there is no SMF.
const uint8_t* FindSmf(const uint8_t* data, size_t& size);

// Parses an SMF (format 0, 1 or 2) and computes its playing time from the tempo meta events.
// Malformed tracks end where they become unreadable.
SmfTiming ParseSmfTiming(const uint8_t* data, size_t size);

// Writes the readable part of an SMF again as a well-formed file: every track that is there
// (whatever the header counts), each ending where it becomes unreadable or where the file ends,
// with explicit status bytes and its own end-of-track event. Tracks past `maxTracks` - 1 are merged
// into the last one, in tick order, so that a player with a track limit gets every event. Empty
// when `data` is no SMF.
std::vector<uint8_t> RewriteSmf(const uint8_t* data, size_t size, int maxTracks = kMaxPlayerTracks);

}  // namespace sonavert::bass
