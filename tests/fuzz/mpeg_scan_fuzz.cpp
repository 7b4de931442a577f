// Feeds arbitrary bytes to the scan for the first MPEG audio frame of a file (past ID3v2 tags and
// junk) and to the header helpers it relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sources/bass/MpegHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    const int64_t first = sonavert::bass::FindFirstMpegFrame(bytes.data(), bytes.size());
    if (first >= 0) {
        if (static_cast<uint64_t>(first) + 4 > bytes.size()) std::abort();
        const uint8_t* header = bytes.data() + first;
        if (!sonavert::bass::IsMpegSync(header)) std::abort();
        (void)sonavert::bass::MpegFrameLength(header);
        (void)sonavert::bass::MpegBitRate(header);
    }
    if (bytes.size() >= 10) (void)sonavert::bass::Id3v2TagSize(bytes.data());
    return 0;
}
