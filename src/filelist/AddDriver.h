#pragma once
#include <string>
#include "base/MessageIcon.h"

namespace sonavert {

// Shows a message box captioned "Sonavert" (the GUI), prints it (the command line) or records it
// (tests).
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void ShowMessage(MessageIcon icon, const std::string& text) = 0;
};

// What an add run tells whoever drives it (the add-progress window, the command line, a test) and
// what it reads back. All calls come from the adding thread.
class AddDriver : public MessageSink {
public:
    // The run begins: show the progress window and disable the main window.
    virtual void Started() {}
    // "Searching files..." or "[3/10] Adding file song.mp3...".
    virtual void SetText(const std::string& text) = 0;
    // The bar runs 0..maximum and starts at 0.
    virtual void SetBarRange(int maximum) = 0;
    virtual void StepBar() = 0;
    // Lets the driver process pending events (repaint, Cancel); never waits.
    virtual void Pump() = 0;
    // True once the user asked to stop; read after every Pump.
    virtual bool CancelRequested() = 0;
    // The run is over: close the progress window and enable the main window. Called before the
    // failure report is shown.
    virtual void Finished() {}
};

}  // namespace sonavert
