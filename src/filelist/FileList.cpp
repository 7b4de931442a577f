#include "filelist/FileList.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/PathHelpers.h"
#include "sources/SourceTypes.h"

namespace sonavert {

const ColumnInfo kListColumns[kColumnCount] = {
    {"File", ColumnAlignment::Left, 152, SortKind::Text},
    {"Duration", ColumnAlignment::Right, 65, SortKind::MinutesSeconds},
    {"Bit Rate", ColumnAlignment::Right, 65, SortKind::Number},
    {"Freq.", ColumnAlignment::Right, 65, SortKind::Number},
    {"Channels", ColumnAlignment::Left, 60, SortKind::Text},
    {"Status", ColumnAlignment::Left, 145, SortKind::Text},
};

namespace {

std::string Format(const char* format, long a, long b = 0, long c = 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return buf;
}

// A duration cell as seconds: every ":"-separated group is a further base-60 digit, so
// "1:02:05" is 3725 and "01:05" is 65. A cell without ":" (an empty duration) counts as 0.
long DurationSeconds(const std::string& text) {
    if (text.find(':') == std::string::npos) return 0;
    long total = 0;
    const char* p = text.c_str();
    for (;;) {
        char* end = nullptr;
        long part = std::strtol(p, &end, 10);
        total = total * 60 + part;
        const char* colon = std::strchr(end, ':');
        if (!colon) break;
        p = colon + 1;
    }
    return total;
}

// Comparison of two cells of one column by its sort kind: negative, zero or positive.
int CompareCells(SortKind kind, const std::string& a, const std::string& b) {
    switch (kind) {
    case SortKind::Text:
        return std::strcoll(a.c_str(), b.c_str());
    case SortKind::Number: {
        double x = std::strtod(a.c_str(), nullptr), y = std::strtod(b.c_str(), nullptr);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    case SortKind::MinutesSeconds: {
        long x = DurationSeconds(a), y = DurationSeconds(b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    }
    return 0;
}

}  // namespace

std::string DurationText(uint32_t d) {
    if (d == 0) return std::string();
    if (d >= 3600) return Format("%ld:%02ld:%02ld", d / 3600, (d % 3600) / 60, d % 60);
    return Format("%02ld:%02ld", d / 60, d % 60);
}

std::string BitRateText(uint32_t kbps) { return kbps ? Format("%ld kbps", kbps) : std::string(); }

std::string SampleRateText(uint32_t hz) { return hz ? Format("%ld Hz", hz) : std::string(); }

std::string ChannelsText(const FileEntry& e) {
    if (e.sourceType == kSourceMp3) {
        switch (e.channelMode) {
        case kModeStereo: return "Stereo";
        case kModeJointStereo: return "J-Stereo";
        case kModeDualChannel: return "Dual Channel";
        case kModeSingleChannel: return "Mono";
        default: return std::string();
        }
    }
    switch (e.storedChannels) {
    case 0:
    case 1: return "Mono";
    case 2: return "Stereo";
    case 6: return "5.1";
    default: return Format("%ld", static_cast<long>(e.storedChannels));
    }
}

FileEntry* FileList::Entry(int row) {
    return row >= 0 && row < RowCount() ? rows_[static_cast<size_t>(row)].entry.get() : nullptr;
}

const FileEntry* FileList::Entry(int row) const {
    return row >= 0 && row < RowCount() ? rows_[static_cast<size_t>(row)].entry.get() : nullptr;
}

std::string FileList::CellText(int row, int column) const {
    const FileEntry* e = Entry(row);
    if (!e) return std::string();
    switch (column) {
    case kColumnFile: return FileNamePart(e->sourcePath);
    case kColumnDuration: return DurationText(e->duration);
    case kColumnBitRate: return BitRateText(e->bitRate);
    case kColumnFrequency: return SampleRateText(e->sampleRate);
    case kColumnChannels: return ChannelsText(*e);
    case kColumnStatus: return rows_[static_cast<size_t>(row)].status;
    default: return std::string();
    }
}

void FileList::SetStatus(int row, const std::string& text) {
    if (row < 0 || row >= RowCount()) return;
    rows_[static_cast<size_t>(row)].status = text;
    rows_[static_cast<size_t>(row)].statusNote.clear();
}

void FileList::SetStatusNote(int row, const std::string& note) {
    if (row >= 0 && row < RowCount()) rows_[static_cast<size_t>(row)].statusNote = note;
}

std::string FileList::StatusNote(int row) const {
    return row >= 0 && row < RowCount() ? rows_[static_cast<size_t>(row)].statusNote : std::string();
}

int FileList::InsertRow(std::unique_ptr<FileEntry> entry) {
    PathKey key = MakePathKey(entry->sourcePath);
    return InsertRow(std::move(entry), key);
}

int FileList::InsertRow(std::unique_ptr<FileEntry> entry, const PathKey& key) {
    Row row;
    row.entry = std::move(entry);
    row.key = key;
    index_.Insert(key);
    rows_.push_back(std::move(row));
    return RowCount() - 1;
}

void FileList::SetSelected(int row, bool selected) {
    if (row >= 0 && row < RowCount()) rows_[static_cast<size_t>(row)].selected = selected;
}

bool FileList::IsSelected(int row) const {
    return row >= 0 && row < RowCount() && rows_[static_cast<size_t>(row)].selected;
}

void FileList::SelectAll() {
    for (Row& r : rows_) r.selected = true;
}

void FileList::ClearSelection() {
    for (Row& r : rows_) r.selected = false;
}

void FileList::SortByColumn(int column) {
    if (column < 0 || column >= kColumnCount) return;
    ascending_ = column != sortColumn_ || !ascending_;
    sortColumn_ = column;

    // Cell texts are computed once; rows that compare equal keep their order.
    std::vector<std::string> cells(rows_.size());
    for (size_t i = 0; i < rows_.size(); ++i) cells[i] = CellText(static_cast<int>(i), column);
    std::vector<size_t> order(rows_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    SortKind kind = kListColumns[column].sortKind;
    bool ascending = ascending_;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        int c = CompareCells(kind, cells[a], cells[b]);
        return ascending ? c < 0 : c > 0;
    });

    std::vector<Row> sorted;
    sorted.reserve(rows_.size());
    for (size_t i : order) sorted.push_back(std::move(rows_[i]));
    rows_ = std::move(sorted);
}

RowSet FileList::SelectedRows() {
    RowSet set;
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (!rows_[i].selected) continue;
        set.entries.push_back(rows_[i].entry.get());
        set.rows.push_back(static_cast<int>(i));
    }
    return set;
}

RowSet FileList::AllRows() {
    RowSet set;
    for (size_t i = 0; i < rows_.size(); ++i) {
        set.entries.push_back(rows_[i].entry.get());
        set.rows.push_back(static_cast<int>(i));
    }
    return set;
}

int FileList::RemoveSelected(MessageSink& sink) {
    if (std::none_of(rows_.begin(), rows_.end(), [](const Row& r) { return r.selected; })) {
        sink.ShowMessage(MessageIcon::Information, kNoSelectionMessage);
        return 0;
    }
    int removed = 0;
    std::vector<Row> kept;
    kept.reserve(rows_.size());
    for (Row& r : rows_) {
        if (r.selected) {
            index_.Erase(r.key);
            ++removed;
        } else {
            kept.push_back(std::move(r));
        }
    }
    rows_ = std::move(kept);
    return removed;
}

int FileList::RemoveAll(MessageSink& sink) {
    if (rows_.empty()) {
        sink.ShowMessage(MessageIcon::Information, kEmptyListMessage);
        return 0;
    }
    int removed = RowCount();
    rows_.clear();
    index_.Clear();
    return removed;
}

}  // namespace sonavert
