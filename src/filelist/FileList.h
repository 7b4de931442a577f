#pragma once
#include <memory>
#include <string>
#include <vector>

#include "filelist/AddDriver.h"
#include "filelist/FileEntry.h"
#include "filelist/PathIdentity.h"

namespace sonavert {

// Columns of the conversion list, in display order.
enum ListColumn : int {
    kColumnFile = 0,
    kColumnDuration = 1,
    kColumnBitRate = 2,
    kColumnFrequency = 3,
    kColumnChannels = 4,
    kColumnStatus = 5,
    kColumnCount = 6,
};

enum class ColumnAlignment { Left, Right };
enum class SortKind { Text, Number, MinutesSeconds };

struct ColumnInfo {
    const char* title;
    ColumnAlignment alignment;
    int width;  // pixels
    SortKind sortKind;
};
extern const ColumnInfo kListColumns[kColumnCount];

// Cell texts of a row, as the list shows them.
std::string DurationText(uint32_t seconds);       // "1:02:05", "01:05", "" for 0
std::string BitRateText(uint32_t kbps);           // "128 kbps", "" for 0
std::string SampleRateText(uint32_t hz);          // "44100 Hz", "" for 0
std::string ChannelsText(const FileEntry& entry); // "Stereo", "J-Stereo", "5.1", "4", ...

// Rows handed to the batch: parallel arrays of entries and their current row indices.
struct RowSet {
    std::vector<FileEntry*> entries;
    std::vector<int> rows;
};

inline constexpr const char* kNoSelectionMessage = "You should select a file at least.";
inline constexpr const char* kEmptyListMessage = "There aren't files in list.";

// The conversion list without a widget: the rows in display order with their cell texts,
// selection and status, the sort state, and the index of the files they hold. A view draws
// from it and forwards header clicks and selection changes.
class FileList {
public:
    FileList() = default;
    FileList(const FileList&) = delete;
    FileList& operator=(const FileList&) = delete;

    int RowCount() const { return static_cast<int>(rows_.size()); }
    // Null for an index out of range.
    FileEntry* Entry(int row);
    const FileEntry* Entry(int row) const;
    // Cell text of a row; empty for an index out of range.
    std::string CellText(int row, int column) const;

    // Status cell, written by the batch; a new status drops the row's note.
    void SetStatus(int row, const std::string& text);
    // What the status text alone does not say (a warning of a converted row), shown beside it in
    // the row's tool tip; empty for an index out of range.
    void SetStatusNote(int row, const std::string& note);
    std::string StatusNote(int row) const;

    // True when the file (by the platform's path identity) is already in the list.
    bool Contains(const std::string& path) const { return index_.Contains(path); }
    bool Contains(const PathKey& key) const { return index_.Contains(key); }
    // Appends a row for the entry, enters its path in the index and returns the row index.
    int InsertRow(std::unique_ptr<FileEntry> entry);
    // Same, with a key computed beforehand (the one looked up before opening the file).
    int InsertRow(std::unique_ptr<FileEntry> entry, const PathKey& key);

    // Selection, kept with its row through sorting and removal.
    void SetSelected(int row, bool selected);
    bool IsSelected(int row) const;
    void SelectAll();
    void ClearSelection();

    // Header click: ascending for a new column or after descending, else descending.
    void SortByColumn(int column);
    int SortColumn() const { return sortColumn_; }
    bool SortAscending() const { return ascending_; }

    RowSet SelectedRows();
    RowSet AllRows();

    // Remove the selected rows or all rows and forget their files. With nothing to remove the
    // sink receives the notice and nothing changes. Return the number of rows removed.
    int RemoveSelected(MessageSink& sink);
    int RemoveAll(MessageSink& sink);

private:
    struct Row {
        std::unique_ptr<FileEntry> entry;
        PathKey key;
        std::string status;
        std::string statusNote;
        bool selected = false;
    };

    std::vector<Row> rows_;
    PathIndex index_;
    int sortColumn_ = -1;
    bool ascending_ = true;
};

}  // namespace sonavert
