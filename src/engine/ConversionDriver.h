#pragma once
#include <string>

namespace sonavert {

// What a conversion tells whoever drives it (the progress window, the command line, a test), and
// what it asks back. All calls come from the converting thread.
class ConversionDriver {
public:
    virtual ~ConversionDriver() = default;

    // Per-file text, e.g. "Converting song.flac...42%".
    virtual void SetFileText(const std::string& text) = 0;
    // Width of the per-file bar in pixels; the bar's range is 0..width.
    virtual int FileBarWidth() = 0;
    virtual void SetFileBarRange(int maximum) = 0;
    virtual void SetFileBarPosition(int position) = 0;
    // Lets the driver process pending events (repaint, Cancel); never waits.
    virtual void Pump() = 0;
    // True once the user asked to stop; read after every Pump.
    virtual bool CancelRequested() = 0;
};

}  // namespace sonavert
