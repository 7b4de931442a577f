#pragma once
// Writes AMR narrow-band (8000 Hz, 160-sample frames) or wide-band (16000 Hz, 320-sample frames)
// files from 16-bit mono blocks of any length. Blocks are cut into whole frames; samples left over
// wait in a frame buffer for the next block, and Close pads a last partial frame with silence.
#include <array>
#include <cstdint>
#include <string>

#include "encoders/AmrCodecs.h"

namespace sonavert {

class AmrEncoder {
public:
    static constexpr uint32_t kMaxFrameSamples = kAmrWbFrameSamples;
    // Mode of both bands after construction, SetBand and Close (10.2 and 19.85 kbps).
    static constexpr int kDefaultMode = 6;
    // Mode encoded when the band's mode is outside its range (7.4 and 15.85 kbps).
    static constexpr int kFallbackMode = 4;

    AmrEncoder() = default;
    AmrEncoder(const AmrEncoder&) = delete;
    AmrEncoder& operator=(const AmrEncoder&) = delete;
    // Closes a file that is still open.
    virtual ~AmrEncoder();

    // Closes any open file, resets DTX to 0 and both modes to 6, and selects the band:
    // narrowBand != 0 for narrow band (160-sample frames), 0 for wide band (320). Returns 1, or 0
    // when a file that was still open failed to finish (the band is selected all the same).
    int SetBand(int narrowBand);
    // Taken by the next Open. dtx != 0 enables discontinuous transmission. Modes are 0..7 for
    // narrow band and 0..8 for wide band; a value outside its band's range is encoded as mode 4.
    void SetDtx(int dtx) { dtx_ = dtx; }
    void SetNarrowBandMode(int mode) { narrowMode_ = mode; }
    void SetWideBandMode(int mode) { wideMode_ = mode; }

    // Finishes an open file, then creates (truncates) `path` for the selected band with the DTX
    // flag and that band's mode. Returns 1, or 0 when the file or the codec cannot be created.
    int Open(const std::string& path);

    // Encodes `count` samples of 16-bit mono audio at the band's rate: the frame buffer is filled up
    // first, whole frames are then encoded straight from `samples`, and the rest is kept for the
    // next call. Returns 1; 0 when no file is open, `samples` is null with a nonzero count, or a
    // frame failed to reach the file (that failure sticks until the next Open).
    int EncodeBlock(const int16_t* samples, uint32_t count);

    // Pads buffered samples with silence to one last frame and encodes it, closes the file, and
    // resets the encoder: DTX 0, both modes 6, narrow band, no frame length. Returns 1, or 0 when
    // the last frame or the close failed or an earlier block had failed. Safe to call repeatedly.
    int Close();

    bool IsOpen() const { return narrow_ || wide_; }
    bool IsNarrowBand() const { return narrowBand_ != 0; }
    int GetDtx() const { return dtx_; }
    int GetNarrowBandMode() const { return narrowMode_; }
    int GetWideBandMode() const { return wideMode_; }
    // 160 or 320 once a band is selected or a file open; 0 after construction and Close.
    uint32_t GetFrameLength() const { return frameLength_; }
    // Samples waiting for the rest of their frame.
    uint32_t GetBufferedSamples() const { return buffered_; }
    // Why the last Open, EncodeBlock or Close failed.
    const std::string& FailureReason() const { return failure_; }

private:
    bool EncodeFrame(const int16_t* frame);
    // Pads and encodes the buffered samples and closes the file, keeping the configuration.
    bool Finish();

    int narrowBand_ = 1;
    int dtx_ = 0;
    int narrowMode_ = kDefaultMode;
    int wideMode_ = kDefaultMode;
    AmrNbHandle narrow_;
    AmrWbHandle wide_;
    uint32_t frameLength_ = 0;
    std::array<int16_t, kMaxFrameSamples> frame_{};
    uint32_t buffered_ = 0;
    bool failed_ = false;
    std::string failure_;
};

}  // namespace sonavert
