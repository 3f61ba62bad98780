#pragma once

#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

#include "ui/tray_icon.h"

// The tray icon over QSystemTrayIcon. The tray host opens the menu itself
// (setContextMenu); a left click arrives as the Trigger activation. When the
// tray host restarts, Qt registers the icon again.
class SystemTrayIcon final : public TrayIcon {
    Q_OBJECT

  public:
    explicit SystemTrayIcon(QObject* parent = nullptr);
    ~SystemTrayIcon() override;

    bool IsAvailable() const override;
    void Show() override;
    void Hide() override;
    void SetState(bool up) override;
    void ShowMessage(std::string_view title, BalloonIcon icon, std::string_view text) override;

    // The menu, for tests and for the window's update of item states.
    QMenu& Menu() { return menu_; }

  private:
    void OnActivated(QSystemTrayIcon::ActivationReason reason);
    void AddCommand(int id, int textId);

    QMenu menu_;
    QSystemTrayIcon icon_;
    QIcon normal_;
    QIcon alarm_;
};
