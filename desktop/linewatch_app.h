#pragma once

#include <QString>
#include <memory>
#include <string>

class QWidget;
class KtSingleInstance;

// What start-up asks of the desktop; tests put their own in.
class StartUpDesktop {
  public:
    virtual ~StartUpDesktop() = default;
    // Shows an error box with no owner.
    virtual void ShowError(const QString& caption, const QString& text) = 0;
    // Creates the monitor window (through its task) and returns it.
    virtual QWidget* StartMainWindow() = 0;
    // Brings the main window forward when another start asks.
    virtual void BringForward(QWidget* window) = 0;
};

// The desktop's error box and monitor window.
StartUpDesktop& DesktopStartUp();

// The program's start-up: the capture-library check, the single-instance
// check, then the monitor window as the application's main window. It owns
// no state besides the instance lock, which it keeps for the whole run.
// Runs on the GUI thread after the QApplication exists.
class CLinewatchApp {
  public:
    // The runtime file of the capture library, checked before anything else.
    static constexpr const char* kCaptureLibrary = "libpcap.so.0.8";
    static constexpr int kExitOk = 0;
    static constexpr int kExitCaptureLibraryMissing = 1;

    // What start-up uses from the system; tests put their own in.
    struct Environment {
        std::string captureLibrary = kCaptureLibrary;
        // Folder of the instance lock and socket; the user's runtime folder
        // when empty.
        QString runtimeFolder;
        // The desktop's own when null; one given must outlive the start-up.
        StartUpDesktop* desktop = nullptr;
    };

    CLinewatchApp();
    explicit CLinewatchApp(Environment environment);
    ~CLinewatchApp();
    CLinewatchApp(const CLinewatchApp&) = delete;
    CLinewatchApp& operator=(const CLinewatchApp&) = delete;

    // The start-up steps in order. True when the main window is up and the
    // event loop is to run; false when the process ends with ExitCode().
    bool InitInstance();
    int ExitCode() const { return exitCode_; }
    QWidget* MainWindow() const { return mainWindow_; }

    // InitInstance, then the event loop: the process's exit status.
    int Run();

  private:
    bool CaptureLibraryLoads();
    bool IsOnlyInstance();

    Environment environment_;
    StartUpDesktop& desktop_;
    std::unique_ptr<KtSingleInstance> instance_;
    QWidget* mainWindow_ = nullptr;
    int exitCode_ = kExitOk;
};
