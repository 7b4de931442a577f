#pragma once
// AMR-NB and AMR-WB file writers with three calls each: init creates the target file, writes the
// storage-format magic of RFC 4867 section 5 ("#!AMR\n" or "#!AMR-WB\n") and sets up the speech
// encoder (libopencore-amrnb, libvo-amrwbenc); encode turns one frame of 16-bit mono samples into
// one frame in storage form (a header byte with the frame type, then the speech bits in whole
// bytes) and appends it; quit closes the file. Every frame goes to the file at once, so a full
// disk shows at the frame that did not fit.
//
// Each handle owns its codec state and its file, and nothing is shared between handles: several
// files may be written at once, on one thread or on several. Destroying a handle closes its file
// and frees the codec, like quit without the report.
#include <cstdint>
#include <memory>
#include <string>

namespace sonavert {

inline constexpr uint32_t kAmrNbFrameSamples = 160;  // 20 ms at 8000 Hz
inline constexpr uint32_t kAmrWbFrameSamples = 320;  // 20 ms at 16000 Hz
inline constexpr int kAmrNbModeCount = 8;            // modes 0 (4.75 kbps) .. 7 (12.2 kbps)
inline constexpr int kAmrWbModeCount = 9;            // modes 0 (6.60 kbps) .. 8 (23.85 kbps)
inline constexpr char kAmrNbMagic[] = "#!AMR\n";
inline constexpr char kAmrWbMagic[] = "#!AMR-WB\n";

// The two bands have distinct handle types, so a narrow-band handle can never reach the wide-band
// encode call, which reads 320 samples.
class AmrNbStream;
class AmrWbStream;
struct AmrStreamDeleter {
    void operator()(AmrNbStream* stream) const noexcept;
    void operator()(AmrWbStream* stream) const noexcept;
};
using AmrNbHandle = std::unique_ptr<AmrNbStream, AmrStreamDeleter>;
using AmrWbHandle = std::unique_ptr<AmrWbStream, AmrStreamDeleter>;

// Creates (truncates) `path` and writes the magic. dtx != 0 lets the encoder send comfort-noise
// (SID) and no-data frames during silence. `mode` must be 0..7 (narrow band) or 0..8 (wide band).
// Returns the handle, or null with `reason` set when the mode is out of range, the encoder cannot
// be set up or the file cannot be created or written; no file is left behind for a bad mode or an
// encoder failure.
AmrNbHandle amrnbenc_init(const std::string& path, int dtx, int mode, std::string& reason);
AmrWbHandle amrwbenc_init(const std::string& path, int dtx, int mode, std::string& reason);

// Encodes one frame, 160 (narrow band) or 320 (wide band) samples from `samples`, and appends it to
// the file. Returns 1, or 0 with `reason` set when the encoder fails or the frame does not reach
// the file in full. The first failure sticks: every later call fails with the same reason and
// writes nothing.
int amrnbenc_encode(AmrNbStream& stream, const int16_t* samples, std::string& reason);
int amrwbenc_encode(AmrWbStream& stream, const int16_t* samples, std::string& reason);

// Closes the file and frees the encoder. Returns 1 (also for a null handle), or 0 with `reason`
// set when an earlier frame failed or closing the file reported an error.
int amrnbenc_quit(AmrNbHandle stream, std::string& reason);
int amrwbenc_quit(AmrWbHandle stream, std::string& reason);

}  // namespace sonavert
