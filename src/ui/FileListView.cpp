#include "ui/FileListView.h"

#include <algorithm>
#include <cmath>

#include <QApplication>
#include <QContextMenuEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QStyleOptionProgressBar>
#include <QStyledItemDelegate>
#include <QHeaderView>
#include <QItemSelection>
#include <QMouseEvent>
#include <QTimer>

namespace sonavert {

FileListModel::FileListModel(FileList& list, QObject* parent)
    : QAbstractTableModel(parent), list_(list), shownRows_(list.RowCount()) {}

int FileListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : shownRows_; }

int FileListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= shownRows_ || index.column() >= kColumnCount) return {};
    switch (role) {
        case Qt::DisplayRole:
            return QString::fromStdString(list_.CellText(index.row(), index.column()));
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(
                (kListColumns[index.column()].alignment == ColumnAlignment::Right ? Qt::AlignRight : Qt::AlignLeft) |
                Qt::AlignVCenter);
        case Qt::ToolTipRole: {
            // The full path of the source, and a status text that may not fit its cell.
            const FileEntry* entry = list_.Entry(index.row());
            if (index.column() == kColumnFile && entry) return QString::fromStdString(entry->sourcePath);
            if (index.column() == kColumnStatus) {
                QString status = QString::fromStdString(list_.CellText(index.row(), kColumnStatus));
                const std::string note = list_.StatusNote(index.row());
                if (!note.empty()) status += QStringLiteral("\n") + QString::fromStdString(note);
                if (!status.isEmpty()) return status;
            }
            return {};
        }
        case kProgressRole:
            if (index.column() == kColumnStatus) return RowProgress(index.row());
            return {};
        default:
            return {};
    }
}

void FileListModel::SetRowProgress(int row, double fraction) {
    if (row < 0 || row >= shownRows_) return;
    const double shown = RowProgress(row);
    if (fraction < 0) {
        if (shown < 0) return;
        progress_.erase(row);
    } else {
        // Repaint only when the bar moves by a visible step.
        if (shown >= 0 && std::abs(shown - fraction) < 0.005 && fraction < 1.0) return;
        progress_[row] = fraction;
    }
    const QModelIndex cell = index(row, kColumnStatus);
    emit dataChanged(cell, cell, {kProgressRole});
}

double FileListModel::RowProgress(int row) const {
    const auto it = progress_.find(row);
    return it == progress_.end() ? -1.0 : it->second;
}

namespace {
// The Status cell of a running row: a bar at the row's share under its text.
class StatusDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const QVariant share = index.data(FileListModel::kProgressRole);
        if (!share.isValid() || share.toDouble() < 0) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem item = option;
        initStyleOption(&item, index);
        item.text.clear();
        QStyle* style = option.widget ? option.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &item, painter, option.widget);
        QStyleOptionProgressBar bar;
        bar.rect = option.rect.adjusted(2, 2, -2, -2);
        bar.minimum = 0;
        bar.maximum = 1000;
        bar.progress = static_cast<int>(std::lround(std::clamp(share.toDouble(), 0.0, 1.0) * 1000));
        bar.text = QStringLiteral("%1 %2%").arg(index.data().toString()).arg(bar.progress / 10);
        bar.textVisible = true;
        bar.textAlignment = Qt::AlignCenter;
        bar.state = QStyle::State_Enabled | QStyle::State_Horizontal;
        bar.palette = option.palette;
        bar.fontMetrics = option.fontMetrics;
        style->drawControl(QStyle::CE_ProgressBar, &bar, painter, option.widget);
    }
};
}  // namespace

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) return {};
    if (role == Qt::DisplayRole) return QString::fromLatin1(kListColumns[section].title);
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(
            (kListColumns[section].alignment == ColumnAlignment::Right ? Qt::AlignRight : Qt::AlignLeft) |
            Qt::AlignVCenter);
    return {};
}

void FileListModel::SyncAppendedRows() {
    const int now = list_.RowCount();
    if (now == shownRows_) return;
    if (now < shownRows_) {
        Reload();
        return;
    }
    // The rows are already in the list; nothing reads them between these two calls.
    beginInsertRows(QModelIndex(), shownRows_, now - 1);
    shownRows_ = now;
    endInsertRows();
}

void FileListModel::RowChanged(int row) {
    if (row < 0 || row >= shownRows_) return;
    emit dataChanged(index(row, 0), index(row, kColumnCount - 1));
}

void FileListModel::SortByColumn(int column) {
    emit layoutAboutToBeChanged();
    list_.SortByColumn(column);
    shownRows_ = list_.RowCount();
    emit layoutChanged();
}

void FileListModel::Reload() {
    beginResetModel();
    progress_.clear();
    shownRows_ = list_.RowCount();
    endResetModel();
}

FileListView::FileListView(FileListModel* model, QWidget* parent) : QTreeView(parent), model_(model) {
    setModel(model);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setAlternatingRowColors(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTextElideMode(Qt::ElideRight);
    setContextMenuPolicy(Qt::DefaultContextMenu);
    setItemDelegateForColumn(kColumnStatus, new StatusDelegate(this));

    QHeaderView* header = this->header();
    // The Status column takes whatever width the others leave, so long statuses show whole
    // where they fit; its own width (set or dragged) is the least it keeps.
    header->setStretchLastSection(true);
    header->setSectionsMovable(false);
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(false);
    header->setSectionResizeMode(QHeaderView::Interactive);
    for (int column = 0; column < kColumnCount; ++column) setColumnWidth(column, kListColumns[column].width);
    FitColumnsToTitles();
    connect(header, &QHeaderView::sectionClicked, this, &FileListView::OnHeaderClicked);

    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { ListFromSelection(); });
    // Rebuilt models keep the list's selection on screen.
    connect(model, &QAbstractItemModel::layoutChanged, this, [this] { SelectionFromList(); });
    connect(model, &QAbstractItemModel::modelReset, this, [this] { SelectionFromList(); });
}

void FileListView::ListFromSelection() {
    if (syncing_) return;
    FileList& list = model_->List();
    QItemSelectionModel* selection = selectionModel();
    const int rows = std::min(list.RowCount(), model_->rowCount());
    for (int row = 0; row < rows; ++row) list.SetSelected(row, selection->isRowSelected(row, QModelIndex()));
}

void FileListView::SelectionFromList() {
    FileList& list = model_->List();
    QItemSelection selected;
    const int rows = std::min(list.RowCount(), model_->rowCount());
    for (int row = 0; row < rows; ++row) {
        if (list.IsSelected(row))
            selected.select(model_->index(row, 0), model_->index(row, kColumnCount - 1));
    }
    syncing_ = true;
    selectionModel()->select(selected, QItemSelectionModel::ClearAndSelect);
    syncing_ = false;
}

void FileListView::SelectRows(const std::vector<int>& rows) {
    FileList& list = model_->List();
    list.ClearSelection();
    for (int row : rows) list.SetSelected(row, true);
    SelectionFromList();
    if (!rows.empty()) {
        syncing_ = true;
        selectionModel()->setCurrentIndex(model_->index(rows.front(), 0), QItemSelectionModel::NoUpdate);
        syncing_ = false;
    }
}

void FileListView::OnHeaderClicked(int column) {
    model_->SortByColumn(column);
    FileList& list = model_->List();
    header()->setSortIndicatorShown(true);
    header()->setSortIndicator(list.SortColumn(), list.SortAscending() ? Qt::AscendingOrder : Qt::DescendingOrder);
    FitColumnsToTitles();
}

void FileListView::FitColumnsToTitles() {
    QHeaderView* header = this->header();
    for (int column = 0; column + 1 < kColumnCount; ++column) {
        // As the header measures a section for its contents.
        QStyleOptionHeader option;
        option.initFrom(header);
        option.section = column;
        option.orientation = Qt::Horizontal;
        option.text = model_->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
        if (header->isSortIndicatorShown()) option.sortIndicator = QStyleOptionHeader::SortDown;
        const int needed = header->style()->sizeFromContents(QStyle::CT_HeaderSection, &option, QSize(), header).width();
        if (columnWidth(column) < needed) setColumnWidth(column, needed);
    }
}

void FileListView::changeEvent(QEvent* event) {
    QTreeView::changeEvent(event);
    // A new style sheet, style or font reaches the header after the view.
    if (event->type() == QEvent::StyleChange || event->type() == QEvent::FontChange)
        QTimer::singleShot(0, this, [this] { FitColumnsToTitles(); });
}

void FileListView::contextMenuEvent(QContextMenuEvent* event) {
    const QPoint at = event->reason() == QContextMenuEvent::Mouse ? event->globalPos()
                                                                  : mapToGlobal(rect().center());
    event->accept();
    emit ContextMenuWanted(at);
}

void FileListView::mouseDoubleClickEvent(QMouseEvent* event) {
    QTreeView::mouseDoubleClickEvent(event);
    if (event->button() != Qt::LeftButton) return;
    const QModelIndex index = indexAt(event->position().toPoint());
    if (index.isValid()) emit RowDoubleClicked(index.row());
}

}  // namespace sonavert
