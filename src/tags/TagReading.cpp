#include "tags/TagReading.h"

#include <taglib/commentsframe.h>
#include <taglib/fileref.h>
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

bool ReadId3FileTags(const std::string& path, TagRecord& tags) {
    TagLib::MPEG::File file(path.c_str(), TagLib::ID3v2::FrameFactory::instance(), false);
    if (!file.isOpen()) {
        tags = TagRecord{};
        return false;
    }
    return ExtractId3(file, tags);
}

bool ReadId3Tags(const uint8_t* data, size_t size, TagRecord& tags) {
    if (!data || size == 0 || size > 0x7FFFFFFF) {
        tags = TagRecord{};
        return false;
    }
    TagLib::ByteVector bytes(reinterpret_cast<const char*>(data), static_cast<unsigned int>(size));
    TagLib::ByteVectorStream stream(bytes);
    TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
    return ExtractId3(file, tags);
}

bool ReadMp4Metadata(const std::string& path, TagRecord& tags) {
    TagLib::MP4::File file(path.c_str(), false);
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
    tags.copyright.clear();
    return any;
}

bool ReadTagsText(const std::string& path, std::string& text) {
    text.clear();
    TagLib::FileRef ref(path.c_str(), false);
    if (ref.isNull()) return false;

    TagRecord tags;
    bool any = false;
    if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(ref.file())) {
        any = ExtractId3(*mpeg, tags);
    } else {
        const TagLib::PropertyMap props = ref.file()->properties();
        auto get = [&](const char* key, std::string& field) {
            const auto it = props.find(key);
            if (it == props.end()) return;
            field = Join(it->second);
            any = any || !field.empty();
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
    }
    if (!any) return false;

    std::string* ordered[] = {&tags.track, &tags.title,   &tags.artist,   &tags.album,    &tags.genre,
                              &tags.year,  &tags.comment, &tags.composer, &tags.copyright};
    for (int i = 0; i < 9; ++i) {
        if (i < 8) FlattenLines(*ordered[i]);
        text += *ordered[i];
        if (i < 8) text += '\n';
    }
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
