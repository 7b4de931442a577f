#pragma once
// Naming the targets of a whole library: the path of a source below the folder it was added
// through, target names made from a pattern of tag fields, and the split of a batch into shards
// that separate processes (on separate machines) convert without talking to each other.
#include <cstdint>
#include <string>
#include <vector>

#include "tags/TagRecord.h"

namespace sonavert {

struct Settings;

// The path of `sourcePath` below `root` ("Artist/Album/01.flac"), both taken lexically absolute;
// empty when `root` is empty or the source does not lie below it.
std::string PathBelowRoot(const std::string& sourcePath, const std::string& root);

// A text made fit to be one level of a path on the usual file systems (a phone's or a memory
// card's too): '/', '\', control characters and : * ? " < > | become '_', blanks at either end
// and dots at the end go, and a text of dots only becomes '_' as many times. May come back empty.
std::string SafeNameLevel(const std::string& text);

// A checked name pattern: literal text with fields in braces, "{albumartist|artist}/{album}/
// {disc}-{track:02} {title}". A field is one of PatternFieldNames(); after '|' come alternatives
// taken in turn while the value so far is empty, of which one that is no field name is literal
// text ("{disc|1}"); ":0N" pads a number (the part before a '/' of "3/12") to N digits. '/' of the
// pattern itself separates folders; a '/' inside a tag value never does.
struct NamePattern {
    struct Field {
        std::vector<std::string> alternatives;  // field names, the last maybe literal text
        bool lastIsLiteral = false;
        int width = 0;                          // 0: no padding
    };
    struct Piece {
        std::string literal;  // used when `field` has no alternatives
        Field field;
    };
    std::vector<std::vector<Piece>> levels;  // one per folder level, the last the file's stem
    bool usesTags = false;                   // any field other than "stem"
};

// The field names a pattern may use.
const std::vector<std::string>& PatternFieldNames();

// Parses `text`; false with `error` set ("unknown field {artst}", "unclosed {") for a pattern
// that cannot be used. An empty text parses into a pattern without levels.
bool ParseNamePattern(const std::string& text, NamePattern& pattern, std::string& error);

// The name a pattern gives a source: its levels below the output folder, each made safe (the
// folders cut to the file-name limit), joined by '/'. Returns false
// when the row falls back to its source name: the pattern uses tags and `tags` is null (the file
// has none), or a level comes out empty.
bool ExpandNamePattern(const NamePattern& pattern, const TagRecord* tags, const std::string& sourcePath,
                       std::string& relative);

// How a row's target is named before any existing file counts: the folders below the output
// folder (or the source's folder) and the stem. Mirrors the path below the row's added folder when
// KeepAddedFolderTree is on (for an output folder of the user's choice), then applies the name
// pattern of TargetNamePattern, reading the source's tags when the pattern uses them.
struct TargetPlan {
    std::string subfolders;  // '/'-separated, ends in '/', or empty
    std::string stem;        // empty: the source's own stem
    bool belowRoot = false;  // the subfolders mirror the path below the added folder
};
TargetPlan PlanTarget(const std::string& sourcePath, const std::string& root, const Settings& settings);

// The shard (1..count) of a row: FNV-1a 64 of its source path below its added folder (the whole
// absolute path when it has none), in Unicode normal form C, UTF-8, '/'-separated, modulo `count`,
// plus 1. The same on every machine and build, whatever the folders are mounted as.
uint64_t Fnv1a64(const std::string& bytes);
std::string ShardKey(const std::string& sourcePath, const std::string& root);
int ShardOfSource(const std::string& sourcePath, const std::string& root, int count);

// Reads "K/N" with 1 <= K <= N <= 10000; false with `error` set ("K must lie between 1 and N").
bool ParseShard(const std::string& text, int& shard, int& count, std::string& error);

}  // namespace sonavert
