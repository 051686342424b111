#include "platform/SingleInstance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>

#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int sendTimeoutMs = 2000;
// A callback URL is a few hundred bytes; anything much larger is not one.
constexpr qint64 maxMessageBytes = qint64{64} * 1024;

const QByteArray showMessage = "show\n";
const QByteArray urlPrefix = "url ";

// Only the same user may talk to us, whatever the socket's file permissions say.
bool fromSameUser(const QLocalSocket& socket) {
    struct ucred credentials {};
    socklen_t length = sizeof(credentials);
    const auto descriptor = static_cast<int>(socket.socketDescriptor());
    return ::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
           credentials.uid == ::getuid();
}

} // namespace

SingleInstance::SingleInstance(QObject* parent)
    : QObject(parent) {
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::onConnection);
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::socketPath() {
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir()) {
        return runtime + QStringLiteral("/kestrova-helper.socket");
    }
    return QDir::tempPath() + QStringLiteral("/kestrova-helper-%1.socket").arg(::getuid());
}

bool SingleInstance::claim() {
    // The lock decides who runs; QLockFile sees through a lock left by a crashed process.
    m_lock = std::make_unique<QLockFile>(socketPath() + QStringLiteral(".lock"));
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        m_lock.reset();
        return false;
    }
    QLocalServer::removeServer(socketPath());
    m_server.listen(socketPath());
    return true;
}

bool SingleInstance::requestShow() {
    return send(showMessage);
}

bool SingleInstance::sendUrl(const QUrl& url) {
    return send(urlPrefix + url.toEncoded() + '\n');
}

bool SingleInstance::send(const QByteArray& message) {
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(sendTimeoutMs)) {
        return false;
    }
    socket.write(message);
    const bool written = socket.waitForBytesWritten(sendTimeoutMs);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) {
        socket.waitForDisconnected(sendTimeoutMs);
    }
    return written;
}

void SingleInstance::onConnection() {
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!fromSameUser(*socket)) {
            socket->abort();
            continue;
        }
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->bytesAvailable() > maxMessageBytes) {
                socket->abort();
                return;
            }
            while (socket->canReadLine()) {
                handleMessage(socket->readLine(maxMessageBytes).trimmed());
            }
        });
    }
}

void SingleInstance::handleMessage(const QByteArray& message) {
    if (message == showMessage.trimmed()) {
        emit showRequested();
    } else if (message.startsWith(urlPrefix)) {
        const QUrl url = QUrl::fromEncoded(message.mid(urlPrefix.size()), QUrl::StrictMode);
        if (url.isValid()) {
            emit urlReceived(url);
        }
    }
}
