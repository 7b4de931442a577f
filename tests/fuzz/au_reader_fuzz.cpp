// Opens arbitrary bytes as a Sun/NeXT audio file and reads it to the end.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "sources/AuReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // fmemopen wants a writable buffer it may not outlive.
    std::vector<uint8_t> copy(data, data + size);
    std::FILE* stream = fmemopen(copy.data(), copy.size(), "rb");
    if (!stream) return 0;
    static sonavert::AuReader reader;  // one read buffer for the whole run, as a reader reused
    if (!reader.OpenStream(stream)) return 0;
    // Planes of exactly one block, as the pipelines allocate them; mono gets no right plane at all.
    std::vector<int16_t> left(sonavert::kBlockFrames), right(sonavert::kBlockFrames);
    if (reader.GetChannels() != 1 && reader.GetChannels() != 2) __builtin_trap();
    if (reader.GetBitsPerSample() != 16) __builtin_trap();
    if (reader.GetSampleRate() < 1000 || reader.GetSampleRate() > 768000) __builtin_trap();
    int16_t* r = reader.GetChannels() == 2 ? right.data() : nullptr;
    for (int i = 0; i < 100000; ++i) {
        uint32_t n = reader.Read(left.data(), r);
        if (n == 0) break;
        if (n > sonavert::kBlockFrames) __builtin_trap();
        if (reader.GetPosition() > reader.GetLength()) __builtin_trap();
    }
    reader.Close();
    return 0;
}
