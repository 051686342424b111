#pragma once

#include "gate/GateSocket.h"
#include "gate/HttpResponse.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <expected>
#include <optional>

// One HTTP/1.1 request to the gate over its socket, and its answer as it arrives. The
// connection is the request's alone (Connection: close). Whoever holds an exchange releases it
// with deleteLater: it may be in one of its own signals.
class GateExchange final : public QObject {
    Q_OBJECT
public:
    struct Request {
        QByteArray method;
        QByteArray path;
        QByteArray body{}; // JSON when present
        QByteArray accept = "application/json";
    };

    // A whole answer, its body held.
    struct Answer {
        int status = 0;
        QByteArray body;
    };

    // Which part of the answer must arrive within the deadline.
    enum class Deadline { Head, Whole };

    // Begins once the event loop turns; signals connected before then see everything.
    GateExchange(const QString& socketPath, const Request& request,
                 std::chrono::milliseconds deadline, Deadline covers, QObject* parent = nullptr);

    // Ends the exchange with an Aborted error.
    void abort();
    bool hasEnded() const { return m_ended; }
    // Once ended: why the answer did not arrive whole, nothing when it did.
    const std::optional<GateSocketError>& error() const { return m_error; }

    // The whole answer, at most maxBody bytes of body, within the deadline. The exchange is
    // the owner's child: destroying the owner aborts it, and the caller resumes at once.
    static QCoro::Task<std::expected<Answer, GateSocketError>>
    fetch(QObject& owner, QString socketPath, Request request, std::chrono::milliseconds deadline,
          qsizetype maxBody = qsizetype{64} * 1024);

signals:
    void headReceived(int status);
    void bodyReceived(const QByteArray& data);
    // Once: the answer ended whole (nothing) or why it did not.
    void ended(const std::optional<GateSocketError>& error);

private:
    void onOpened();
    void onReceived();
    void onClosed();
    void finish(const std::optional<GateSocketError>& error);

    GateSocket m_socket;
    HttpResponse m_response;
    QByteArray m_request;
    QTimer m_deadline;
    Deadline m_covers;
    bool m_ended = false;
    std::optional<GateSocketError> m_error;
};
