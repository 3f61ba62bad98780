// The monitor window's commands from its menus, toolbar and tray icon, and
// its closing, which ends the program.
#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QTimer>
#include <vector>

#include "desktop/monitor_form.h"
#include "engine/network_text.h"
#include "options/options_form.h"
#include "ui/about_box.h"

namespace {

using namespace MonitorId;

constexpr const char* kOptionsWindowName = COptionsForm::kWindowName;
constexpr char kAboutTaskName[] = "AboutBox";

}  // namespace

std::vector<QAction*> CMonitorForm::Actions(int id) const {
    std::vector<QAction*> found;
    const auto [first, last] = actions_.equal_range(id);
    for (auto it = first; it != last; ++it) found.push_back(it->second);
    return found;
}

QAction* CMonitorForm::TopMenu(int position) const {
    if (position < 0 || static_cast<size_t>(position) >= topMenus_.size()) return nullptr;
    return topMenus_[static_cast<size_t>(position)];
}

bool CMonitorForm::CommandEnabled(int id) const {
    const bool selected = monitor_ && monitor_->SelectedRow() >= 0;
    // Remove and the connection commands act on the selected concentrator.
    switch (id) {
        case kToolbarRemove:
        case kMenuRemove:
        case kConnectionMenuRemove:
        case kToolbarConnect:
        case kMenuCreateConnection:
        case kConnectionCreate:
        case kConnectionMenuCreate:
            return selected;
        default:
            return true;
    }
}

void CMonitorForm::UpdateCommandStates() {
    for (const auto& [id, action] : actions_) action->setEnabled(CommandEnabled(id));
}

void CMonitorForm::OnCommand(int id) {
    if (!CommandEnabled(id) || closed_) return;
    switch (id) {
        case kToolbarRediscover:
        case kMenuRediscover:
            monitor_->Rediscover();
            break;
        case kToolbarRemove:
        case kConnectionMenuRemove:
        case kMenuRemove:
            monitor_->RemoveSelected();
            break;
        case kTraySettings:
        case kMenuSettings:
            OpenSettings();
            break;
        case kTrayAbout:
        case kMenuAbout:
            OpenAbout();
            break;
        case kTrayExit:
        case kMenuExit:
            close();
            break;
        case kTrayRestore:
            BringForward();
            break;
        case kConnectionCreate:
        case kConnectionMenuCreate:
        case kMenuCreateConnection:
            CreateNewConnection();
            break;
        case kToolbarConnect:
            Connect(ConnectMenuPosition());
            break;
        default:
            if (id >= kFirstDialEntry && id <= kLastDialEntry) DialEntry(id);
            break;
    }
    UpdateCommandStates();
}

void CMonitorForm::OpenSettings() {
    KtTaskRegistry& registry = KtTaskRegistry::Get();
    if (QWidget* options = registry.FindNamedWindow(kOptionsWindowName)) {
        options->showNormal();
        options->raise();
        options->activateWindow();
        return;
    }
    // The program's own options window over the live settings; OK commits
    // to them, and the persistence applies and saves.
    const AdapterEntry* adapter = CurrentAdapterEntry();
    const std::string adapterMac = adapter != nullptr ? FormatMacText(adapter->mac) : "";
    OpenOptionsForm(persistence_.Properties(), {.dialogs = nullptr, .adapterMacText = adapterMac});
}

void CMonitorForm::OpenAbout() {
    KtTaskRegistry::Get().FindOrCreate<KtTaskAbout>(kAboutTaskName)->Show();
}

void CMonitorForm::BringForward() {
    if (isMinimized() || isHidden()) showNormal();
    raise();
    activateWindow();
}

void CMonitorForm::OnTrayClicked() {
    if (closed_) return;
    monitor_->StopWaitingSound();
    if (isVisible() && !isMinimized())
        hide();
    else
        BringForward();
}

void CMonitorForm::changeEvent(QEvent* event) {
    KtFormBase::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || closed_ || !isMinimized()) return;
    // A minimised window lives on as the tray icon. Without a tray (plain
    // GNOME, or the tray host gone) it stays minimised, so that the task bar
    // and a second start can still bring it back. Hidden once the state
    // change is through, which the window manager may still be handling.
    if (tray_ == nullptr || !tray_->IsAvailable()) return;
    QTimer::singleShot(0, this, [this] {
        if (isMinimized() && tray_->IsAvailable()) hide();
    });
}

void CMonitorForm::CloseOtherWindows() {
    KtTaskRegistry& registry = KtTaskRegistry::Get();
    // Named windows (the options window) first, then every other task.
    while (QWidget* options = registry.FindNamedWindow(kOptionsWindowName)) {
        registry.UnregisterNamedWindow(options);
        options->close();
    }
    std::vector<KtCoreTask*> others;
    for (KtCoreTask* task : registry.Tasks())
        if (task != OwnerTask()) others.push_back(task);
    for (auto it = others.rbegin(); it != others.rend(); ++it) registry.CloseTask(*it);
}

void CMonitorForm::closeEvent(QCloseEvent* event) {
    if (closed_) {
        KtFormBase::closeEvent(event);
        return;
    }
    closed_ = true;
    statusTimer_->stop();
    CloseOtherWindows();
    // Stops monitoring, closes the capture, clears the list, forgets the
    // adapters and closes the general log; the engines stop before the tray
    // icon goes.
    monitor_->Close();
    if (sound_) sound_->Stop();
    if (tray_ != nullptr) tray_->Hide();
    KtFormBase::closeEvent(event);
    // As the main window, its close ends the program.
    if (KtTaskRegistry::Get().MainWindow() == this) QCoreApplication::quit();
}
