#pragma once

#include <QLocalSocket>
#include <QObject>
#include <QString>

#include <optional>

// Why the gate's socket gave no answer.
struct GateSocketError {
    enum class Kind { NoRuntimeFolder, NotServing, OtherUser, NoAnswer, NotHttp, Aborted };
    Kind kind = Kind::NotServing;
    QString detail{};

    // A few words for "Answers on this desktop: unavailable (…)" and the log.
    QString errorDescription() const;
};

// A connection to the gate's socket in the user's runtime folder (gate.sock), kept only when the
// program on the other end runs as this user: the folder's mode keeps other accounts out, the
// check catches a socket handed over or placed by a process that may ignore the mode.
class GateSocket final : public QObject {
    Q_OBJECT
public:
    explicit GateSocket(QObject* parent = nullptr);
    ~GateSocket() override;

    // Where the gate listens; nothing when this user has no private runtime folder.
    static std::optional<QString> path();

    void open(const QString& path);
    void write(const QByteArray& bytes) { m_socket.write(bytes); }
    // What has arrived; empty once the connection is closed and read.
    QByteArray readAll();
    // Drops the connection without another signal.
    void close();

signals:
    void opened();
    void received();
    // The gate closed the connection; what it sent before may still be read.
    void closed();
    void failed(const GateSocketError& error);

private:
    void onConnected();
    void onError(QLocalSocket::LocalSocketError error);

    QLocalSocket m_socket;
};
