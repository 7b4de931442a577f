#include "engine/TagChoice.h"

#include <filesystem>

#include "sources/AudioSource.h"
#include "sources/SourceTypes.h"
#include "tags/Id3Blocks.h"
#include "tags/PictureScaler.h"
#include "tags/TagReading.h"

namespace sonavert {

std::string TitleFromFileName(const std::string& path) { return std::filesystem::path(path).stem().string(); }

namespace {

// The source's cover picture (else its folder's image, when asked for), scaled down when asked
// for; null for none. A picture left behind is told in `warning`.
std::shared_ptr<const Picture> ChoosePicture(const TagChoiceInputs& in, std::string& warning) {
    auto picture = std::make_shared<Picture>();
    PictureRead read = ReadEmbeddedPicture(in.sourcePath, *picture);
    if (read == PictureRead::kNone && in.folderPicture) read = ReadFolderPicture(in.sourcePath, *picture);
    if (read == PictureRead::kTooLarge) {
        if (!warning.empty()) warning += "; ";
        warning += "the cover picture is larger than 16 MB and was not copied";
    }
    if (read != PictureRead::kFound) return nullptr;
    if (in.pictureMaxPixels > 0) {
        std::string why;
        if (!ScalePictureDown(*picture, static_cast<uint32_t>(in.pictureMaxPixels), why)) {
            if (!warning.empty()) warning += "; ";
            warning += "the cover picture was copied unscaled (" + why + ")";
        }
    }
    return picture;
}

}  // namespace

TagChoice ChooseTags(const TagChoiceInputs& in, AudioSource& source) {
    TagChoice choice;
    if (in.policy == kTagPolicyTyped) {
        const TagOverrides& t = in.typed;
        choice.kind = TagChoice::kTexts;
        choice.texts.title = t.TitleAsFileName ? TitleFromFileName(in.sourcePath) : t.Title;
        choice.texts.artist = t.Artist;
        choice.texts.album = t.Album;
        choice.texts.year = t.Year;
        choice.texts.genre = t.Genre;
        choice.texts.comment = t.Comment;
        choice.texts.composer = t.Composer;
        choice.texts.copyright = t.Copyright;
        if (t.TrackNumType == 1)
            choice.trackNumber = static_cast<int>(in.sequenceNumber);
        else if (t.TrackNumType == 2)
            choice.trackNumber = t.CustomTrackNum;
        if (choice.trackNumber != 0) choice.texts.track = std::to_string(choice.trackNumber);
        return choice;
    }
    if (in.policy != kTagPolicyTransfer) return choice;

    if (in.mp3Target && in.sourceType == kSourceMp3) {
        if (const uint8_t* v1 = source.GetID3v1Block()) choice.id3v1.assign(v1, v1 + kId3v1BlockBytes);
        uint32_t size = 0;
        if (const uint8_t* v2 = source.GetID3v2Block(&size); v2 && size > 0) choice.id3v2.assign(v2, v2 + size);
        if (!choice.id3v1.empty() || !choice.id3v2.empty()) choice.kind = TagChoice::kId3Blocks;
        return choice;
    }

    if (!TagNestingWithinBounds(in.sourcePath)) {
        choice.warning = "the source's tags are nested too deeply to be read; the target has no tags";
        return choice;
    }
    bool found = false;
    if (in.sourceType == kSourceM4a || in.sourceType == kSourceMp4)
        found = ReadMp4Metadata(in.sourcePath, choice.texts);
    if (!found) {
        choice.texts = TagRecord{};
        found = source.ReadTags(choice.texts) != 0;
    }
    if (found) {
        choice.kind = TagChoice::kTexts;
        choice.trackNumber = ParseTrackNumber(choice.texts.track);
    } else {
        choice.texts = TagRecord{};
    }
    if (in.coverArt) choice.picture = ChoosePicture(in, choice.warning);
    return choice;
}

}  // namespace sonavert
