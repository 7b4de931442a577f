// Opens arbitrary bytes as an AIFF or AIFF-C file, reads its tags and reads it to the end.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "sources/AiffReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // fmemopen wants a writable buffer it may not outlive.
    std::vector<uint8_t> copy(data, data + size);
    std::FILE* stream = fmemopen(copy.data(), copy.size(), "rb");
    if (!stream) return 0;
    static sonavert::AiffReader reader;  // one work buffer for the whole run, as a reader reused
    if (!reader.OpenStream(stream)) return 0;
    sonavert::TagRecord tags;
    reader.ReadTags(tags);
    // Planes of exactly one block in the delivered sample size, as the pipelines allocate them, so
    // the address sanitizer sees any write past a plane; mono gets no right plane at all.
    const size_t planeBytes = sonavert::kBlockFrames * (reader.GetBitsPerSample() == 8 ? 1 : 2);
    std::vector<uint8_t> left(planeBytes), right(planeBytes);
    if (reader.GetChannels() != 1 && reader.GetChannels() != 2) __builtin_trap();
    if (reader.GetSampleRate() == 0) __builtin_trap();
    void* r = reader.GetChannels() == 2 ? right.data() : nullptr;
    // Bounded so a huge declared length with a short file still ends quickly.
    for (int i = 0; i < 100000; ++i) {
        uint32_t n = reader.Read(left.data(), r);
        if (n == 0) break;
        if (n > sonavert::kBlockFrames) __builtin_trap();
        if (reader.GetPosition() > reader.GetLength()) __builtin_trap();
    }
    reader.Close();
    return 0;
}
