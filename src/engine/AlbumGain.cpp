#include "engine/AlbumGain.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>
#include <unistd.h>

#include "base/PathHelpers.h"
#include "engine/TargetFiles.h"
#include "tags/GainTags.h"
#include "tags/TagReading.h"

namespace sonavert {

namespace {

// The album gain into `target` by way of a copy beside it that replaces it once tagged; the
// target is unchanged when anything fails.
bool WriteThroughTemporary(const AlbumRow& row, const GainTagValues& values, std::string& reason) {
    std::string temporary;
    TemporaryLock lock;
    if (!CreateTemporaryBeside(row.targetPath, row.extension, temporary, reason, &lock)) return false;
    std::error_code ec;
    std::filesystem::copy_file(row.targetPath, temporary, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        reason = "the target could not be copied for its album gain";
        ::unlink(temporary.c_str());
        return false;
    }
    if (!WriteGainTags(temporary, GainTagKindOf(row.extension), values, reason)) {
        ::unlink(temporary.c_str());
        return false;
    }
    return CommitTemporary(temporary, row.targetPath, row.targetPath, reason);
}

}  // namespace

std::string AlbumOf(const std::string& sourcePath, const Settings& settings) {
    const std::string source = LexicallyAbsolute(sourcePath);
    const std::string folder = source.substr(0, source.size() - FileNamePart(source).size());
    if (settings.LoudnessAlbumGrouping != 1) return folder;
    TagRecord tags;
    if (!ReadFileTags(sourcePath, tags) || tags.album.empty()) return folder;
    // A folder's name is absolute and starts with '/'; a tag's name starts with a tab and cannot
    // be mistaken for one. A line feed keeps the artist and the album apart.
    return "\ttag\n" + (tags.albumArtist.empty() ? tags.artist : tags.albumArtist) + "\n" + tags.album;
}

void WriteAlbumGains(std::vector<AlbumRow> rows, const std::map<std::string, size_t>& batchRows, RowSink& sink) {
    std::sort(rows.begin(), rows.end(), [](const AlbumRow& a, const AlbumRow& b) { return a.row < b.row; });
    std::map<std::string, std::vector<const AlbumRow*>> albums;
    for (const AlbumRow& row : rows) {
        if (!row.meter || GainTagKindOf(row.extension) == GainTagKind::None) continue;
        albums[row.album].push_back(&row);
    }
    for (const auto& [album, members] : albums) {
        const auto counted = batchRows.find(album);
        if (counted == batchRows.end() || counted->second != members.size()) {
            for (const AlbumRow* row : members)
                sink.RowNote(row->row, "no album gain: not every file of its album was converted", true);
            continue;
        }
        std::vector<const LoudnessMeter*> meters;
        for (const AlbumRow* row : members) meters.push_back(row->meter.get());
        const LoudnessFigures figures = LoudnessMeter::Combined(meters);
        if (!figures.Audible()) continue;
        GainTagValues values;
        values.album = true;
        values.albumFigures = {figures.integrated, figures.truePeak};
        char text[64];
        std::snprintf(text, sizeof text, "album %.1f LUFS, album gain %+.1f dB", figures.integrated,
                      kReplayGainReference - figures.integrated);
        for (const AlbumRow* row : members) {
            std::string reason;
            if (WriteThroughTemporary(*row, values, reason))
                sink.RowNote(row->row, text, false);
            else
                sink.RowNote(row->row, "the album gain could not be written: " + reason, true);
        }
    }
}

}  // namespace sonavert
