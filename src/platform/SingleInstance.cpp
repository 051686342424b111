#include "platform/SingleInstance.h"

#include "platform/InstanceMessages.h"
#include "platform/UserDirs.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>

#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int sendTimeoutMs = 2000;
const QString socketName = QStringLiteral("kestrova-helper.socket");

// Only the same user may talk to us, whatever the socket's file permissions say.
bool fromSameUser(const QLocalSocket& socket) {
    struct ucred credentials {};
    socklen_t length = sizeof(credentials);
    const auto descriptor = static_cast<int>(socket.socketDescriptor());
    return ::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
           credentials.uid == ::getuid();
}

// Another user who could write into the folder could put their own socket in our place.
std::expected<QString, QString> privateFolder(const QString& path) {
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return std::unexpected(QStringLiteral("%1 is not a folder").arg(path));
    }
    if (status.st_uid != ::getuid()) {
        return std::unexpected(QStringLiteral("%1 belongs to another user").arg(path));
    }
    if ((status.st_mode & 07777) != 0700) {
        return std::unexpected(QStringLiteral("%1 is not private (mode %2, not 0700)")
                                   .arg(path)
                                   .arg(status.st_mode & 07777, 4, 8, QLatin1Char('0')));
    }
    return path;
}

} // namespace

SingleInstance::SingleInstance(QObject* parent)
    : QObject(parent) {
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::onConnection);
}

SingleInstance::~SingleInstance() = default;

std::expected<QString, QString> SingleInstance::socketFolder() {
    // Not Qt's: it falls back to a fixed name in /tmp when there is no runtime folder.
    if (const auto runtime = UserDirs::runtimeFolder()) {
        return QFile::decodeName(QByteArray::fromStdString(*runtime));
    }
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (!QDir::isAbsolutePath(cache)) {
        return std::unexpected(QStringLiteral("no runtime or cache folder"));
    }
    const QString folder = cache + QStringLiteral("/kestrova-helper");
    QDir().mkpath(cache);
    // An existing folder is taken as it is: if it is not private, it is refused below.
    ::mkdir(QFile::encodeName(folder).constData(), 0700);
    return privateFolder(folder);
}

QString SingleInstance::socketPath() {
    const auto folder = socketFolder();
    return folder ? *folder + u'/' + socketName : QString();
}

bool SingleInstance::claim() {
    const auto folder = socketFolder();
    if (!folder) {
        m_listenError = QStringLiteral("No safe folder for the socket: ") + folder.error();
        return true;
    }
    const QString path = *folder + u'/' + socketName;
    // The lock decides who runs; QLockFile sees through a lock left by a crashed process.
    m_lock = std::make_unique<QLockFile>(path + QStringLiteral(".lock"));
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        const bool heldByAnother = m_lock->error() == QLockFile::LockFailedError;
        m_lock.reset();
        if (heldByAnother) {
            return false;
        }
        m_listenError = QStringLiteral("Could not lock %1.lock").arg(path);
        return true;
    }
    QLocalServer::removeServer(path);
    if (!m_server.listen(path)) {
        m_listenError =
            QStringLiteral("Could not listen on %1: %2").arg(path, m_server.errorString());
    }
    return true;
}

std::expected<void, QString> SingleInstance::requestShow() {
    QByteArray message;
    if (const QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN"); !token.isEmpty()) {
        message = InstanceMessages::encode(InstanceMessages::ActivationToken{token});
    }
    return send(message + InstanceMessages::encode(InstanceMessages::Show{}));
}

std::expected<void, QString> SingleInstance::sendUrl(const QUrl& url) {
    return send(InstanceMessages::encode(InstanceMessages::OpenUrl{url}));
}

std::expected<void, QString> SingleInstance::send(const QByteArray& message) {
    const auto folder = socketFolder();
    if (!folder) {
        return std::unexpected(QStringLiteral("No safe folder for the socket: ") + folder.error());
    }
    // Written is not taken: a hung instance's socket still accepts bytes. Its answer is.
    // The wait runs an event loop, so an instance in this same thread can answer too.
    QLocalSocket socket;
    QEventLoop loop;
    bool done = false;
    std::optional<InstanceMessages::Answer> answer;
    QString failure = QStringLiteral("no answer");
    const auto finish = [&done, &loop] {
        done = true;
        loop.quit();
    };
    QObject::connect(&socket, &QLocalSocket::connected, &loop,
                     [&socket, &message] { socket.write(message); });
    QObject::connect(&socket, &QLocalSocket::readyRead, &loop, [&] {
        if (socket.canReadLine()) {
            answer =
                InstanceMessages::decodeAnswer(socket.readLine(InstanceMessages::maxAnswerBytes));
            finish();
        }
    });
    QObject::connect(&socket, &QLocalSocket::errorOccurred, &loop, [&] {
        failure = socket.errorString();
        finish();
    });
    QTimer::singleShot(sendTimeoutMs, &loop, finish);
    socket.connectToServer(*folder + u'/' + socketName);
    if (!done) {
        loop.exec();
    }
    socket.abort();
    if (!answer) {
        return std::unexpected(
            QStringLiteral("Could not hand over to the running Kestrova Helper: ") + failure);
    }
    if (!*answer) {
        return std::unexpected(
            QStringLiteral("The running Kestrova Helper did not take the request: ") +
            answer->error());
    }
    return {};
}

void SingleInstance::onConnection() {
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!fromSameUser(*socket)) {
            socket->abort();
            continue;
        }
        // Bounded: a peer that never ends a line must not fill our memory.
        socket->setReadBufferSize(4 * InstanceMessages::maxLineBytes);
        auto reader = std::make_shared<InstanceMessages::Reader>();
        auto token = std::make_shared<QByteArray>();
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, reader, token] {
            QList<InstanceMessages::Message> messages;
            while (socket->bytesAvailable() > 0 && !reader->broken()) {
                messages += reader->feed(socket->read(InstanceMessages::maxLineBytes));
            }
            if (reader->broken()) {
                socket->abort();
                return;
            }
            for (const InstanceMessages::Message& message : messages) {
                if (const auto* given = std::get_if<InstanceMessages::ActivationToken>(&message)) {
                    *token = given->token;
                    continue;
                }
                // Answered once handled: the later start reports what became of its request.
                InstanceMessages::Answer answer;
                if (const auto* open = std::get_if<InstanceMessages::OpenUrl>(&message)) {
                    answer = m_urlHandler ? m_urlHandler(open->url)
                                          : std::unexpected(QStringLiteral("it takes no links"));
                } else {
                    emit showRequested(std::exchange(*token, {}));
                }
                socket->write(InstanceMessages::encodeAnswer(answer));
            }
        });
    }
}
