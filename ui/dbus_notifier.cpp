#include "ui/dbus_notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include "core/debug_output.h"
#include "ui/tray_icon.h"

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr const char* kAppName = "Line Watchman";
// The server's own display time.
constexpr int32_t kServerTimeout = -1;

QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

DBusNotifier::DBusNotifier(TrayIcon* fallback, QDBusConnection bus, QObject* parent)
    : QObject(parent), fallback_(fallback), bus_(std::move(bus)) {}

void DBusNotifier::Notify(std::string_view title, BalloonIcon icon, std::string_view text) {
    Notice notice{FromUtf8(title), icon, FromUtf8(text)};
    if (callPending_) {
        // The id of the notice under way is not known yet: this one waits
        // for it, so that it replaces that notice instead of joining it.
        waiting_ = std::move(notice);
        return;
    }
    Send(notice);
}

void DBusNotifier::Send(const Notice& notice) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    QVariantMap hints;
    hints.insert("urgency", QVariant::fromValue(NotificationUrgency(notice.icon)));
    const std::string body = EscapeNotificationBody(notice.text.toStdString());
    call << QString::fromLatin1(kAppName) << static_cast<uint>(lastId_) << QString() << notice.title
         << QString::fromStdString(body) << QStringList() << hints << kServerTimeout;
    callPending_ = true;
    inFlight_ = notice;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &DBusNotifier::OnReply);
}

void DBusNotifier::OnReply(QDBusPendingCallWatcher* watcher) {
    watcher->deleteLater();
    callPending_ = false;
    const QDBusPendingReply<uint> reply = *watcher;
    if (reply.isError()) {
        DebugOutput("Notifications: " + reply.error().message().toStdString() + "\n");
        if (fallback_ && inFlight_) {
            fallback_->ShowMessage(inFlight_->title.toStdString(), inFlight_->icon,
                                   inFlight_->text.toStdString());
            emit Delivered(false);
        }
    } else {
        lastId_ = reply.value();
        emit Delivered(true);
    }
    inFlight_.reset();
    if (waiting_) {
        const Notice next = *std::move(waiting_);
        waiting_.reset();
        Send(next);
    }
}
