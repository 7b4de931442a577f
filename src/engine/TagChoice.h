#pragma once
// Deciding, for one file being converted, which tags its target gets: the texts the user typed for
// the output family, the source's own tags, or none.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "settings/Settings.h"
#include "tags/CoverArt.h"
#include "tags/TagRecord.h"

namespace sonavert {

class AudioSource;

// Tag policies (the family's ...ID3TagType setting).
inline constexpr int kTagPolicyTyped = 0;
inline constexpr int kTagPolicyTransfer = 1;

struct TagChoiceInputs {
    int policy = 2;
    TagOverrides typed;           // the output family's typed texts
    std::string sourcePath;
    int sourceType = 0;           // Source type code
    uint32_t sequenceNumber = 0;  // the row's number in the batch, 1 for the first chosen row
    bool mp3Target = false;
    // Cover pictures, under the transfer policy only: whether the source's picture is carried,
    // whether an image file of the source's folder stands in when the source has none, and the
    // largest width or height kept (larger pictures are scaled down; 0 keeps every size).
    bool coverArt = false;
    bool folderPicture = false;
    int32_t pictureMaxPixels = 0;
};

struct TagChoice {
    enum Kind { kNone, kTexts, kId3Blocks };
    Kind kind = kNone;
    // kTexts: the nine texts and the track as a number (0 = no track). Typed tags carry the number
    // formatted "%d" in texts.track, or an empty text when there is no track.
    TagRecord texts;
    int trackNumber = 0;
    // kId3Blocks: the source's raw ID3 blocks, either may be empty.
    std::vector<uint8_t> id3v1;
    std::vector<uint8_t> id3v2;
    // The cover picture the target gets (any kind but kId3Blocks, whose ID3v2 block carries the
    // source's own); null for none. A picture may come with kNone: a source with a cover but no
    // tag texts.
    std::shared_ptr<const Picture> picture;
    // Why the source's tags were not transferred though the policy asked for them, when the
    // reason is worth telling the user.
    std::string warning;
};

// Applies the policy. `source` is the opened source of the row; its tag operations are used only
// under the transfer policy.
TagChoice ChooseTags(const TagChoiceInputs& in, AudioSource& source);

// The file's name without folder and extension ("/music/My Song.flac" gives "My Song").
std::string TitleFromFileName(const std::string& path);

}  // namespace sonavert
