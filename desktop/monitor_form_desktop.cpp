// The monitor window's desktop parts (tray icon, notifications, sounds) and
// the desktop's own implementations of the window's seams: the real dialogs
// and menus of the connection commands, and the machine's adapters.
#include <QAction>
#include <QMenu>

#include "connections/ui/connection_actions.h"
#include "connections/ui/dial_dialog.h"
#include "connections/ui/isp_name_dlg.h"
#include "connections/ui/message_boxes.h"
#include "desktop/monitor_form.h"
#include "ui/dbus_notifier.h"
#include "ui/sound_effect_player.h"
#include "ui/system_tray_icon.h"

namespace {

class QtConnectionUi final : public MonitorConnectionUi {
  public:
    bool AskName(QWidget* parent, const std::string& base, std::string& name) override {
        return AskConnectionName(DesktopMessageBoxes(), parent, base, name);
    }
    bool Create(QWidget* parent, const std::string& acName, const std::string& name,
                const std::string& interface) override {
        return CreateConnectionOrTell(DesktopMessageBoxes(), parent, acName, name, interface);
    }
    void Dial(QWidget* parent, const std::string& name) override { DialConnection(parent, name); }
    void TellUnreadable(QWidget* parent) override {
        TellPeersFolderUnreadable(DesktopMessageBoxes(), parent);
    }
    int Popup(QMenu& menu, const QPoint& position) override {
        const QAction* chosen = menu.exec(position);
        return chosen != nullptr ? chosen->data().toInt() : 0;
    }
};

class SystemDesktopParts final : public MonitorDesktopParts {
  public:
    TrayIcon* MakeTrayIcon(QObject* parent) override { return new SystemTrayIcon(parent); }
    std::unique_ptr<DesktopNotifier> MakeNotifier(TrayIcon* fallback) override {
        return std::make_unique<DBusNotifier>(fallback);
    }
    std::unique_ptr<SoundPlayer> MakeSoundPlayer() override {
        return std::make_unique<SoundEffectPlayer>();
    }
};

class EthernetAdapters final : public AdapterLister {
  public:
    std::vector<AdapterEntry> ListAdapters() override { return ListEthernetAdapters(); }
};

}  // namespace

MonitorConnectionUi& DesktopConnectionUi() {
    static QtConnectionUi ui;
    return ui;
}

MonitorDesktopParts& DesktopParts() {
    static SystemDesktopParts parts;
    return parts;
}

AdapterLister& MachineAdapters() {
    static EthernetAdapters adapters;
    return adapters;
}

void CMonitorForm::CreateDesktopParts(const MonitorFormSetup& setup) {
    MonitorDesktopParts& parts =
        setup.desktopParts != nullptr ? *setup.desktopParts : DesktopParts();
    tray_ = parts.MakeTrayIcon(this);
    if (tray_ != nullptr) {
        connect(tray_, &TrayIcon::Clicked, this, &CMonitorForm::OnTrayClicked);
        connect(tray_, &TrayIcon::CommandChosen, this, &CMonitorForm::OnCommand);
        // Shown even while no tray runs: Qt embeds it when a tray appears,
        // and again after the tray host restarts.
        tray_->Show();
    }
    notifier_ = parts.MakeNotifier(tray_);
    sound_ = parts.MakeSoundPlayer();
    connectionUi_ = setup.connections != nullptr ? setup.connections : &DesktopConnectionUi();
}
