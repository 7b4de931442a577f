#include "tags/Id3Writer.h"

#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2frame.h>
#include <taglib/id3v2header.h>
#include <taglib/textidentificationframe.h>

#include <string>

#include "tags/CoverArt.h"
#include "tags/Genres.h"
#include "tags/TagReading.h"

namespace sonavert {

namespace {

// The genre written when the text is not a listed name.
constexpr int kGenreOther = 12;

TagLib::String FromUtf8(const std::string& s) { return TagLib::String(s, TagLib::String::UTF8); }

bool FitsLatin1(const TagLib::String& s) {
    for (auto it = s.begin(); it != s.end(); ++it)
        if (static_cast<unsigned>(*it) > 0xFF) return false;
    return true;
}

// Latin-1 text with every character outside it replaced by '?'.
TagLib::String Latin1Only(const std::string& utf8) {
    TagLib::String s = FromUtf8(utf8);
    std::string out;
    out.reserve(s.size());
    for (auto it = s.begin(); it != s.end(); ++it) {
        const unsigned c = static_cast<unsigned>(*it);
        out += c > 0xFF ? '?' : static_cast<char>(c);
    }
    return TagLib::String(out, TagLib::String::Latin1);
}

TagLib::String::Type EncodingFor(const TagLib::String& text) {
    return FitsLatin1(text) ? TagLib::String::Latin1 : TagLib::String::UTF16;
}

// Frames are rendered one by one and laid out in the order they are added. (Rendering through
// ID3v2::Tag would rewrite the genre frame for version 2.3 and move it to the end.)
class FrameWriter {
public:
    void Text(const char* id, const std::string& utf8) {
        const TagLib::String text = FromUtf8(utf8);
        TagLib::ID3v2::TextIdentificationFrame frame(id, EncodingFor(text));
        frame.setText(text);
        Append(frame);
    }
    void Comment(const std::string& utf8) {
        const TagLib::String text = FromUtf8(utf8);
        TagLib::ID3v2::CommentsFrame frame(EncodingFor(text));
        frame.setLanguage("XXX");
        frame.setDescription(TagLib::String());
        frame.setText(text);
        Append(frame);
    }
    void Apic(const Picture& picture) {
        const TagLib::String description = FromUtf8(picture.description);
        TagLib::ID3v2::AttachedPictureFrame frame;
        frame.setTextEncoding(EncodingFor(description));
        frame.setMimeType(TagLib::String(picture.mimeType, TagLib::String::Latin1));
        frame.setType(static_cast<TagLib::ID3v2::AttachedPictureFrame::Type>(picture.type <= 20 ? picture.type : 0));
        frame.setDescription(description);
        frame.setPicture(TagLib::ByteVector(reinterpret_cast<const char*>(picture.data.data()),
                                            static_cast<unsigned>(picture.data.size())));
        Append(frame);
    }
    // The ID3v2.3 header, the frames and kPadding zero bytes.
    TagLib::ByteVector Render() const {
        TagLib::ID3v2::Header header;
        header.setMajorVersion(3);
        header.setTagSize(frames_.size() + kPadding);
        TagLib::ByteVector tag = header.render();
        tag.append(frames_);
        tag.append(TagLib::ByteVector(kPadding, '\0'));
        return tag;
    }

private:
    // Room left for editing the tag in place later, as tag writers usually leave.
    static constexpr unsigned kPadding = 1024;

    // A new frame renders with an ID3v2.4 header, whose size is synchsafe; version 2.3 stores the
    // size as a plain 32-bit number. Everything else (id, zero flags, Latin-1 or UTF-16 text with
    // a byte-order mark) is the same in both versions.
    void Append(const TagLib::ID3v2::Frame& frame) {
        TagLib::ByteVector bytes = frame.render();
        if (bytes.size() < 10) return;
        uint32_t size = 0;
        for (int i = 4; i < 8; ++i) size = (size << 7) | (static_cast<uint8_t>(bytes[i]) & 0x7F);
        for (int i = 0; i < 4; ++i) bytes[7 - i] = static_cast<char>((size >> (8 * i)) & 0xFF);
        frames_.append(bytes);
    }
    TagLib::ByteVector frames_;
};

std::vector<uint8_t> ToVector(const TagLib::ByteVector& bytes) {
    return std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()),
                                reinterpret_cast<const uint8_t*>(bytes.data()) + bytes.size());
}

std::vector<uint8_t> BuildVersion1(const TagRecord& tags, uint32_t track) {
    TagLib::ID3v1::Tag tag;
    tag.setTitle(Latin1Only(tags.title));
    tag.setArtist(Latin1Only(tags.artist));
    tag.setAlbum(Latin1Only(tags.album));
    tag.setComment(Latin1Only(tags.comment));
    const int genre = GenreIndex(tags.genre);
    tag.setGenreNumber(static_cast<unsigned>(genre >= 0 ? genre : kGenreOther));
    tag.setTrack(track & 0xFF);
    std::vector<uint8_t> block = ToVector(tag.render());
    // The year is free text: its first four Latin-1 characters, padded with zeros (the tag
    // library only stores numbers there).
    constexpr size_t kYearOffset = 93, kYearBytes = 4;
    if (block.size() != 128) return block;
    auto fill = [&block](size_t offset, size_t bytes, const std::string& utf8) {
        const TagLib::ByteVector text = Latin1Only(utf8).data(TagLib::String::Latin1);
        for (size_t i = 0; i < bytes; ++i)
            block[offset + i] = i < text.size() ? static_cast<uint8_t>(text[static_cast<unsigned>(i)]) : 0;
    };
    fill(kYearOffset, kYearBytes, tags.year);
    // Without a track number the comment takes all 30 bytes (version 1.0); the tag library always
    // writes version 1.1, 28 bytes, a zero byte and the track.
    constexpr size_t kCommentOffset = 97, kCommentBytes = 30;
    if ((track & 0xFF) == 0) fill(kCommentOffset, kCommentBytes, tags.comment);
    return block;
}

std::vector<uint8_t> BuildVersion2(const TagRecord& tags, uint32_t track, uint32_t total, const Picture* picture) {
    FrameWriter w;
    w.Text("TIT2", tags.title);
    w.Text("TPE1", tags.artist);
    w.Text("TALB", tags.album);
    w.Text("TYER", tags.year);
    w.Text("TCON", tags.genre);
    if (!tags.composer.empty()) w.Text("TCOM", tags.composer);
    if (!tags.copyright.empty()) w.Text("TCOP", tags.copyright);
    w.Comment(tags.comment);
    track &= 0xFF;
    total &= 0xFF;
    if (track != 0)
        w.Text("TRCK", total != 0 ? std::to_string(track) + "/" + std::to_string(total) : std::to_string(track));
    if (picture) w.Apic(*picture);
    return ToVector(w.Render());
}

}  // namespace

std::vector<uint8_t> BuildId3Block(int version, const TagRecord& tags, uint32_t track, uint32_t total,
                                   const Picture* picture) {
    if (version == 1) return BuildVersion1(tags, track);
    if (version == 2) return BuildVersion2(tags, track, total, picture);
    return {};
}

std::vector<uint8_t> BuildId3PictureTag(const Picture& picture) {
    FrameWriter w;
    w.Apic(picture);
    return ToVector(w.Render());
}

}  // namespace sonavert
