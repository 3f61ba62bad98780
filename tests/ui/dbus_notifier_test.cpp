#include "ui/dbus_notifier.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "ui/tray_icon.h"
#include "ui_test_support.h"

namespace {

// The tray balloon, recorded: the notifier's fallback.
class RecordingTrayIcon final : public TrayIcon {
  public:
    bool IsAvailable() const override { return true; }
    void Show() override {}
    void Hide() override {}
    void SetState(bool) override {}
    void ShowMessage(std::string_view title, BalloonIcon icon, std::string_view text) override {
        messages.push_back(std::string(title) + "|" + std::to_string(static_cast<int>(icon)) + "|" +
                           std::string(text));
    }
    std::vector<std::string> messages;
};

TEST(NotificationText, UrgencyFollowsTheIconAndMarkupIsEscaped) {
    EXPECT_EQ(NotificationUrgency(BalloonIcon::kInformation), 0);
    EXPECT_EQ(NotificationUrgency(BalloonIcon::kWarning), 1);
    EXPECT_EQ(NotificationUrgency(BalloonIcon::kError), 2);
    EXPECT_EQ(EscapeNotificationBody("00:1B:21:0A:4C:5E <b>x</b> & \"y\" 'z' &amp;"),
              "00:1B:21:0A:4C:5E &lt;b&gt;x&lt;/b&gt; &amp; \"y\" 'z' &amp;amp;");
}

// A session bus of our own on which no notification service runs (and none
// can be started): every notice goes to the tray balloon, unescaped, as it
// is plain text there.
TEST(DBusNotifierFallback, WithoutANotificationServiceTheTrayBalloonShowsTheNotice) {
    TempFolder folder;
    const std::string config = folder.Path() + "/bus.conf";
    std::ofstream(config) << "<busconfig><type>session</type><listen>unix:dir=" << folder.Path()
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                             "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    FILE* bus = popen(
        ("dbus-daemon --config-file=" + config + " --print-address=1 --print-pid=1 --fork").c_str(),
        "r");
    ASSERT_NE(bus, nullptr);
    char address[512] = {};
    char pid[32] = {};
    const bool started =
        std::fgets(address, sizeof address, bus) && std::fgets(pid, sizeof pid, bus);
    pclose(bus);
    if (!started) GTEST_SKIP() << "dbus-daemon cannot start here";
    std::string busAddress(address);
    busAddress.erase(busAddress.find_last_not_of('\n') + 1);

    TestApplication();
    const QDBusConnection connection =
        QDBusConnection::connectToBus(QString::fromStdString(busAddress), "lw-test-bus");
    ASSERT_TRUE(connection.isConnected());
    RecordingTrayIcon tray;
    {
        DBusNotifier notifier(&tray, connection);
        std::vector<bool> delivered;
        QObject::connect(&notifier, &DBusNotifier::Delivered,
                         [&](bool toServer) { delivered.push_back(toServer); });
        notifier.Notify("AC NEW:", BalloonIcon::kWarning, "02:4C:57:00:0A:01 <b>x</b> & y");
        notifier.Notify("Error:", BalloonIcon::kError, "stopped");
        QElapsedTimer timer;
        timer.start();
        while (delivered.size() < 2 && timer.elapsed() < 30000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        EXPECT_EQ(delivered, (std::vector<bool>{false, false}));
        EXPECT_EQ(notifier.LastId(), 0u);
    }
    EXPECT_EQ(tray.messages, (std::vector<std::string>{"AC NEW:|2|02:4C:57:00:0A:01 <b>x</b> & y",
                                                       "Error:|3|stopped"}));
    QDBusConnection::disconnectFromBus("lw-test-bus");
    // The bus removes its socket as it ends: wait for that before the
    // folder goes.
    const pid_t busPid = std::atoi(pid);
    kill(busPid, SIGTERM);
    while (kill(busPid, 0) == 0) QThread::msleep(10);
}

}  // namespace
