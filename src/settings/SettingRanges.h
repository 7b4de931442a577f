#pragma once
// What the options dialog accepts for each setting, by the setting's stored name: the value
// tables its lists offer, the intervals of its edits and spins, and which settings are
// booleans. The option pages fill their lists from these tables, and the command line's --set
// checks its values against them.
#include <cstdint>
#include <string>
#include <vector>

#include "settings/Settings.h"

namespace sonavert {

// The value tables of the option pages' lists (kbps or Hz; "Same as original file", 0, is not in them).
const std::vector<int>& Mp3BitRates();
const std::vector<int>& Mp3SampleRates();  // also the OGG sample rates
const std::vector<int>& OggBitRates();
const std::vector<int>& WavSampleRates();
const std::vector<int>& AacBitRates();     // also the M4A bit rates
const std::vector<int>& LosslessSampleRates();  // the FLAC and ALAC sample rates

// The values a setting accepts.
struct SettingRange {
    enum class Kind {
        Any,       // a text, or a number the dialog takes from elsewhere (the WMA formats)
        Boolean,   // 0 or 1
        Interval,  // min..max
        Choices,   // one of `choices`
    };
    Kind kind = Kind::Any;
    int32_t min = 0;
    int32_t max = 0;
    std::vector<int32_t> choices;

    bool Accepts(int32_t value) const;
    // "0 or 1 (also true/false, yes/no, on/off)", "10 to 3000" or "0, 8, 16, ..., 320".
    std::string Describe() const;
};

// The target formats a conversion can write, whatever the settings hold: every rate of the lists
// above lies inside, and a pipeline refuses a target outside these before writing a byte, so a
// hand-edited setting fails with a reason instead of running away.
const SettingRange& TargetSampleRates();  // kMinSampleRate to kMaxSampleRate Hz
const SettingRange& TargetChannels();     // 1 to 2
const SettingRange& TargetSampleBits();   // 8 or 16

// The range of a flat setting ("MP3BitRate") or of a tag-set number ("MP3Tag/TrackNumType"),
// names matched without regard to case; Kind::Any for texts and names it does not know.
SettingRange AcceptedRange(const std::string& name);

// How SetChecked ended.
enum class SetOutcome {
    Set,          // the value was stored
    UnknownName,  // no setting has this name
    Refused,      // the value is not one the setting accepts
};

// Sets one option by its stored name as SetByName does, but only to a value the options dialog
// accepts: booleans take 0/1, true/false, yes/no or on/off (any case). `accepted` describes the
// accepted values when the value is refused. The record is unchanged unless the result is Set.
SetOutcome SetChecked(Settings& settings, const std::string& name, const std::string& value, std::string& accepted);

}  // namespace sonavert
