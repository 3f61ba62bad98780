// The monitor window's drawing of what its monitor reports (rows, log lines,
// graphs, status, adapters, tray state, notices and sounds) and the user's
// choices in the list and the adapter box that go back to the monitor.
#include <QComboBox>
#include <QGroupBox>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTableView>

#include "desktop/monitor_form.h"
#include "engine/network_text.h"
#include "text/text_ids.h"
#include "text/text_table.h"
#include "ui/ac_table_model.h"
#include "ui/rtt_graphs.h"
#include "ui/window_icons.h"

void CMonitorForm::ScheduleDrain() {
    // Any thread: one queued call drains everything queued before it runs.
    if (drainQueued_.exchange(true)) return;
    QMetaObject::invokeMethod(
        drainTarget_,
        [this] {
            drainQueued_ = false;
            if (monitor_) monitor_->Port().Drain();
        },
        Qt::QueuedConnection);
}

void CMonitorForm::OnListSelectionChanged() {
    if (selectingFromMonitor_) return;
    const QModelIndexList rows = list_->selectionModel()->selectedRows();
    monitor_->OnSelectionChanged(rows.isEmpty() ? -1 : rows.first().row());
    UpdateCommandStates();
}

void CMonitorForm::OnAdapterActivated(int index) {
    // The current adapter chosen again restarts monitoring on it.
    if (index < 0) return;
    monitor_->SelectAdapter(static_cast<size_t>(index));
    UpdateCommandStates();
}

void CMonitorForm::RowAdded(size_t row, const KtAcRecord&) {
    model_->RowAdded(row);
}

void CMonitorForm::RowChanged(size_t row, const KtAcRecord&) {
    model_->RowChanged(row);
}

void CMonitorForm::RowRemoved(size_t row) {
    selectingFromMonitor_ = true;
    model_->RowRemoved(row);
    selectingFromMonitor_ = false;
    UpdateCommandStates();
}

void CMonitorForm::RowsCleared() {
    selectingFromMonitor_ = true;
    model_->RowsCleared();
    selectingFromMonitor_ = false;
    UpdateCommandStates();
}

void CMonitorForm::RowSelected(int row) {
    selectingFromMonitor_ = true;
    if (row < 0) {
        list_->selectionModel()->clearSelection();
    } else {
        list_->selectionModel()->select(
            model_->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        list_->selectionModel()->setCurrentIndex(model_->index(row, 0),
                                                 QItemSelectionModel::NoUpdate);
    }
    selectingFromMonitor_ = false;
    UpdateCommandStates();
}

void CMonitorForm::LogAppended(std::string_view line) {
    if (line.ends_with("\r\n")) line.remove_suffix(2);
    logBox_->appendPlainText(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
    // The last line stays in view.
    QScrollBar* scroll = logBox_->verticalScrollBar();
    scroll->setValue(scroll->maximum());
}

void CMonitorForm::SetTrayState(bool up) {
    // The tray icon and the window's own icon show the same state.
    if (tray_ != nullptr) tray_->SetState(up);
    if (alarmIcon_ == !up) return;
    alarmIcon_ = !up;
    setWindowIcon(LoadWindowIcon(up ? KtWindowIcon::Normal : KtWindowIcon::Alarm));
}

void CMonitorForm::ShowBalloon(std::string_view title, BalloonIcon icon, std::string_view text) {
    if (notifier_) notifier_->Notify(title, icon, text);
}

void CMonitorForm::PlaySound(const std::string& file, bool loop) {
    if (sound_) sound_->Play(file, loop);
}

void CMonitorForm::StopSound() {
    if (sound_) sound_->Stop();
}

void CMonitorForm::RefreshGraphs() {
    const int selected = monitor_ ? monitor_->SelectedRow() : -1;
    const KtAcRecord* record = nullptr;
    if (selected >= 0 && static_cast<size_t>(selected) < monitor_->Rows().size())
        record = monitor_->Rows()[static_cast<size_t>(selected)].get();
    UpdateRttGraphs(*barGraph_, *lineGraph_, record);
}

void CMonitorForm::SetStatusText(int textId, std::string_view defaultText) {
    std::string text = GetText(textId);
    if (text.empty()) text = defaultText;
    const QString shown = QString::fromStdString(text);
    statusParts_[0]->setText(shown);
    statusParts_[0]->setAccessibleName(shown);
}

void CMonitorForm::SetSelectedAcLabel(std::string_view text) {
    // Group box titles are never rich text, and the name is already escaped;
    // but a title takes "&" as the mark of a keyboard shortcut, so a name from
    // the network ("R&D") has it doubled to show as it is and give no shortcut.
    const QString caption = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    graphGroup_->setTitle(QString(caption).replace(QLatin1Char('&'), QLatin1String("&&")));
    graphGroup_->setAccessibleName(caption);
}

void CMonitorForm::ShowAdapters(const std::vector<AdapterEntry>& adapters, int selected,
                                bool enabled) {
    adapterBox_->clear();
    if (adapters.empty()) {
        adapterBox_->addItem(QString::fromStdString(GetText(TextId::kMonitorNoAdapters)));
        adapterBox_->setCurrentIndex(0);
    } else {
        for (const AdapterEntry& adapter : adapters)
            adapterBox_->addItem(QString::fromStdString(DisplayNetworkText(adapter.description)));
        adapterBox_->setCurrentIndex(selected);
    }
    adapterBox_->setEnabled(enabled);
}
