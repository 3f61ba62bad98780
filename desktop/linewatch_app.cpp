#include "desktop/linewatch_app.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/debug_output.h"
#include "desktop/monitor_form.h"
#include "desktop/single_instance.h"
#include "engine/capture_permission.h"
#include "ui/task_registry.h"

namespace {

constexpr char kCaptureMissingText[] =
    "libpcap not installed. Please install libpcap and try again.";
// The monitor task shares its name with the about task; the registry tells
// them apart by their type.
constexpr char kMonitorTaskName[] = "AboutBox";

// The system error code behind the loader's text. dlopen reports a text
// ending in the system's description of the error it met ("...: No such file
// or directory"); a library that opens but cannot be loaded (not ELF, wrong
// class) counts as a corrupted shared library.
int LoaderErrorCode(const char* text) {
    if (text != nullptr) {
        const std::string_view reason(text);
        for (int code = 1; code < 256; ++code) {
            const std::string_view description(std::strerror(code));
            if (!description.starts_with("Unknown error") && reason.ends_with(description))
                return code;
        }
    }
    return ELIBBAD;
}

// Ctrl-C in the terminal and SIGTERM close the main window as Exit does, so
// that monitoring stops and the logs are closed. The handler only writes a
// byte; the GUI thread reads it.
int quitSignalPipe[2] = {-1, -1};

void OnQuitSignal(int) {
    const char byte = 1;
    if (write(quitSignalPipe[1], &byte, 1) < 0) {
        // The pipe is full: a close is already on its way.
    }
}

void CloseOnQuitSignals(QWidget* window) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, quitSignalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(quitSignalPipe[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char bytes[16];
        while (read(quitSignalPipe[0], bytes, sizeof bytes) > 0) {
        }
        window->close();
    });
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

class QtStartUpDesktop final : public StartUpDesktop {
  public:
    void ShowError(const QString& caption, const QString& text) override {
        QMessageBox::critical(nullptr, caption, text);
    }
    QWidget* StartMainWindow() override {
        auto* task = KtTaskRegistry::Get().FindOrCreate<KtTaskMonitorForm>(kMonitorTaskName);
        return task->MonitorForm();
    }
    void BringForward(QWidget* window) override {
        if (auto* form = qobject_cast<CMonitorForm*>(window)) form->BringForward();
    }
};

}  // namespace

StartUpDesktop& DesktopStartUp() {
    static QtStartUpDesktop desktop;
    return desktop;
}

CLinewatchApp::CLinewatchApp() : CLinewatchApp(Environment{}) {}

CLinewatchApp::CLinewatchApp(Environment environment)
    : environment_(std::move(environment)),
      desktop_(environment_.desktop != nullptr ? *environment_.desktop : DesktopStartUp()) {}

CLinewatchApp::~CLinewatchApp() = default;

bool CLinewatchApp::InitInstance() {
    exitCode_ = kExitOk;
    if (!CaptureLibraryLoads()) {
        exitCode_ = kExitCaptureLibraryMissing;
        return false;
    }
    if (!IsOnlyInstance()) return false;

    // The capture capability stays permitted but not effective in every
    // thread started from here on.
    LowerCaptureCapability();
    // Closing the last visible window (the about box while the monitor
    // window is hidden) must not end the program: the monitor window's
    // close does.
    QApplication::setQuitOnLastWindowClosed(false);
    QWidget* window = desktop_.StartMainWindow();
    window->showNormal();
    window->raise();
    KtTaskRegistry::Get().SetMainWindow(window);
    mainWindow_ = window;
    return true;
}

int CLinewatchApp::Run() {
    if (!InitInstance()) return exitCode_;
    CloseOnQuitSignals(mainWindow_);
    return QApplication::exec();
}

bool CLinewatchApp::CaptureLibraryLoads() {
    void* library = dlopen(environment_.captureLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr) {
        // Only whether it loads is checked; the capture functions bind on use.
        dlclose(library);
        return true;
    }
    // The caption carries the system error the loader met (ENOENT for a
    // missing file), the box the loader's whole text.
    const char* reason = dlerror();
    const int code = LoaderErrorCode(reason);
    char caption[20];
    std::snprintf(caption, sizeof caption, "Error: %d", code);
    QString text = QString::fromLatin1(kCaptureMissingText);
    if (reason != nullptr) text += QStringLiteral("\n\n") + QString::fromLocal8Bit(reason);
    desktop_.ShowError(QString::fromLatin1(caption), text);
    return false;
}

bool CLinewatchApp::IsOnlyInstance() {
    const QString folder = environment_.runtimeFolder.isEmpty() ? KtSingleInstance::DefaultFolder()
                                                                : environment_.runtimeFolder;
    instance_ = std::make_unique<KtSingleInstance>(folder);
    if (instance_->Acquire()) {
        if (!instance_->Error().isEmpty())
            DebugOutput("Single instance: " + instance_->Error().toStdString() + "\n");
        instance_->SetForwardHandler([this](const QByteArray& token) {
            if (mainWindow_ == nullptr) return;
            UseActivationToken(token);
            desktop_.BringForward(mainWindow_);
            ForgetActivationToken();
        });
        return true;
    }
    if (!instance_->Error().isEmpty()) {
        // No lock could be taken at all: run rather than refuse to start.
        DebugOutput("Single instance: " + instance_->Error().toStdString() + "\n");
        return true;
    }
    // Another instance runs: ask it forward and end; no message is shown.
    if (!instance_->AskRunningInstanceForward(ActivationTokenFromEnvironment()))
        DebugOutput("Single instance: the running instance did not answer: " +
                    instance_->Error().toStdString() + "\n");
    instance_.reset();
    return false;
}
