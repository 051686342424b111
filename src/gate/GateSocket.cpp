#include "gate/GateSocket.h"

#include "platform/UserDirs.h"

#include <sys/socket.h>
#include <unistd.h>

namespace {

// The uid of the process at the other end of a connected Unix socket.
std::optional<uid_t> peerUid(qintptr descriptor) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (descriptor < 0 ||
        ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
        return std::nullopt;
    }
    return credentials.uid;
}

} // namespace

QString GateSocketError::errorDescription() const {
    switch (kind) {
    case Kind::NoRuntimeFolder:
        return QStringLiteral("no private runtime folder ($XDG_RUNTIME_DIR)");
    case Kind::NotServing:
        return QStringLiteral("no gate on its socket");
    case Kind::OtherUser:
        return QStringLiteral("the gate's socket belongs to another user");
    case Kind::NoAnswer:
        return QStringLiteral("the gate did not answer");
    case Kind::NotHttp:
        return QStringLiteral("the gate's answer was broken: ") + detail;
    case Kind::Aborted:
        break;
    }
    return QStringLiteral("stopped");
}

GateSocket::GateSocket(QObject* parent)
    : QObject(parent) {
    connect(&m_socket, &QLocalSocket::connected, this, &GateSocket::onConnected);
    connect(&m_socket, &QLocalSocket::readyRead, this, &GateSocket::received);
    connect(&m_socket, &QLocalSocket::disconnected, this, &GateSocket::closed);
    connect(&m_socket, &QLocalSocket::errorOccurred, this, &GateSocket::onError);
}

GateSocket::~GateSocket() {
    close();
}

std::optional<QString> GateSocket::path() {
    const auto socket = UserDirs::gateSocket();
    return socket ? std::optional(QString::fromStdString(*socket)) : std::nullopt;
}

void GateSocket::open(const QString& path) {
    m_socket.connectToServer(path);
}

QByteArray GateSocket::readAll() {
    return m_socket.isOpen() ? m_socket.readAll() : QByteArray();
}

void GateSocket::close() {
    m_socket.disconnect(this);
    m_socket.abort();
}

void GateSocket::onConnected() {
    if (peerUid(m_socket.socketDescriptor()) != ::geteuid()) {
        close();
        emit failed({.kind = GateSocketError::Kind::OtherUser});
        return;
    }
    emit opened();
}

void GateSocket::onError(QLocalSocket::LocalSocketError error) {
    // The gate closing after its answer is the end of that answer, told by closed().
    if (error == QLocalSocket::PeerClosedError) {
        return;
    }
    const bool absent =
        error == QLocalSocket::ServerNotFoundError || error == QLocalSocket::ConnectionRefusedError;
    const QString detail = m_socket.errorString();
    close();
    emit failed(
        {.kind = absent ? GateSocketError::Kind::NotServing : GateSocketError::Kind::NoAnswer,
         .detail = detail});
}
