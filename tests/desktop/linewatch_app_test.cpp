#include "desktop/linewatch_app.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <filesystem>

#include "desktop/single_instance.h"
#include "monitor_form_harness.h"

namespace {

struct ShownError {
    QString caption;
    QString text;
};

// Start-up with a monitor window over a test engine (no adapter) and the
// instance lock in a folder of the test's own.
class StartUp final : public StartUpDesktop {
  public:
    StartUp(const std::string& runtimeFolder, std::vector<ShownError>& errors,
            std::string library = CLinewatchApp::kCaptureLibrary)
        : errors_(errors) {
        CLinewatchApp::Environment environment;
        environment.captureLibrary = std::move(library);
        environment.runtimeFolder = QString::fromStdString(runtimeFolder);
        environment.desktop = this;
        app = std::make_unique<CLinewatchApp>(std::move(environment));
    }
    ~StartUp() override {
        app.reset();
        delete form;
        KtTaskRegistry::Get().SetMainWindow(nullptr);
    }

    void ShowError(const QString& caption, const QString& text) override {
        errors_.push_back({caption, text});
    }
    QWidget* StartMainWindow() override {
        std::ofstream(programFolder.File("linewatch.ini")) << "[Options]\n";
        MonitorFormSetup setup;
        setup.programFolder = programFolder.Path();
        setup.adapters = &noAdapters_;
        form = new CMonitorForm(setup);
        return form;
    }
    void BringForward(QWidget*) override {
        ++forwardRequests;
        tokenWhenBroughtForward = qgetenv("XDG_ACTIVATION_TOKEN");
        form->BringForward();
    }

    TempFolder programFolder{"lwapp"};
    QPointer<CMonitorForm> form;
    int forwardRequests = 0;
    QByteArray tokenWhenBroughtForward;
    std::unique_ptr<CLinewatchApp> app;

  private:
    std::vector<ShownError>& errors_;
    NoAdapters noAdapters_;
};

}  // namespace

TEST(StartUp, MissingCaptureLibraryShowsOneBoxAndEndsWithStatusOne) {
    TestApplication();
    TempFolder runtime("lwrt");
    std::vector<ShownError> errors;
    StartUp start(runtime.Path(), errors, "liblinewatch-missing-capture.so.0");
    EXPECT_FALSE(start.app->InitInstance());
    EXPECT_EQ(start.app->ExitCode(), 1);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].caption, QStringLiteral("Error: %1").arg(ENOENT));
    EXPECT_TRUE(
        errors[0].text.startsWith("libpcap not installed. Please install libpcap and try again."));
    EXPECT_TRUE(errors[0].text.contains("liblinewatch-missing-capture.so.0"));
    // Neither the lock nor a window was made.
    EXPECT_TRUE(start.form.isNull());
    EXPECT_TRUE(std::filesystem::is_empty(runtime.Path()));
}

TEST(StartUp, SecondStartEndsWithStatusZeroAndBringsTheFirstWindowForward) {
    TestApplication();
    TempFolder runtime("lwrt");
    std::vector<ShownError> errors;
    StartUp first(runtime.Path(), errors);
    ASSERT_TRUE(first.app->InitInstance());
    ASSERT_FALSE(first.form.isNull());
    EXPECT_EQ(KtTaskRegistry::Get().MainWindow(), first.form.data());
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
    EXPECT_TRUE(first.form->isVisible());
    first.form->showMinimized();
    ASSERT_TRUE(first.form->isMinimized());

    qputenv("XDG_ACTIVATION_TOKEN", "token-of-the-second-start");
    {
        StartUp second(runtime.Path(), errors);
        EXPECT_FALSE(second.app->InitInstance());
        EXPECT_EQ(second.app->ExitCode(), 0);
        EXPECT_TRUE(second.form.isNull());
    }
    qunsetenv("XDG_ACTIVATION_TOKEN");
    EXPECT_TRUE(errors.empty());

    // The first instance handles the request in its event loop.
    ASSERT_TRUE(ProcessEventsUntil([&] { return first.forwardRequests == 1; }));
    EXPECT_FALSE(first.form->isMinimized());
    EXPECT_TRUE(first.form->isVisible());
    // The second start's token was in place while the window was activated,
    // and is gone afterwards.
    EXPECT_EQ(first.tokenWhenBroughtForward, "token-of-the-second-start");
    EXPECT_FALSE(qEnvironmentVariableIsSet("XDG_ACTIVATION_TOKEN"));
    EXPECT_FALSE(qEnvironmentVariableIsSet("DESKTOP_STARTUP_ID"));

    // Once the first instance ends, the next start is the first again.
    first.app.reset();
    StartUp third(runtime.Path(), errors);
    EXPECT_TRUE(third.app->InitInstance());
    EXPECT_FALSE(third.form.isNull());
}

TEST(SingleInstance, IgnoresARequestThatIsNotOurs) {
    TestApplication();
    TempFolder runtime("lwrt");
    KtSingleInstance first(QString::fromStdString(runtime.Path()));
    ASSERT_TRUE(first.Acquire());
    int requests = 0;
    first.SetForwardHandler([&](const QByteArray&) { ++requests; });
    {
        QLocalSocket stranger;
        stranger.connectToServer(first.SocketPath());
        ASSERT_TRUE(stranger.waitForConnected(5000));
        stranger.write("shutdown now\n");
        stranger.waitForBytesWritten(5000);
    }
    KtSingleInstance second(QString::fromStdString(runtime.Path()));
    EXPECT_FALSE(second.Acquire());
    EXPECT_TRUE(second.AskRunningInstanceForward("a\nforward b"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return requests == 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(requests, 1);
}

#ifdef LW_LINEWATCH
// The start-up check can only report a missing libpcap if the loader does
// not refuse the program first: libpcap must not be among its needed
// libraries, while the capture functions still resolve (from pcap_runtime).
TEST(StartUp, TheProgramDoesNotNeedLibpcapToLoad) {
    FILE* pipe = popen("readelf -d --wide '" LW_LINEWATCH "' 2>&1", "r");
    ASSERT_NE(pipe, nullptr);
    std::string dynamic;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) dynamic += buffer;
    ASSERT_EQ(pclose(pipe), 0) << dynamic;
    EXPECT_NE(dynamic.find("(NEEDED)"), std::string::npos) << dynamic;
    EXPECT_NE(dynamic.find("libQt6Widgets"), std::string::npos);
    EXPECT_EQ(dynamic.find("libpcap"), std::string::npos) << dynamic;
}
#endif
