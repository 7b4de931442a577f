#include "engine/LibraryNaming.h"

#include <QString>

#include <cctype>
#include <cstdlib>

#include "base/PathHelpers.h"
#include "engine/TargetFiles.h"
#include "filelist/FileAdder.h"
#include "settings/Settings.h"
#include "tags/TagReading.h"

namespace sonavert {

namespace {

bool IsDigitText(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string FieldValue(const std::string& name, const TagRecord* tags, const std::string& sourcePath) {
    if (name == "stem") {
        const std::string file = FileNamePart(sourcePath);
        return file.substr(0, file.size() - ExtensionPart(file).size());
    }
    if (!tags) return {};
    const std::string* value = name == "title"         ? &tags->title
                               : name == "artist"      ? &tags->artist
                               : name == "album"       ? &tags->album
                               : name == "albumartist" ? &tags->albumArtist
                               : name == "year"        ? &tags->year
                               : name == "genre"       ? &tags->genre
                               : name == "track"       ? &tags->track
                               : name == "disc"        ? &tags->disc
                               : name == "composer"    ? &tags->composer
                                                       : nullptr;
    return value ? Trimmed(*value) : std::string();
}

// "3/12" padded to two digits gives "03"; a text that does not start with a number stays.
std::string Padded(const std::string& value, int width) {
    std::string number = value.substr(0, value.find('/'));
    number = Trimmed(number);
    if (!IsDigitText(number)) return value;
    number.erase(0, std::min(number.find_first_not_of('0'), number.size() - 1));
    if (static_cast<int>(number.size()) < width) number.insert(0, static_cast<size_t>(width) - number.size(), '0');
    return number;
}

bool IsFieldName(const std::string& name) {
    for (const std::string& field : PatternFieldNames())
        if (field == name) return true;
    return false;
}

}  // namespace

std::string PathBelowRoot(const std::string& sourcePath, const std::string& root) {
    if (root.empty()) return {};
    const std::string source = LexicallyAbsolute(sourcePath);
    std::string folder = LexicallyAbsolute(root);
    if (folder.empty() || !LiesInside(source, folder)) return {};
    if (folder.back() != '/') folder += '/';
    return source.substr(folder.size());
}

std::string SafeNameLevel(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        const bool refused = byte < 0x20 || byte == 0x7f || std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos;
        out += refused ? '_' : c;
    }
    out = Trimmed(out);
    if (!out.empty() && out.find_first_not_of('.') == std::string::npos) return std::string(out.size(), '_');
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    return out;
}

const std::vector<std::string>& PatternFieldNames() {
    static const std::vector<std::string> names = {"title", "artist", "album", "albumartist", "year",
                                                   "genre", "track",  "disc",  "composer",    "stem"};
    return names;
}

bool ParseNamePattern(const std::string& text, NamePattern& pattern, std::string& error) {
    pattern = NamePattern{};
    std::vector<NamePattern::Piece> level;
    auto endLevel = [&] {
        // Empty levels of the pattern itself ("a//b", a leading '/') are no folders.
        if (!level.empty()) pattern.levels.push_back(std::move(level));
        level.clear();
    };
    std::string literal;
    auto endLiteral = [&] {
        if (!literal.empty()) level.push_back({literal, {}});
        literal.clear();
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '}') {
            error = "'}' without '{'";
            return false;
        }
        if (c == '/') {
            endLiteral();
            endLevel();
            continue;
        }
        if (c != '{') {
            literal += c;
            continue;
        }
        const size_t close = text.find('}', i + 1);
        if (close == std::string::npos) {
            error = "unclosed '{'";
            return false;
        }
        std::string inside = text.substr(i + 1, close - i - 1);
        NamePattern::Field field;
        const size_t colon = inside.rfind(':');
        if (colon != std::string::npos) {
            const std::string width = inside.substr(colon + 1);
            if (!IsDigitText(width) || width.size() > 2) {
                error = "padding must be a number of digits, as in {track:02}";
                return false;
            }
            field.width = std::atoi(width.c_str());
            inside.erase(colon);
        }
        size_t at = 0;
        for (;;) {
            const size_t bar = inside.find('|', at);
            field.alternatives.push_back(inside.substr(at, bar == std::string::npos ? bar : bar - at));
            if (bar == std::string::npos) break;
            at = bar + 1;
        }
        for (size_t a = 0; a < field.alternatives.size(); ++a) {
            const std::string& name = field.alternatives[a];
            if (IsFieldName(name)) {
                pattern.usesTags = pattern.usesTags || name != "stem";
                continue;
            }
            // Only the last alternative after a field may be literal text.
            if (a == 0 || a + 1 != field.alternatives.size() || name.find('/') != std::string::npos) {
                error = "unknown field {" + name + "}";
                return false;
            }
            field.lastIsLiteral = true;
        }
        endLiteral();
        level.push_back({{}, std::move(field)});
        i = close;
    }
    endLiteral();
    endLevel();
    return true;
}

bool ExpandNamePattern(const NamePattern& pattern, const TagRecord* tags, const std::string& sourcePath,
                       std::string& relative) {
    relative.clear();
    if (pattern.levels.empty() || (pattern.usesTags && !tags)) return false;
    for (size_t l = 0; l < pattern.levels.size(); ++l) {
        std::string text;
        for (const NamePattern::Piece& piece : pattern.levels[l]) {
            if (piece.field.alternatives.empty()) {
                text += piece.literal;
                continue;
            }
            std::string value;
            const auto& alternatives = piece.field.alternatives;
            for (size_t a = 0; a < alternatives.size() && value.empty(); ++a) {
                const bool literal = piece.field.lastIsLiteral && a + 1 == alternatives.size();
                value = literal ? alternatives[a] : FieldValue(alternatives[a], tags, sourcePath);
            }
            if (piece.field.width > 0) value = Padded(value, piece.field.width);
            // A '/' in a tag value ("AC/DC") is part of the name, never a folder.
            for (char& c : value)
                if (c == '/') c = '_';
            text += value;
        }
        const bool last = l + 1 == pattern.levels.size();
        std::string name = SafeNameLevel(text);
        if (name.empty()) return false;
        // A folder is cut between characters to the file-name limit; the stem is cut where the
        // target's number and extension join it.
        if (!last) name = SafeNameLevel(FitFileName(name, "", ""));
        relative += (relative.empty() ? "" : "/") + name;
    }
    return true;
}

TargetPlan PlanTarget(const std::string& sourcePath, const std::string& root, const Settings& settings) {
    TargetPlan plan;
    if (settings.KeepAddedFolderTree && settings.DestOutputFolderOpt == kDestCustomFolder) {
        const std::string below = PathBelowRoot(sourcePath, root);
        const size_t slash = below.rfind('/');
        if (!below.empty()) plan.belowRoot = true;
        if (slash != std::string::npos) plan.subfolders = below.substr(0, slash + 1);
    }
    if (settings.TargetNamePattern.empty()) return plan;
    NamePattern pattern;
    std::string error;
    if (!ParseNamePattern(settings.TargetNamePattern, pattern, error)) return plan;
    TagRecord tags;
    const bool tagged = pattern.usesTags && ReadFileTags(sourcePath, tags);
    std::string relative;
    if (!ExpandNamePattern(pattern, tagged ? &tags : nullptr, sourcePath, relative)) return plan;
    const size_t slash = relative.rfind('/');
    if (slash != std::string::npos) plan.subfolders += relative.substr(0, slash + 1);
    plan.stem = relative.substr(slash == std::string::npos ? 0 : slash + 1);
    return plan;
}

uint64_t Fnv1a64(const std::string& bytes) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char byte : bytes) {
        hash ^= byte;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

int ShardOfSource(const std::string& sourcePath, const std::string& root, int count) {
    if (count <= 1) return 1;
    return static_cast<int>(Fnv1a64(ShardKey(sourcePath, root)) % static_cast<uint64_t>(count)) + 1;
}

std::string ShardKey(const std::string& sourcePath, const std::string& root) {
    std::string key = PathBelowRoot(sourcePath, root);
    if (key.empty()) key = LexicallyAbsolute(sourcePath);
    // The same name can arrive decomposed from one file system and composed from another.
    const QByteArray normal = QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size()))
                                  .normalized(QString::NormalizationForm_C)
                                  .toUtf8();
    // Text that is no valid UTF-8 is hashed as its bytes: the conversion would not round-trip.
    if (IsValidUtf8(key)) key.assign(normal.constData(), static_cast<size_t>(normal.size()));
    return key;
}

bool ParseShard(const std::string& text, int& shard, int& count, std::string& error) {
    const size_t slash = text.find('/');
    const std::string k = slash == std::string::npos ? text : text.substr(0, slash);
    const std::string n = slash == std::string::npos ? std::string() : text.substr(slash + 1);
    if (!IsDigitText(k) || !IsDigitText(n) || k.size() > 5 || n.size() > 5) {
        error = "'" + text + "' is not K/N (shard K of N, e.g. 2/3)";
        return false;
    }
    shard = std::atoi(k.c_str());
    count = std::atoi(n.c_str());
    if (count < 1 || count > 10000) {
        error = "the number of shards N must lie between 1 and 10000";
        return false;
    }
    if (shard < 1 || shard > count) {
        error = "shard K must lie between 1 and N (" + std::to_string(count) + ")";
        return false;
    }
    return true;
}

}  // namespace sonavert
