#pragma once

#include <QObject>
#include <string_view>

#include "engine/monitor_view.h"

// Command ids of the tray menu's items; they arrive at the window as its own
// commands.
constexpr int kCmdTrayRestore = 116;
constexpr int kCmdTrayAbout = 118;
constexpr int kCmdTrayExit = 119;
constexpr int kCmdTrayChangeSettings = 120;

// The tooltip of the tray icon; a product name, never translated.
constexpr std::string_view kTrayToolTip = "Line Watchman";

// The monitor window's icon in the notification area: the normal (green) or
// alarm (orange) picture, a tooltip and the tray menu. The window owns one
// and connects to its signals.
class TrayIcon : public QObject {
    Q_OBJECT

  public:
    using QObject::QObject;

    // False where the desktop has no tray (plain GNOME): the window must then
    // never hide itself out of reach.
    virtual bool IsAvailable() const = 0;
    virtual void Show() = 0;
    virtual void Hide() = 0;
    // Normal icon when up, else the alarm icon.
    virtual void SetState(bool up) = 0;
    // A tray balloon; only the notifier's fallback uses it.
    virtual void ShowMessage(std::string_view title, BalloonIcon icon, std::string_view text) = 0;

  signals:
    // A left click on the icon.
    void Clicked();
    // An item of the tray menu was chosen (kCmdTray...).
    void CommandChosen(int id);
};
