#include "ui/linewatch_app.h"

#include <dlfcn.h>

#include <QApplication>
#include <QMessageBox>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/debug_output.h"
#include "engine/capture_permission.h"
#include "ui/monitor_form.h"
#include "ui/single_instance.h"
#include "ui/task_registry.h"

namespace {

constexpr char kCaptureMissingText[] =
    "libpcap not installed. Please install libpcap and try again.";
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

CLinewatchApp::Environment DesktopEnvironment() {
    CLinewatchApp::Environment environment;
    environment.showError = [](const QString& caption, const QString& text) {
        QMessageBox::critical(nullptr, caption, text);
    };
    environment.startMainWindow = []() -> QWidget* {
        auto* task = KtTaskRegistry::Get().FindOrCreate<KtTaskMonitorForm>(kMonitorTaskName);
        return task->MonitorForm();
    };
    environment.bringForward = [](QWidget* window) {
        if (auto* form = qobject_cast<CMonitorForm*>(window)) form->BringForward();
    };
    return environment;
}

}  // namespace

CLinewatchApp::CLinewatchApp() : CLinewatchApp(DesktopEnvironment()) {}

CLinewatchApp::CLinewatchApp(Environment environment) : environment_(std::move(environment)) {}

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
    QWidget* window = environment_.startMainWindow();
    window->showNormal();
    window->raise();
    KtTaskRegistry::Get().SetMainWindow(window);
    mainWindow_ = window;
    return true;
}

int CLinewatchApp::Run() {
    if (!InitInstance()) return exitCode_;
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
    if (environment_.showError) environment_.showError(QString::fromLatin1(caption), text);
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
            if (environment_.bringForward) environment_.bringForward(mainWindow_);
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
