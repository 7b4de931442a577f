#include "tags/TagReading.h"

#include <taglib/commentsframe.h>
#include <taglib/fileref.h>
#include <taglib/tfilestream.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tpropertymap.h>

#include <array>
#include <climits>
#include <cstring>
#include <fstream>
#include <vector>

#include "tags/Genres.h"

namespace sonavert {

namespace {

std::string ToUtf8(const TagLib::String& s) { return s.to8Bit(true); }

std::string Join(const TagLib::StringList& list) { return ToUtf8(list.toString(" / ")); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool AllDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!IsDigit(c)) return false;
    return true;
}

// The text of the first frame of one ID3v2 frame id; nullopt when the tag has no such frame.
std::optional<std::string> FrameText(const TagLib::ID3v2::Tag& tag, const char* id) {
    const TagLib::ID3v2::FrameList& frames = tag.frameListMap()[id];
    if (frames.isEmpty()) return std::nullopt;
    const TagLib::ID3v2::Frame* frame = frames.front();
    if (auto* text = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frame))
        return Join(text->fieldList());
    if (auto* comment = dynamic_cast<const TagLib::ID3v2::CommentsFrame*>(frame)) return ToUtf8(comment->text());
    return ToUtf8(frame->toString());
}

// The text of a user-defined text frame (TXXX) whose description is `description` in any case;
// tools that have no ID3 comment field of their own store comments this way.
std::optional<std::string> UserTextFrame(const TagLib::ID3v2::Tag& tag, const char* description) {
    for (const TagLib::ID3v2::Frame* frame : tag.frameListMap()["TXXX"]) {
        auto* user = dynamic_cast<const TagLib::ID3v2::UserTextIdentificationFrame*>(frame);
        if (!user || user->description().upper() != TagLib::String(description).upper()) continue;
        TagLib::StringList values = user->fieldList();
        if (!values.isEmpty()) values.erase(values.begin());  // the first field is the description
        return Join(values);
    }
    return std::nullopt;
}

// The genre frame's text. The ID3v2 reader splits a "(17)Text" reference into the fields "17" and
// "Text" (and drops a text equal to the listed name); put the reference back together so that one
// set of rules resolves it.
std::optional<std::string> GenreFrameText(const TagLib::ID3v2::Tag& tag) {
    const TagLib::ID3v2::FrameList& frames = tag.frameListMap()["TCON"];
    if (frames.isEmpty()) return std::nullopt;
    auto* text = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frames.front());
    if (!text) return ToUtf8(frames.front()->toString());
    const TagLib::StringList fields = text->fieldList();
    if (fields.isEmpty()) return std::string();
    const std::string first = ToUtf8(fields.front());
    if (AllDigits(first)) {
        std::string rebuilt = "(" + first + ")";
        if (fields.size() > 1) rebuilt += ToUtf8(fields[1]);
        return rebuilt;
    }
    return Join(fields);
}

// Fills the record from the ID3v2 tag and, for fields it lacks, from the ID3v1 tag of an MPEG file.
bool ExtractId3(TagLib::MPEG::File& file, TagRecord& tags) {
    tags = TagRecord{};
    std::array<bool, 9> found{};
    std::array<std::string*, 9> fields = {&tags.title, &tags.artist,  &tags.album,    &tags.year,     &tags.genre,
                                          &tags.comment, &tags.track, &tags.composer, &tags.copyright};
    auto take = [&](int index, std::optional<std::string> value) {
        if (found[index] || !value) return;
        *fields[index] = std::move(*value);
        found[index] = true;
    };

    if (const TagLib::ID3v2::Tag* v2 = file.hasID3v2Tag() ? file.ID3v2Tag() : nullptr) {
        take(0, FrameText(*v2, "TIT2"));
        take(1, FrameText(*v2, "TPE1"));
        take(1, FrameText(*v2, "TPE2"));
        take(1, FrameText(*v2, "TPE3"));
        take(2, FrameText(*v2, "TALB"));
        // Version 2.3 years are presented as TDRC by the reader; TYER stays for odd 2.4 tags.
        take(3, FrameText(*v2, "TDRC"));
        take(3, FrameText(*v2, "TYER"));
        if (auto genre = GenreFrameText(*v2)) take(4, ResolveId3Genre(*genre));
        take(5, FrameText(*v2, "COMM"));
        take(5, UserTextFrame(*v2, "comment"));
        take(6, FrameText(*v2, "TRCK"));
        take(7, FrameText(*v2, "TCOM"));
        take(8, FrameText(*v2, "TCOP"));
        // Album artist and disc name targets only: they do not count as tags found.
        tags.albumArtist = FrameText(*v2, "TPE2").value_or("");
        tags.disc = FrameText(*v2, "TPOS").value_or("");
    }
    if (const TagLib::ID3v1::Tag* v1 = file.hasID3v1Tag() ? file.ID3v1Tag() : nullptr) {
        auto text = [](const TagLib::String& s) -> std::optional<std::string> {
            if (s.isEmpty()) return std::nullopt;
            return ToUtf8(s);
        };
        take(0, text(v1->title()));
        take(1, text(v1->artist()));
        take(2, text(v1->album()));
        if (v1->year() > 0) take(3, std::to_string(v1->year()));
        if (v1->genreNumber() < static_cast<unsigned>(kGenreCount))
            take(4, std::string(GenreName(static_cast<int>(v1->genreNumber()))));
        take(5, text(v1->comment()));
        if (v1->track() > 0) take(6, std::to_string(v1->track()));
    }
    for (bool f : found)
        if (f) return true;
    return false;
}

// Reads `n` bytes at `offset` of a file or of a block in memory; false when they are not all there.
class ByteSource {
public:
    explicit ByteSource(const std::string& path) : file_(path, std::ios::binary) {
        if (file_) {
            file_.seekg(0, std::ios::end);
            size_ = static_cast<uint64_t>(std::max<std::streamoff>(file_.tellg(), 0));
        }
    }
    ByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint64_t Size() const { return size_; }
    bool Read(uint64_t offset, uint8_t* out, size_t n) {
        if (offset > size_ || n > size_ - offset) return false;
        if (data_) {
            std::memcpy(out, data_ + offset, n);
            return true;
        }
        file_.clear();
        file_.seekg(static_cast<std::streamoff>(offset));
        return static_cast<bool>(file_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n)));
    }

private:
    std::ifstream file_;
    const uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
};

uint32_t Be32(const uint8_t* b) {
    return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 | b[3];
}

// The MP4 boxes holding boxes, as the tag library knows them; `skip` is what comes before them.
bool IsMp4Container(const uint8_t* type, uint64_t& skip) {
    static const char* const kContainers[] = {"moov", "udta", "mdia", "meta", "ilst", "stbl",
                                              "minf", "moof", "traf", "trak", "stsd"};
    for (const char* c : kContainers) {
        if (std::memcmp(type, c, 4) != 0) continue;
        skip = std::memcmp(c, "meta", 4) == 0 ? 4 : std::memcmp(c, "stsd", 4) == 0 ? 8 : 0;
        return true;
    }
    return false;
}

// Whether an MP4 file's box tree stays within kTagNestingLimit levels. The tag library walks the
// tree recursively, so a file with thousands of nested boxes would exhaust the stack there. The
// walk here is iterative (a stack of the enclosing boxes' ends). Files that are not MP4 end the
// walk at their first bytes.
bool Mp4NestingWithinBound(ByteSource& in) {
    uint8_t h[16];
    if (!in.Read(0, h, 8)) return true;
    std::vector<uint64_t> ends{in.Size()};
    uint64_t pos = 0;
    while (!ends.empty()) {
        if (pos + 8 > ends.back()) {
            pos = ends.back();
            ends.pop_back();
            continue;
        }
        if (!in.Read(pos, h, 8)) return true;
        uint64_t size = Be32(h);
        uint64_t header = 8;
        if (size == 1) {
            if (!in.Read(pos + 8, h + 8, 8)) return true;
            size = static_cast<uint64_t>(Be32(h + 8)) << 32 | Be32(h + 12);
            header = 16;
        } else if (size == 0 && ends.size() == 1) {
            size = ends.back() - pos;  // the last box of the file runs to its end
        }
        if (size < header || size > ends.back() - pos) {
            // Not a box: the rest of the enclosing box is data.
            pos = ends.back();
            continue;
        }
        // Only the container boxes the tag library descends into are looked into; "meta" carries
        // four bytes of version and flags and "stsd" eight bytes before its boxes.
        const uint64_t end = pos + size;
        pos = end;
        uint64_t skip = 0;
        if (!IsMp4Container(h + 4, skip)) continue;
        if (ends.size() > kTagNestingLimit) return false;
        uint64_t body = end - size + header;
        if (std::memcmp(h + 4, "meta", 4) == 0) {
            // As the tag library does: no version and flags when a known box follows at once.
            uint8_t next[8];
            if (in.Read(body, next, 8))
                for (const char* id : {"hdlr", "ilst", "mhdr", "ctry", "lang"})
                    if (std::memcmp(next + 4, id, 4) == 0) skip = 0;
        }
        body += skip;
        if (body + 8 <= end) {
            ends.push_back(end);
            pos = body;
        }
    }
    return true;
}

// Whether the bytes from `begin` to `end` hold a chapter frame id (CHAP or CTOC) anywhere.
bool HoldsChapterId(ByteSource& in, uint64_t begin, uint64_t end) {
    std::vector<uint8_t> buf(1 << 16);
    for (uint64_t pos = begin; pos + 4 <= end;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), end - pos));
        if (!in.Read(pos, buf.data(), n)) return false;
        for (size_t i = 0; i + 4 <= n; ++i)
            if (std::memcmp(&buf[i], "CHAP", 4) == 0 || std::memcmp(&buf[i], "CTOC", 4) == 0) return true;
        if (pos + n >= end) break;
        pos += n - 3;  // ids straddling the boundary are seen in the next piece
    }
    return false;
}

// Whether an ID3v2 tag at `start` nests its chapter frames (CHAP, CTOC: frames that hold frames)
// at most kTagNestingLimit deep; the tag library parses embedded frames recursively. A source
// without an ID3v2 tag there passes.
bool Id3NestingWithinBound(ByteSource& in, uint64_t start) {
    uint8_t h[10];
    if (!in.Read(start, h, 10) || std::memcmp(h, "ID3", 3) != 0) return true;
    const int version = h[3];
    if (version < 3 || version > 4) return true;  // version 2.2 has no chapter frames
    const uint64_t tagSize = (h[6] & 0x7Fu) << 21 | (h[7] & 0x7Fu) << 14 | (h[8] & 0x7Fu) << 7 | (h[9] & 0x7Fu);
    uint64_t pos = start + 10;
    std::vector<uint64_t> ends{std::min(pos + tagSize, in.Size())};
    if (version == 3 && (h[5] & 0x80) && HoldsChapterId(in, pos, ends.back())) {
        // A version 2.3 tag unsynchronised as a whole is decoded before its frames are parsed, so
        // its frames need not lie where the raw bytes put them: a chapter frame in it (an id
        // without 0xFF bytes reads the same in both) cannot be measured here and is refused.
        return false;
    }
    if (h[5] & 0x40) {  // extended header: skipped by its size
        uint8_t e[4];
        if (!in.Read(pos, e, 4)) return true;
        pos += version == 4 ? ((e[0] & 0x7Fu) << 21 | (e[1] & 0x7Fu) << 14 | (e[2] & 0x7Fu) << 7 | (e[3] & 0x7Fu))
                            : Be32(e) + 4u;
    }
    while (!ends.empty()) {
        if (pos + 10 > ends.back()) {
            pos = ends.back();
            ends.pop_back();
            continue;
        }
        if (!in.Read(pos, h, 10) || h[0] == 0) {  // padding ends the level
            pos = ends.back();
            continue;
        }
        const uint64_t size = version == 4
                                  ? ((h[4] & 0x7Fu) << 21 | (h[5] & 0x7Fu) << 14 | (h[6] & 0x7Fu) << 7 | (h[7] & 0x7Fu))
                                  : Be32(h + 4);
        const uint64_t end = std::min(pos + 10 + size, ends.back());
        const bool chapter = std::memcmp(h, "CHAP", 4) == 0;
        if (!chapter && std::memcmp(h, "CTOC", 4) != 0) {
            pos = end;
            continue;
        }
        // A chapter frame compressed, encrypted, unsynchronised or with a grouping byte or data
        // length in front holds its embedded frames elsewhere than its raw bytes show; none is
        // measured, so none passes.
        if (h[9] & (version == 4 ? 0x4F : 0xE0)) return false;
        // The embedded frames follow the element id (up to its terminator) and, for CHAP, four
        // 32-bit times and offsets; CTOC has flags, an entry count and the entries' ids.
        uint64_t body = pos + 10;
        auto skipText = [&]() {
            uint8_t c = 1;
            while (body < end && in.Read(body, &c, 1) && c != 0) ++body;
            ++body;
        };
        skipText();
        if (chapter) {
            body += 16;
        } else {
            uint8_t fc[2] = {0, 0};
            if (body + 2 <= end && in.Read(body, fc, 2)) {
                body += 2;
                for (int i = 0; i < fc[1] && body < end; ++i) skipText();
            } else {
                body = end;
            }
        }
        if (ends.size() > kTagNestingLimit) return false;
        pos = end;
        if (body + 10 <= end) {
            ends.push_back(end);
            pos = body;
        }
    }
    return true;
}

// The ID3v2 tags a file may carry where the tag library reads them: at its start, and in the
// "id3 " chunk of a RIFF (WAV) or "ID3 " chunk of an AIFF file.
bool NestingWithinBounds(ByteSource& in) {
    if (!Mp4NestingWithinBound(in) || !Id3NestingWithinBound(in, 0)) return false;
    uint8_t h[12];
    if (!in.Read(0, h, 12)) return true;
    const bool riff = std::memcmp(h, "RIFF", 4) == 0;
    if (!riff && std::memcmp(h, "FORM", 4) != 0) return true;
    for (uint64_t pos = 12; pos + 8 <= in.Size();) {
        if (!in.Read(pos, h, 8)) break;
        const uint64_t size = riff ? (uint32_t{h[7]} << 24 | uint32_t{h[6]} << 16 | uint32_t{h[5]} << 8 | h[4]) : Be32(h + 4);
        if ((std::memcmp(h, "id3 ", 4) == 0 || std::memcmp(h, "ID3 ", 4) == 0) && !Id3NestingWithinBound(in, pos + 8))
            return false;
        pos += 8 + size + (size & 1);
    }
    return true;
}

void FlattenLines(std::string& s) {
    for (char& c : s)
        if (c == '\n' || c == '\r') c = ' ';
}

}  // namespace

std::optional<std::string> Utf8ToLocal(std::string_view utf8) {
    size_t i = 0;
    const size_t n = utf8.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        int follow;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            follow = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            follow = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            follow = 3;
            cp = c & 0x07;
        } else {
            return std::nullopt;
        }
        if (n - i <= static_cast<size_t>(follow)) return std::nullopt;
        for (int k = 1; k <= follow; ++k) {
            const unsigned char f = static_cast<unsigned char>(utf8[i + k]);
            if ((f & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (f & 0x3F);
        }
        if ((follow == 2 && cp < 0x800) || (follow == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return std::nullopt;
        i += follow + 1;
    }
    return std::string(utf8);
}

std::string ResolveId3Genre(std::string_view genre) {
    if (genre.size() < 2 || genre[0] != '(' || !IsDigit(genre[1])) return std::string(genre);
    size_t i = 1;
    long number = 0;
    while (i < genre.size() && IsDigit(genre[i])) {
        if (number < 100000) number = number * 10 + (genre[i] - '0');
        ++i;
    }
    if (i < genre.size() && genre[i] == ')' && i + 1 < genre.size()) return std::string(genre.substr(i + 1));
    return std::string(GenreName(static_cast<int>(number)));
}

std::vector<std::pair<const char*, std::string>> VorbisComments(const TagRecord& tags) {
    std::vector<std::pair<const char*, std::string>> out;
    auto add = [&out](const char* key, const std::string& text) {
        if (!text.empty() && Utf8ToLocal(text)) out.emplace_back(key, text);
    };
    add("TITLE", tags.title);
    add("ARTIST", tags.artist);
    add("ALBUM", tags.album);
    add("DATE", tags.year);
    add("GENRE", tags.genre);
    add("COMMENT", tags.comment);
    add("COMPOSER", tags.composer);
    add("COPYRIGHT", tags.copyright);
    if (ParseTrackNumber(tags.track) > 0) add("TRACKNUMBER", tags.track);
    return out;
}

int ParseTrackNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r' ||
                               text[i] == '\v' || text[i] == '\f'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    while (i < text.size() && IsDigit(text[i])) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) value = INT_MAX;
        ++i;
    }
    return static_cast<int>(negative ? -value : value);
}

bool TagNestingWithinBounds(const std::string& path) {
    ByteSource in(path);
    return NestingWithinBounds(in);
}

bool ReadId3FileTags(const std::string& path, TagRecord& tags) {
    if (!TagNestingWithinBounds(path)) {
        tags = TagRecord{};
        return false;
    }
    TagLib::FileStream stream(path.c_str(), true);
    TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
    if (!file.isOpen()) {
        tags = TagRecord{};
        return false;
    }
    return ExtractId3(file, tags);
}

bool ReadId3Tags(const uint8_t* data, size_t size, TagRecord& tags) {
    ByteSource in(data, size);
    if (!data || size == 0 || size > 0x7FFFFFFF || !Id3NestingWithinBound(in, 0)) {
        tags = TagRecord{};
        return false;
    }
    TagLib::ByteVector bytes(reinterpret_cast<const char*>(data), static_cast<unsigned int>(size));
    TagLib::ByteVectorStream stream(bytes);
    TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
    return ExtractId3(file, tags);
}

bool ReadMp4Metadata(const std::string& path, TagRecord& tags) {
    if (!TagNestingWithinBounds(path)) return false;
    TagLib::FileStream stream(path.c_str(), true);
    TagLib::MP4::File file(&stream, false);
    if (!file.isValid() || !file.tag()) return false;
    const TagLib::MP4::Tag& tag = *file.tag();
    bool any = false;
    auto text = [&](const char* key, std::string& field) {
        if (!tag.contains(key)) return;
        const std::string value = Join(tag.item(key).toStringList());
        // An empty entry carries nothing and does not count as tags.
        if (value.empty()) return;
        if (auto local = Utf8ToLocal(value)) {
            field = *local;
            any = true;
        }
    };
    text("\251nam", tags.title);
    text("\251ART", tags.artist);
    text("\251alb", tags.album);
    text("\251day", tags.year);
    text("\251gen", tags.genre);
    if (tags.genre.empty() && tag.contains("gnre")) {
        // Numbered genres (ID3v1 number + 1) when the file has no text genre.
        const int number = tag.item("gnre").toInt() - 1;
        if (!GenreName(number).empty()) {
            tags.genre = std::string(GenreName(number));
            any = true;
        }
    }
    text("\251cmt", tags.comment);
    text("\251wrt", tags.composer);
    if (tag.contains("trkn")) tags.track = std::to_string(tag.item("trkn").toIntPair().first);
    text("aART", tags.albumArtist);
    if (tag.contains("disk") && tag.item("disk").toIntPair().first > 0)
        tags.disc = std::to_string(tag.item("disk").toIntPair().first);
    tags.copyright.clear();
    return any;
}

bool ReadFileTags(const std::string& path, TagRecord& tags) {
    tags = TagRecord{};
    if (!TagNestingWithinBounds(path)) return false;
    TagLib::FileStream stream(path.c_str(), true);  // read-only: a source is never opened for writing
    TagLib::FileRef ref(&stream, false);
    if (ref.isNull()) return false;

    bool any = false;
    if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(ref.file())) {
        any = ExtractId3(*mpeg, tags);
    } else {
        const TagLib::PropertyMap props = ref.file()->properties();
        auto get = [&](const char* key, std::string& field, bool counts = true) {
            const auto it = props.find(key);
            if (it == props.end()) return;
            field = Join(it->second);
            any = any || (counts && !field.empty());
        };
        get("TITLE", tags.title);
        get("ARTIST", tags.artist);
        get("ALBUM", tags.album);
        get("DATE", tags.year);
        get("GENRE", tags.genre);
        get("COMMENT", tags.comment);
        // Vorbis comments often carry the comment as DESCRIPTION, some tools write COMMENTS.
        if (tags.comment.empty()) get("DESCRIPTION", tags.comment);
        if (tags.comment.empty()) get("COMMENTS", tags.comment);
        get("TRACKNUMBER", tags.track);
        get("COMPOSER", tags.composer);
        get("COPYRIGHT", tags.copyright);
        get("ALBUMARTIST", tags.albumArtist, false);
        get("DISCNUMBER", tags.disc, false);
    }
    return any;
}

std::string JoinTagsText(const TagRecord& record) {
    TagRecord tags = record;
    std::string text;
    std::string* ordered[] = {&tags.track, &tags.title,   &tags.artist,   &tags.album,    &tags.genre,
                              &tags.year,  &tags.comment, &tags.composer, &tags.copyright};
    for (int i = 0; i < 9; ++i) {
        if (i < 8) FlattenLines(*ordered[i]);
        text += *ordered[i];
        if (i < 8) text += '\n';
    }
    return text;
}

bool ReadTagsText(const std::string& path, std::string& text) {
    text.clear();
    TagRecord tags;
    if (!ReadFileTags(path, tags)) return false;
    text = JoinTagsText(tags);
    return true;
}

int SplitTagsText(std::string_view text, TagRecord& tags) {
    std::string* ordered[] = {&tags.track, &tags.title,   &tags.artist,   &tags.album,   &tags.genre,
                              &tags.year,  &tags.comment, &tags.composer, &tags.copyright};
    size_t start = 0;
    for (int i = 0; i < 8; ++i) {
        const size_t end = text.find('\n', start);
        if (end == std::string_view::npos) return i;
        *ordered[i] = std::string(text.substr(start, end - start));
        start = end + 1;
        if (i == 7) {
            tags.copyright = std::string(text.substr(start));
            return 9;
        }
    }
    return 9;
}

}  // namespace sonavert
