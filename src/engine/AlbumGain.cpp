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

std::string AlbumOf(const std::string& sourcePath) {
    const std::string source = LexicallyAbsolute(sourcePath);
    return source.substr(0, source.size() - FileNamePart(source).size());
}

void WriteAlbumGains(std::vector<AlbumRow> rows, const std::map<std::string, size_t>& batchRows, RowSink& sink) {
    std::sort(rows.begin(), rows.end(), [](const AlbumRow& a, const AlbumRow& b) { return a.row < b.row; });
    std::map<std::string, std::vector<const AlbumRow*>> albums;
    for (const AlbumRow& row : rows) {
        if (!row.meter || GainTagKindOf(row.extension) == GainTagKind::None) continue;
        albums[AlbumOf(row.sourcePath)].push_back(&row);
    }
    for (const auto& [folder, members] : albums) {
        const auto counted = batchRows.find(folder);
        if (counted == batchRows.end() || counted->second != members.size()) {
            for (const AlbumRow* row : members)
                sink.RowNote(row->row, "no album gain: not every file of its folder was converted", true);
            continue;
        }
        std::vector<const LoudnessMeter*> meters;
        for (const AlbumRow* row : members) meters.push_back(row->meter.get());
        const LoudnessFigures album = LoudnessMeter::Combined(meters);
        if (!album.Audible()) continue;
        GainTagValues values;
        values.album = true;
        values.albumFigures = {album.integrated, album.truePeak};
        char text[64];
        std::snprintf(text, sizeof text, "album %.1f LUFS, album gain %+.1f dB", album.integrated,
                      kReplayGainReference - album.integrated);
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
