#include "desktop/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>

namespace {

constexpr char kLockName[] = "linewatch.lock";
constexpr char kSocketName[] = "linewatch.socket";
constexpr char kForwardRequest[] = "forward ";
constexpr int kConnectTimeoutMs = 2000;
// A request is one short line; anything longer is not ours.
constexpr qint64 kMaxRequest = 4096;

}  // namespace

QString KtSingleInstance::DefaultFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

KtSingleInstance::KtSingleInstance(QString folder, QObject* parent)
    : QObject(parent), folder_(std::move(folder)) {}

KtSingleInstance::~KtSingleInstance() {
    if (server_ != nullptr) server_->close();
    if (lockFd_ >= 0) close(lockFd_);
}

QString KtSingleInstance::LockPath() const {
    return QDir(folder_).filePath(QString::fromLatin1(kLockName));
}

QString KtSingleInstance::SocketPath() const {
    return QDir(folder_).filePath(QString::fromLatin1(kSocketName));
}

bool KtSingleInstance::Acquire() {
    if (folder_.isEmpty()) {
        error_ = QStringLiteral("no runtime folder");
        return false;
    }
    const QByteArray lockPath = QFile::encodeName(LockPath());
    lockFd_ = open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        error_ = QStringLiteral("cannot open %1: %2")
                     .arg(LockPath(), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        close(lockFd_);
        lockFd_ = -1;
        return false;
    }
    // Holding the lock, a socket left by a crashed instance is ours to replace.
    QLocalServer::removeServer(SocketPath());
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(SocketPath())) {
        // Still the one instance; only a later start cannot reach it.
        error_ = server_->errorString();
        return true;
    }
    connect(server_, &QLocalServer::newConnection, this, &KtSingleInstance::AcceptRequests);
    return true;
}

void KtSingleInstance::AcceptRequests() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto handle = [this, socket] {
            if (socket->bytesAvailable() > kMaxRequest) {
                socket->abort();
                return;
            }
            if (!socket->canReadLine()) return;
            const QByteArray line = socket->readLine(kMaxRequest).trimmed();
            socket->disconnectFromServer();
            if (!line.startsWith(QByteArray(kForwardRequest).trimmed())) return;
            const QByteArray token = line.mid(static_cast<qsizetype>(std::strlen(kForwardRequest)));
            if (forwardHandler_) forwardHandler_(token.trimmed());
        };
        connect(socket, &QLocalSocket::readyRead, this, handle);
        if (socket->bytesAvailable() > 0) handle();
    }
}

bool KtSingleInstance::AskRunningInstanceForward(const QByteArray& activationToken) {
    QLocalSocket socket;
    socket.connectToServer(SocketPath());
    if (!socket.waitForConnected(kConnectTimeoutMs)) {
        error_ = socket.errorString();
        return false;
    }
    // A token is one printable word; anything else is left out.
    QByteArray token;
    for (const char c : activationToken)
        if (c > ' ' && c < 0x7f) token += c;
    socket.write(QByteArray(kForwardRequest) + token + '\n');
    const bool sent = socket.waitForBytesWritten(kConnectTimeoutMs);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(100);
    if (!sent) error_ = socket.errorString();
    return sent;
}

QByteArray ActivationTokenFromEnvironment() {
    QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN");
    if (token.isEmpty()) token = qgetenv("DESKTOP_STARTUP_ID");
    return token;
}

void UseActivationToken(const QByteArray& token) {
    if (token.isEmpty()) return;
    // Qt's Wayland platform takes XDG_ACTIVATION_TOKEN when it next activates
    // a window; X11 window managers read the startup id.
    qputenv("XDG_ACTIVATION_TOKEN", token);
    qputenv("DESKTOP_STARTUP_ID", token);
}

void ForgetActivationToken() {
    qunsetenv("XDG_ACTIVATION_TOKEN");
    qunsetenv("DESKTOP_STARTUP_ID");
}
