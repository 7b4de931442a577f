#include "tags/TagChoice.h"

#include <filesystem>

#include "sources/AudioSource.h"
#include "tags/Id3Blocks.h"
#include "tags/TagReading.h"

namespace sonavert {

std::string TitleFromFileName(const std::string& path) { return std::filesystem::path(path).stem().string(); }

TagChoice ChooseTags(const TagChoiceInputs& in, AudioSource& source) {
    TagChoice choice;
    if (in.policy == kTagPolicyTyped) {
        const TypedTags& t = in.typed;
        choice.kind = TagChoice::kTexts;
        choice.texts.title = t.titleAsFileName ? TitleFromFileName(in.sourcePath) : t.title;
        choice.texts.artist = t.artist;
        choice.texts.album = t.album;
        choice.texts.year = t.year;
        choice.texts.genre = t.genre;
        choice.texts.comment = t.comment;
        choice.texts.composer = t.composer;
        choice.texts.copyright = t.copyright;
        if (t.trackNumType == 1)
            choice.trackNumber = static_cast<int>(in.sequenceNumber);
        else if (t.trackNumType == 2)
            choice.trackNumber = t.customTrackNum;
        if (choice.trackNumber != 0) choice.texts.track = std::to_string(choice.trackNumber);
        return choice;
    }
    if (in.policy != kTagPolicyTransfer) return choice;

    if (in.mp3Target && in.sourceType == kSourceTypeMp3) {
        if (const uint8_t* v1 = source.GetID3v1Block()) choice.id3v1.assign(v1, v1 + kId3v1BlockBytes);
        uint32_t size = 0;
        if (const uint8_t* v2 = source.GetID3v2Block(&size); v2 && size > 0) choice.id3v2.assign(v2, v2 + size);
        if (!choice.id3v1.empty() || !choice.id3v2.empty()) choice.kind = TagChoice::kId3Blocks;
        return choice;
    }

    bool found = false;
    if (in.sourceType == kSourceTypeM4a || in.sourceType == kSourceTypeMp4)
        found = ReadMp4Metadata(in.sourcePath, choice.texts);
    if (!found) {
        choice.texts = TagRecord{};
        found = source.ReadTags(choice.texts) != 0;
    }
    if (!found) return TagChoice{};
    choice.kind = TagChoice::kTexts;
    choice.trackNumber = ParseTrackNumber(choice.texts.track);
    return choice;
}

}  // namespace sonavert
