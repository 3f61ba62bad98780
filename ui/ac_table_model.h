#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <cstddef>

#include "text/text_ids.h"

class Monitor;

// The concentrator list as a table model over Monitor::Rows(). The monitor
// owns the records; the model only keeps the row count the views were told
// of, and is told of every change row by row, so a probe cycle repaints the
// rows it changed instead of resetting the table.
class KtAcTableModel : public QAbstractTableModel {
    Q_OBJECT

  public:
    static constexpr int kColumns = 8;

    explicit KtAcTableModel(QObject* parent = nullptr);

    // The monitor whose rows are shown; set once, before any row exists.
    void SetMonitor(const Monitor* monitor) { monitor_ = monitor; }

    // Called after the monitor changed its rows.
    void RowAdded(size_t row);
    void RowChanged(size_t row);
    void RowRemoved(size_t row);
    void RowsCleared();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The whole title of a column, from the text table (at most 255 characters).
    static QString Title(int section);
    // The title as the header shows it: broken into lines where the column is
    // narrower than its one-line title; empty shows the title as it is.
    // Screen readers always get the whole title.
    void SetShownTitle(int section, const QString& shown);

  private:
    const Monitor* monitor_ = nullptr;
    int rows_ = 0;
    // Images 0 (answers) and 1 (down) of the list's small image list.
    QIcon stateIcons_[2];
    QString shownTitles_[kColumns];
};

// Column widths in pixels and text ids of the headers, by column.
inline constexpr int kAcColumnWidths[] = {22, 109, 125, 78, 53, 53, 52, 52};
inline constexpr int kAcColumnTextIds[] = {
    TextId::kColumnState, TextId::kColumnMac,  TextId::kColumnAcName,   TextId::kColumnServiceName,
    TextId::kColumnRtt,   TextId::kColumnSent, TextId::kColumnReceived, TextId::kColumnLost};
