#include "ui/ac_table_model.h"

#include "engine/ac_record.h"
#include "engine/monitor.h"
#include "text/text_table.h"
#include "ui/window_icons.h"

namespace {

constexpr int kStateColumn = 0;
constexpr int kFirstNumberColumn = 4;
static_assert(KtAcTableModel::kColumns == static_cast<int>(kAcColumnCount));

}  // namespace

KtAcTableModel::KtAcTableModel(QObject* parent) : QAbstractTableModel(parent) {
    stateIcons_[0] = QIcon(RenderWindowIcon(KtWindowIcon::Normal, 16));
    stateIcons_[1] = QIcon(RenderWindowIcon(KtWindowIcon::Alarm, 16));
}

void KtAcTableModel::RowAdded(size_t row) {
    const int at = static_cast<int>(row);
    beginInsertRows({}, at, at);
    ++rows_;
    endInsertRows();
}

void KtAcTableModel::RowChanged(size_t row) {
    const int at = static_cast<int>(row);
    if (at >= rows_) return;
    emit dataChanged(index(at, 0), index(at, static_cast<int>(kAcColumnCount) - 1));
}

void KtAcTableModel::RowRemoved(size_t row) {
    const int at = static_cast<int>(row);
    if (at >= rows_) return;
    beginRemoveRows({}, at, at);
    --rows_;
    endRemoveRows();
}

void KtAcTableModel::RowsCleared() {
    if (rows_ == 0) return;
    beginRemoveRows({}, 0, rows_ - 1);
    rows_ = 0;
    endRemoveRows();
}

int KtAcTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

int KtAcTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(kAcColumnCount);
}

QVariant KtAcTableModel::data(const QModelIndex& index, int role) const {
    if (monitor_ == nullptr || !index.isValid()) return {};
    const auto& records = monitor_->Rows();
    // While a removal is announced the monitor's rows are already gone.
    if (index.row() >= rows_ || static_cast<size_t>(index.row()) >= records.size()) return {};
    const KtAcRecord& record = *records[static_cast<size_t>(index.row())];
    const int column = index.column();
    switch (role) {
        case Qt::DisplayRole:
            if (column == kStateColumn) return {};
            return QString::fromStdString(FormatAcRow(record)[static_cast<size_t>(column)]);
        case Qt::DecorationRole:
            if (column == kStateColumn) return stateIcons_[AcRowIcon(record)];
            return {};
        case Qt::AccessibleTextRole:
            return QString::fromStdString(FormatAcRow(record)[static_cast<size_t>(column)]);
        case Qt::TextAlignmentRole:
            if (column == kStateColumn) return int(Qt::AlignCenter);
            if (column >= kFirstNumberColumn) return int(Qt::AlignRight | Qt::AlignVCenter);
            return int(Qt::AlignLeft | Qt::AlignVCenter);
        default:
            return {};
    }
}

QString KtAcTableModel::Title(int section) {
    if (section < 0 || section >= static_cast<int>(kAcColumnCount)) return {};
    // Titles are kept to 255 characters, as the list's buffers held them.
    return QString::fromStdString(GetText(kAcColumnTextIds[section])).left(255);
}

void KtAcTableModel::SetShownTitle(int section, const QString& shown) {
    if (section < 0 || section >= static_cast<int>(kAcColumnCount)) return;
    if (shownTitles_[section] == shown) return;
    shownTitles_[section] = shown;
    emit headerDataChanged(Qt::Horizontal, section, section);
}

QVariant KtAcTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= static_cast<int>(kAcColumnCount))
        return QAbstractTableModel::headerData(section, orientation, role);
    if (role == Qt::DisplayRole && !shownTitles_[section].isEmpty()) return shownTitles_[section];
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole) return Title(section);
    if (role == Qt::TextAlignmentRole) {
        if (section == kStateColumn) return int(Qt::AlignCenter);
        if (section >= kFirstNumberColumn) return int(Qt::AlignRight | Qt::AlignVCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    }
    return {};
}
