#pragma once
// The conversion list on screen: a table model over the FileList and the report-style view with
// full-row selection, header-click sorting and the context-menu request. The FileList stays the
// one owner of the rows, their order, their selection and their status texts; the model only
// tells the view what changed.
#include <map>

#include <QAbstractTableModel>
#include <QTreeView>

#include "filelist/FileList.h"

namespace sonavert {

class FileListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit FileListModel(FileList& list, QObject* parent = nullptr);

    FileList& List() { return list_; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Rows the FileList gained at its end since the model last looked (an add run appends them
    // through the FileAdder) are announced to the view.
    void SyncAppendedRows();
    // A row's cells changed (its status).
    void RowChanged(int row);
    // A running row's share done, 0..1, drawn as a bar in its Status cell; negative: no bar.
    void SetRowProgress(int row, double fraction);
    // The share shown for a row, or a negative number.
    double RowProgress(int row) const;
    // The role under which the Status cell gives its share.
    static constexpr int kProgressRole = Qt::UserRole + 1;
    // Sorts the list by a column with the list's rules; the view keeps its rows selected.
    void SortByColumn(int column);
    // Rows were removed or replaced wholesale.
    void Reload();

private:
    FileList& list_;
    int shownRows_ = 0;
    std::map<int, double> progress_;  // running rows' shares, by row
};

class FileListView : public QTreeView {
    Q_OBJECT
public:
    explicit FileListView(FileListModel* model, QWidget* parent = nullptr);

    FileListModel* ListModel() const { return model_; }
    // The view's selection taken from the list (after sorting, reloading or a test's change).
    void SelectionFromList();
    // Selects exactly the given rows (the list follows).
    void SelectRows(const std::vector<int>& rows);

signals:
    // The context menu is to open at a global position: the pointer, or the list's centre when
    // it was asked for from the keyboard.
    void ContextMenuWanted(const QPoint& globalPosition);
    // A row was double-clicked.
    void RowDoubleClicked(int row);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void ListFromSelection();
    void OnHeaderClicked(int column);
    // Widens every column but the last (which takes the room left) whose title, with the style's
    // margins and the sort mark where shown, does not fit its width.
    void FitColumnsToTitles();

    FileListModel* model_;
    bool syncing_ = false;
};

}  // namespace sonavert
