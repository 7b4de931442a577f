#pragma once
#include <string>

namespace sonavert {

// The process-wide decoding services: the decode-only decoding library, its add-ons, the default
// MIDI SoundFont and the seeded pseudo-random generator. One object per process; its destructor
// tears the library down (the instance first, then every add-on).
class CodecHost {
public:
    enum class StartResult {
        Ok,
        WrongVersion,  // the decoding library is not version 2.4: end silently
        InitFailed,    // the library could not start: the caller reports the failure
    };

    // Add-on file names, loaded in this order from <folder>addons/.
    static const char* const kAddonNames[11];
    static constexpr const char* kSoundFontName = "ct4mgm.sf2";

    CodecHost() = default;
    CodecHost(const CodecHost&) = delete;
    CodecHost& operator=(const CodecHost&) = delete;
    ~CodecHost();

    // Brings the services up. `executableFolder` ends in '/'; when empty, no add-ons are loaded.
    StartResult Start(const std::string& executableFolder);
    // Number of add-ons that loaded.
    int AddonsLoaded() const { return addonsLoaded_; }

    // Makes <executable folder>ct4mgm.sf2 the default font of MIDI streams created later, once.
    // Returns the SoundFont-loaded flag. Failure is silent: the batch asks the user.
    bool LoadDefaultSoundFont();
    bool SoundFontLoaded() const { return soundFontLoaded_; }
    const std::string& ExecutableFolder() const { return folder_; }

private:
    bool started_ = false;
    bool soundFontLoaded_ = false;
    int addonsLoaded_ = 0;
    std::string folder_;
};

}  // namespace sonavert
