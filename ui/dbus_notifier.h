#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <cstdint>
#include <optional>

#include "ui/desktop_notifier.h"

class QDBusPendingCallWatcher;
class TrayIcon;

// Notices through org.freedesktop.Notifications on the session bus. Calls are
// asynchronous (the GUI thread never waits for the server); the id of the
// last notice is passed as replaces_id so that only one shows at a time. A
// notice that arrives while a call is under way waits for its id and is then
// sent in place of any older waiting one. When no notification service
// answers, the tray icon's own balloon shows the notice instead.
class DBusNotifier final : public QObject, public DesktopNotifier {
    Q_OBJECT

  public:
    // fallback may be null (no tray either: the notice is dropped).
    explicit DBusNotifier(TrayIcon* fallback, QDBusConnection bus = QDBusConnection::sessionBus(),
                          QObject* parent = nullptr);

    void Notify(std::string_view title, BalloonIcon icon, std::string_view text) override;

    // Id the server gave the last notice, 0 before the first.
    uint32_t LastId() const { return lastId_; }

  signals:
    // A notice was delivered: to the server (true) or to the fallback.
    void Delivered(bool toServer);

  private:
    struct Notice {
        QString title;
        BalloonIcon icon;
        QString text;
    };
    void Send(const Notice& notice);
    void OnReply(QDBusPendingCallWatcher* watcher);

    TrayIcon* fallback_;
    QDBusConnection bus_;
    uint32_t lastId_ = 0;
    bool callPending_ = false;
    std::optional<Notice> inFlight_;
    std::optional<Notice> waiting_;
};
