#pragma once
// Cover pictures: read from the tags of a source file (or an image file beside it), kept with
// their bytes unchanged, and rendered for the targets' tags (an ID3v2 APIC frame is rendered by
// tags/Id3Writer.h; FLAC picture blocks, their base64 comment form, MPEG-4 "covr" and Windows
// Media WM/Picture here).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sonavert {

// The picture type of a front cover (ID3v2 APIC, FLAC PICTURE and WM/Picture share the list).
inline constexpr uint32_t kPictureFrontCover = 3;

// Pictures larger than this are not copied: no tag format in use holds more without trouble
// (a FLAC metadata block, also the one inside METADATA_BLOCK_PICTURE, holds 16,777,215 bytes).
inline constexpr size_t kMaxPictureBytes = 16'000'000;
// The longest description and MIME type carried; longer ones are dropped (the picture stays), so
// a picture within kMaxPictureBytes always fits one FLAC metadata block.
inline constexpr size_t kMaxPictureTextBytes = 65'536;
// The body of one FLAC metadata block: a 24-bit length.
inline constexpr size_t kMaxFlacBlockBytes = 16'777'215;

struct Picture {
    std::string mimeType;     // "image/jpeg", "image/png", ...
    uint32_t type = kPictureFrontCover;
    std::string description;  // UTF-8
    uint32_t width = 0, height = 0, depth = 0, colors = 0;  // 0 where unknown
    std::vector<uint8_t> data;  // the image file's bytes, as the source holds them
};

enum class PictureRead {
    kNone,      // no picture
    kFound,     // `picture` filled
    kTooLarge,  // a picture is there but above kMaxPictureBytes; `picture` untouched
};

// The front cover of a file's tags, or its first picture when none is marked front cover: ID3v2
// APIC (MP3, WAV, AIFF, TrueAudio), FLAC PICTURE blocks, METADATA_BLOCK_PICTURE of Vorbis
// comments (Ogg Vorbis, Opus, Ogg FLAC, Speex), MPEG-4 "covr", WM/Picture, APE
// "Cover Art (Front)" (APE, WavPack, Musepack, MP3). A file whose tags nest beyond the readers'
// bound (TagNestingWithinBounds) gives kNone.
PictureRead ReadEmbeddedPicture(const std::string& path, Picture& picture);

// The image file of `folder` (with or without a trailing '/'; empty for the working folder) taken
// for its cover: cover, folder or front (in that order, any case) with the extension .jpg, .jpeg
// or .png; a regular file. Empty when there is none.
std::string FolderImageFile(const std::string& folder);

// The folder image of the folder holding `sourcePath`, read as a front cover (its content must
// be a JPEG or PNG image).
PictureRead ReadFolderPicture(const std::string& sourcePath, Picture& picture);

// The MIME type of an image by its first bytes (JPEG, PNG, GIF, BMP, WebP); empty when unknown.
std::string SniffImageType(const uint8_t* data, size_t size);

// Width, height and bits per pixel from a PNG header or a JPEG frame header; false for other data.
bool ImageDimensions(const std::vector<uint8_t>& data, uint32_t& width, uint32_t& height, uint32_t& depth);

// The body of a FLAC PICTURE metadata block (type, MIME type, description, width, height, depth,
// colours, data; big-endian lengths), without the block header. Empty when it would exceed
// kMaxFlacBlockBytes.
std::vector<uint8_t> FlacPictureBlock(const Picture& picture);

// The same block in base64, the value of a METADATA_BLOCK_PICTURE Vorbis comment (Ogg Vorbis,
// Opus). Empty when the block is too large.
std::string MetadataBlockPicture(const Picture& picture);

// Adds the picture to a finished file with the tag library, replacing any picture it has: as the
// "covr" item of an MPEG-4 file, or as the WM/Picture attribute of a Windows Media file. False
// with `reason` set when the file cannot be read or saved.
bool AttachPictureToMp4(const std::string& path, const Picture& picture, std::string& reason);
bool AttachPictureToAsf(const std::string& path, const Picture& picture, std::string& reason);

}  // namespace sonavert
