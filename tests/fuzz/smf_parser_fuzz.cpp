// Feeds arbitrary bytes to the MIDI file reader that measures a MIDI file's playing time, as a
// file would reach it: first the RIFF RMID unwrapping, then the track walk and the rewrite.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sources/bass/SmfParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly `size` bytes, so any read past the end is caught.
    std::vector<uint8_t> bytes(data, data + size);
    size_t smfSize = bytes.size();
    const uint8_t* smf = sonavert::bass::FindSmf(bytes.data(), smfSize);
    if (smf && smfSize) {
        if (smf < bytes.data() || smf + smfSize > bytes.data() + bytes.size()) std::abort();
        const sonavert::bass::SmfTiming timing = sonavert::bass::ParseSmfTiming(smf, smfSize);
        if (timing.valid && !(timing.seconds >= 0)) std::abort();
        // The rewrite for the synthesiser keeps every note and reads back within the track limit.
        const std::vector<uint8_t> rewritten = sonavert::bass::RewriteSmf(smf, smfSize);
        if (!rewritten.empty()) {
            const sonavert::bass::SmfTiming again = sonavert::bass::ParseSmfTiming(rewritten.data(), rewritten.size());
            if (!again.valid && timing.valid) std::abort();
            if (again.tracks > sonavert::bass::kMaxPlayerTracks || (timing.valid && again.notes != timing.notes))
                std::abort();
        }
    }
    return 0;
}
