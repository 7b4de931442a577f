// Renders ID3 tags from arbitrary tag texts and reads them back; also reads the input itself as
// in-memory ID3 data.
//
// Input layout: byte 0 = track, byte 1 = total, then the nine texts separated by 0x00 bytes (missing
// texts are empty). A rendered ID3v2 tag must announce its own size, an ID3v1 block must be 128
// bytes starting "TAG", and the texts that go through a frame unchanged must come back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tags/Id3Blocks.h"
#include "tags/Id3Writer.h"
#include "tags/TagReading.h"
#include "tags/TagRecord.h"

namespace {

std::vector<std::string> SplitTexts(const uint8_t* data, size_t size) {
    std::vector<std::string> texts(9);
    size_t field = 0;
    for (size_t i = 0; i < size && field < texts.size(); ++i) {
        if (data[i] == 0) {
            ++field;
            continue;
        }
        texts[field] += static_cast<char>(data[i]);
    }
    return texts;
}

// A text the round trip must keep: valid UTF-8 (the writer drops what is not) and not empty.
bool Keeps(const std::string& text) { return !text.empty() && sonavert::Utf8ToLocal(text).has_value(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input as ID3 data straight away: the reader must cope with anything.
    sonavert::TagRecord parsed;
    sonavert::ReadId3Tags(data, size, parsed);
    (void)sonavert::Id3v2TagSize(data, size);

    if (size < 2) return 0;
    const uint32_t track = data[0], total = data[1];
    const std::vector<std::string> t = SplitTexts(data + 2, size - 2);
    sonavert::TagRecord tags{t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8]};
    for (const std::string& text : t) {
        (void)sonavert::ParseTrackNumber(text);
        (void)sonavert::ResolveId3Genre(text);
    }

    const std::vector<uint8_t> v1 = sonavert::BuildId3Block(1, tags, track, total);
    if (v1.size() != sonavert::kId3v1BlockBytes || std::memcmp(v1.data(), "TAG", 3) != 0) __builtin_trap();

    const std::vector<uint8_t> v2 = sonavert::BuildId3Block(2, tags, track, total);
    if (sonavert::Id3v2TagSize(v2.data(), v2.size()) != v2.size()) __builtin_trap();

    sonavert::TagRecord back;
    if (!sonavert::ReadId3Tags(v2.data(), v2.size(), back) && (Keeps(tags.title) || Keeps(tags.album)))
        __builtin_trap();
    auto same = [](const std::string& in, const std::string& out) { return !Keeps(in) || in == out; };
    if (!same(tags.title, back.title) || !same(tags.artist, back.artist) || !same(tags.album, back.album) ||
        !same(tags.composer, back.composer) || !same(tags.copyright, back.copyright) ||
        !same(tags.comment, back.comment))
        __builtin_trap();
    return 0;
}
