// The tray icon, notifier and sound player on real desktop parts: run inside
// tests/desktop/desktop_lab.sh (ctest does), they skip anywhere else.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"
#include "ui/dbus_notifier.h"
#include "ui/sine_wave.h"
#include "ui/sound_effect_player.h"
#include "ui/system_tray_icon.h"
#include "text/text_table.h"

namespace {

// A guard against hangs only: every wait ends as soon as its condition holds.
constexpr int kHangGuardMs = 30000;

std::string LabState() {
    const char* state = std::getenv("LW_DESKTOP_LAB_STATE");
    return state ? state : "";
}

QApplication& App() {
    static int argc = 1;
    static char name[] = "desktop_parts_test";
    static char* argv[] = {name, nullptr};
    static QApplication* const app = [] {
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        auto* created = new QApplication(argc, argv);
        LoadInterfaceTexts(KtTextTable::Instance(), "");
        return created;
    }();
    return *app;
}

// Processes events until the condition holds.
bool WaitFor(const std::function<bool()>& condition) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > kHangGuardMs) return false;
        App().processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return true;
}

// Standard output of a shell command.
std::string Shell(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
    return output;
}

std::string ArtifactPath(const std::string& name) {
    std::filesystem::create_directories(LW_ARTIFACTS_DIR);
    return std::string(LW_ARTIFACTS_DIR) + "/" + name;
}

// The id (decimal) of this process's window that sits inside the tray, or
// empty.
std::string OurTrayWindow() {
    const std::string panel = Shell(
        "xwininfo -root -tree | awk '/\"panel\": \\(\"panel\" \"trayer\"\\)/ {print $1; exit}'");
    if (panel.empty()) return {};
    const std::string tree = Shell("xwininfo -tree -id " + panel);
    const std::string ours = Shell("xdotool search --pid " + std::to_string(getpid()));
    size_t start = 0;
    while (start < ours.size()) {
        size_t end = ours.find('\n', start);
        if (end == std::string::npos) end = ours.size();
        const std::string id = ours.substr(start, end - start);
        start = end + 1;
        if (id.empty()) continue;
        char hex[32];
        std::snprintf(hex, sizeof hex, "0x%lx ", std::stoul(id));
        if (tree.find(hex) != std::string::npos) return id;
    }
    return {};
}

// Pixels of the window that are clearly green.
int GreenPixels(const std::string& window) {
    if (window.empty()) return 0;
    return std::atoi(Shell("import -window " + window +
                           " -depth 8 txt:- 2>/dev/null | awk -F'[(),]' 'NR > 1 && $4 > $3 + 40 "
                           "&& $4 > $5 + 40 {n++} END {print n + 0}'")
                         .c_str());
}

class DesktopLab : public ::testing::Test {
  protected:
    void SetUp() override {
        if (LabState().empty())
            GTEST_SKIP() << "not inside the desktop lab (run tests/desktop/desktop_lab.sh run -- "
                            "this program)";
        App();
    }
    std::string LabScript() const { return std::getenv("LW_DESKTOP_LAB_SCRIPT"); }
};

TEST_F(DesktopLab, TrayIconEmbedsInTheTrayAndComesBackAfterTheTrayRestarts) {
    SystemTrayIcon tray;
    ASSERT_TRUE(tray.IsAvailable());
    tray.Show();
    tray.SetState(true);
    EXPECT_TRUE(WaitFor([] { return !OurTrayWindow().empty(); })) << Shell("xwininfo -root -tree");
    // The tray shows the green picture of the normal state.
    EXPECT_TRUE(WaitFor([] { return GreenPixels(OurTrayWindow()) > 20; }))
        << GreenPixels(OurTrayWindow());
    EXPECT_EQ(std::system(("import -window root " + ArtifactPath("tray.png")).c_str()), 0);

    // The menu in its order, Restore the bold default item.
    QStringList items;
    for (const QAction* action : tray.Menu().actions())
        items << (action->isSeparator() ? QString("-") : action->text());
    EXPECT_EQ(items.join('|').toStdString(), "Restore|-|Change settings...|-|About|-|Exit");
    EXPECT_EQ(tray.Menu().defaultAction(), tray.Menu().actions().first());
    EXPECT_TRUE(tray.Menu().defaultAction()->font().bold());
    QSignalSpy chosen(&tray, &TrayIcon::CommandChosen);
    tray.Menu().actions().last()->trigger();
    ASSERT_EQ(chosen.count(), 1);
    EXPECT_EQ(chosen.first().first().toInt(), kCmdTrayExit);

    // A left click on the icon reports a click.
    QSignalSpy clicked(&tray, &TrayIcon::Clicked);
    const std::string window = OurTrayWindow();
    ASSERT_FALSE(window.empty());
    EXPECT_EQ(std::system(("xdotool mousemove --window " + window + " 5 5 click 1").c_str()), 0);
    EXPECT_TRUE(WaitFor([&] { return clicked.count() > 0; }));

    // The tray host goes away: no tray; it comes back: the icon is in it again.
    ASSERT_EQ(std::system((LabScript() + " tray-stop").c_str()), 0);
    EXPECT_TRUE(WaitFor([&] { return !tray.IsAvailable(); }));
    ASSERT_EQ(std::system((LabScript() + " tray-start").c_str()), 0);
    EXPECT_TRUE(WaitFor([&] { return tray.IsAvailable(); }));
    EXPECT_TRUE(WaitFor([] { return GreenPixels(OurTrayWindow()) > 20; }))
        << Shell("xwininfo -root -tree");
}

// What dunst received, one "summary|body|urgency" line per notification
// (oldest first), after closing the displayed ones into its history. The
// lab's dunstrc puts the urgency dunst read into the shown message.
std::vector<std::string> DunstHistory() {
    EXPECT_EQ(std::system("dunstctl close-all"), 0);
    const std::string lines =
        Shell("dunstctl history | python3 " LW_DESKTOP_DIR "/dunst_history.py");
    std::vector<std::string> result;
    size_t start = 0;
    while (start < lines.size()) {
        const size_t end = lines.find('\n', start);
        result.push_back(lines.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return result;
}

int DunstDisplayed() {
    return std::atoi(Shell("dunstctl count displayed").c_str());
}

TEST_F(DesktopLab, NotificationsReachTheServerOneAtATime) {
    const size_t earlier = DunstHistory().size();
    DBusNotifier notifier(nullptr);
    QSignalSpy delivered(&notifier, &DBusNotifier::Delivered);
    notifier.Notify("AC NEW:", BalloonIcon::kWarning, "02:4C:57:00:0A:01 <b>Lab</b> & Co");
    ASSERT_TRUE(WaitFor([&] { return delivered.count() == 1; }));
    EXPECT_TRUE(delivered.last().first().toBool());  // the server took it
    const uint32_t first = notifier.LastId();
    EXPECT_EQ(DunstDisplayed(), 1);
    EXPECT_EQ(std::system(("import -window root " + ArtifactPath("notification.png")).c_str()), 0);

    // Each later notice replaces the one showing, also when several are
    // sent before the server answered the first of them.
    notifier.Notify("AC UP:", BalloonIcon::kInformation, "02:4C:57:00:0A:01 LabAC-One");
    ASSERT_TRUE(WaitFor([&] { return delivered.count() == 2; }));
    EXPECT_EQ(DunstDisplayed(), 1);
    EXPECT_EQ(notifier.LastId(), first);
    for (const char* text : {"one", "two", "three"})
        notifier.Notify("AC DOWN:", BalloonIcon::kWarning, text);
    // "two" was superseded while "one" was under way and is never sent.
    ASSERT_TRUE(WaitFor([&] { return delivered.count() == 4; }));
    EXPECT_EQ(DunstDisplayed(), 1);
    EXPECT_EQ(notifier.LastId(), first);

    const std::vector<std::string> history = DunstHistory();
    EXPECT_EQ(std::vector<std::string>(history.begin() + static_cast<long>(earlier), history.end()),
              (std::vector<std::string>{"AC DOWN:|three|NORMAL"}));
}

TEST_F(DesktopLab, NotificationsCarryExactTextsUrgencyAndEscapedMarkup) {
    DBusNotifier notifier(nullptr);
    QSignalSpy delivered(&notifier, &DBusNotifier::Delivered);
    std::vector<std::string> seen;
    for (const auto& [title, icon, text] :
         std::vector<std::tuple<std::string, BalloonIcon, std::string>>{
             {"INFO:", BalloonIcon::kInformation, "Network cable is connected"},
             {"AC NEW:", BalloonIcon::kWarning, "02:4C:57:00:0A:01 <b>Lab</b> & Co"},
             {"Error:", BalloonIcon::kError,
              "This Ethernet Adapter is unavailable. Line Watchman is stopped"}}) {
        const auto before = delivered.count();
        notifier.Notify(title, icon, text);
        ASSERT_TRUE(WaitFor([&] { return delivered.count() > before; }));
        // Closed one by one, so that each reaches the history.
        const std::vector<std::string> history = DunstHistory();
        ASSERT_FALSE(history.empty());
        seen.push_back(history.back());
    }
    EXPECT_EQ(
        seen,
        (std::vector<std::string>{
            "INFO:|Network cable is connected|LOW",
            "AC NEW:|02:4C:57:00:0A:01 &lt;b&gt;Lab&lt;/b&gt; &amp; Co|NORMAL",
            "Error:|This Ethernet Adapter is unavailable. Line Watchman is stopped|CRITICAL"}));
}

// Records the null sink's monitor (16-bit stereo at 44.1 kHz) into a file.
class Recorder {
  public:
    explicit Recorder(std::string path) : path_(std::move(path)) {
        pid_ = std::atoi(Shell("parec -d " + std::string(std::getenv("LW_DESKTOP_LAB_SINK")) +
                               ".monitor --raw --format=s16le --rate=44100 --channels=2 "
                               "--latency-msec=20 > " +
                               path_ + " 2>/dev/null & echo $!")
                             .c_str());
    }
    ~Recorder() {
        if (pid_ > 0) kill(pid_, SIGTERM);
    }
    // Peak of the samples recorded in [from, to) seconds; to < 0: to the end.
    int Peak(double from, double to = -1) const {
        const std::string data = ReadFile(path_);
        const size_t bytesPerSecond = 44100 * 4;
        size_t begin = static_cast<size_t>(from * bytesPerSecond) & ~size_t{3};
        size_t end = to < 0 ? data.size() : static_cast<size_t>(to * bytesPerSecond) & ~size_t{3};
        end = std::min(end, data.size() & ~size_t{3});
        int peak = 0;
        for (size_t i = begin; i + 1 < end; i += 2) {
            const auto sample = static_cast<int16_t>(static_cast<uint8_t>(data[i]) |
                                                     (static_cast<uint8_t>(data[i + 1]) << 8));
            peak = std::max(peak, std::abs(static_cast<int>(sample)));
        }
        return peak;
    }
    double Seconds() const {
        return static_cast<double>(std::filesystem::file_size(path_)) / (44100 * 4);
    }

  private:
    std::string path_;
    int pid_ = 0;
};

TEST_F(DesktopLab, SoundsPlayOnceOrLoopUntilStoppedAndBadFilesAreSilence) {
    TempFolder folder;
    const std::string wave = folder.Path() + "/sine.wav";
    constexpr double kAmplitude = 0.5;
    const int full = static_cast<int>(kAmplitude * 32767);
    WriteSineWave(wave, 0.3, kAmplitude);
    SoundEffectPlayer player;

    {
        Recorder recorder(folder.Path() + "/once.raw");
        ASSERT_TRUE(WaitFor([&] { return recorder.Seconds() > 0.1; }));
        player.Play(wave, false);
        ASSERT_TRUE(WaitFor([&] { return recorder.Peak(0) > full * 8 / 10; }))
            << "peak " << recorder.Peak(0);
        EXPECT_LE(recorder.Peak(0), full * 11 / 10);
        ASSERT_TRUE(WaitFor([&] { return !player.IsPlaying(); }));
        // Played once: a second later the sink hears nothing any more.
        const double after = recorder.Seconds() + 0.3;
        ASSERT_TRUE(WaitFor([&] { return recorder.Seconds() > after + 1.0; }));
        EXPECT_EQ(recorder.Peak(after), 0);
    }
    {
        Recorder recorder(folder.Path() + "/loop.raw");
        ASSERT_TRUE(WaitFor([&] { return recorder.Seconds() > 0.1; }));
        player.Play(wave, true);
        ASSERT_TRUE(WaitFor([&] { return recorder.Peak(0) > full * 8 / 10; }));
        // Still playing after several lengths of the file.
        const double later = recorder.Seconds() + 1.0;
        ASSERT_TRUE(WaitFor([&] { return recorder.Seconds() > later + 0.3; }));
        EXPECT_GT(recorder.Peak(later), full * 8 / 10);
        EXPECT_TRUE(player.IsPlaying());
        player.Stop();
        const double stopped = recorder.Seconds() + 0.3;
        ASSERT_TRUE(WaitFor([&] { return recorder.Seconds() > stopped + 0.5; }));
        EXPECT_EQ(recorder.Peak(stopped), 0);

        // A missing file and a file that is no wave: silence, and the loop
        // started before them stops.
        player.Play(wave, true);
        ASSERT_TRUE(WaitFor([&] { return player.IsPlaying(); }));
        player.Play(folder.Path() + "/missing.wav", false);
        EXPECT_FALSE(player.IsPlaying());
        const std::string junk = folder.Path() + "/junk.wav";
        std::ofstream(junk) << "not a wave";
        testing::internal::CaptureStderr();
        player.Play(junk, false);
        const double quiet = recorder.Seconds() + 0.3;
        ASSERT_TRUE(WaitFor([&] { return recorder.Seconds() > quiet + 0.5; }));
        EXPECT_EQ(recorder.Peak(quiet), 0);
        const std::string debug = testing::internal::GetCapturedStderr();
        EXPECT_NE(debug.find("Sound: cannot play \"" + junk + "\""), std::string::npos) << debug;
    }
}

}  // namespace
