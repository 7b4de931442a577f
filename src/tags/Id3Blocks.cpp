#include "tags/Id3Blocks.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace sonavert {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr OpenForReading(const std::string& path) { return FilePtr(std::fopen(path.c_str(), "rbe")); }

bool ReadExactly(std::FILE* f, uint8_t* out, size_t size) { return std::fread(out, 1, size, f) == size; }

}  // namespace

uint32_t Id3v2TagSize(const uint8_t* header, size_t available) {
    if (!header || available < kId3v2HeaderBytes) return 0;
    if (std::memcmp(header, "ID3", 3) != 0) return 0;
    if (header[3] < 2 || header[3] > 4 || header[4] == 0xFF) return 0;
    uint32_t size = 0;
    for (int i = 6; i < 10; ++i) {
        if (header[i] & 0x80) return 0;
        size = (size << 7) | header[i];
    }
    size += kId3v2HeaderBytes;
    // A footer (a copy of the header at the end) exists only in version 4 tags.
    if (header[3] == 4 && (header[5] & 0x10)) size += kId3v2HeaderBytes;
    return size;
}

std::vector<uint8_t> ReadID3v1Block(const std::string& path) {
    FilePtr f = OpenForReading(path);
    if (!f) return {};
    if (std::fseek(f.get(), -static_cast<long>(kId3v1BlockBytes), SEEK_END) != 0) return {};
    std::vector<uint8_t> block(kId3v1BlockBytes);
    if (!ReadExactly(f.get(), block.data(), block.size())) return {};
    if (std::memcmp(block.data(), "TAG", 3) != 0) return {};
    return block;
}

std::vector<uint8_t> ReadID3v2Block(const std::string& path) {
    FilePtr f = OpenForReading(path);
    if (!f) return {};
    uint8_t header[kId3v2HeaderBytes];
    if (!ReadExactly(f.get(), header, sizeof header)) return {};
    const uint32_t size = Id3v2TagSize(header, sizeof header);
    if (size == 0) return {};
    if (std::fseek(f.get(), 0, SEEK_END) != 0) return {};
    const long fileSize = std::ftell(f.get());
    if (fileSize < 0 || static_cast<unsigned long>(fileSize) < size) return {};
    std::vector<uint8_t> block(size);
    if (std::fseek(f.get(), 0, SEEK_SET) != 0 || !ReadExactly(f.get(), block.data(), size)) return {};
    return block;
}

}  // namespace sonavert
