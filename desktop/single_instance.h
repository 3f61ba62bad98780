#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>

class QLocalServer;

// One running instance per user: the first start holds an flock on a file in
// the user's runtime folder (released by the kernel however the process
// ends, so a crash leaves nothing stale) and listens on a local socket
// beside it; a later start finds the lock taken and asks the first, over
// the socket, to bring its window forward.
class KtSingleInstance : public QObject {
    Q_OBJECT

  public:
    // The runtime folder: $XDG_RUNTIME_DIR, or Qt's per-user fallback.
    static QString DefaultFolder();

    explicit KtSingleInstance(QString folder, QObject* parent = nullptr);
    ~KtSingleInstance() override;

    // Takes the lock and starts listening. False when another instance holds
    // it (or the lock file cannot be opened: then the error says why).
    bool Acquire();
    // Another instance runs: sends it the activation token (for Wayland's
    // activation or the X startup id, empty when there is none) and returns
    // whether the request was delivered.
    bool AskRunningInstanceForward(const QByteArray& activationToken);
    // What the first instance does when asked, with the token received.
    void SetForwardHandler(std::function<void(const QByteArray& token)> handler) {
        forwardHandler_ = std::move(handler);
    }

    QString LockPath() const;
    QString SocketPath() const;
    const QString& Error() const { return error_; }

  private:
    void AcceptRequests();

    QString folder_;
    int lockFd_ = -1;
    QLocalServer* server_ = nullptr;
    std::function<void(const QByteArray&)> forwardHandler_;
    QString error_;
};

// The token a launcher gave this process for raising a window:
// XDG_ACTIVATION_TOKEN (Wayland), else DESKTOP_STARTUP_ID (X11).
QByteArray ActivationTokenFromEnvironment();
// Hands a token received from another start to the windowing system: it is
// put where the platform reads it when the window is next activated.
void UseActivationToken(const QByteArray& token);
// Takes it away again once the window was activated, so that programs this
// one starts later do not inherit a used token.
void ForgetActivationToken();
