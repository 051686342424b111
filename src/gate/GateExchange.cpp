#include "gate/GateExchange.h"

#include <coroutine>
#include <memory>

namespace {

QByteArray requestBytes(const GateExchange::Request& request) {
    QByteArray bytes =
        request.method + ' ' + request.path +
        " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nAccept: " + request.accept + "\r\n";
    if (!request.body.isEmpty() || request.method == "POST") {
        bytes += "Content-Type: application/json\r\nContent-Length: " +
                 QByteArray::number(request.body.size()) + "\r\n";
    }
    return bytes + "\r\n" + request.body;
}

struct LaterDeleter {
    void operator()(QObject* object) const { object->deleteLater(); }
};

// The end of an exchange, resumed from inside ended(): an exchange aborted by its owner's
// destructor still lets its caller finish.
struct EndOf {
    GateExchange& exchange;

    bool await_ready() const { return exchange.hasEnded(); }
    void await_suspend(std::coroutine_handle<> caller) const {
        QObject::connect(
            &exchange, &GateExchange::ended, &exchange, [caller] { caller.resume(); },
            Qt::SingleShotConnection);
    }
    std::optional<GateSocketError> await_resume() const { return exchange.error(); }
};

} // namespace

GateExchange::GateExchange(const QString& socketPath, const Request& request,
                           std::chrono::milliseconds deadline, Deadline covers, QObject* parent)
    : QObject(parent)
    , m_request(requestBytes(request))
    , m_covers(covers) {
    connect(&m_socket, &GateSocket::opened, this, &GateExchange::onOpened);
    connect(&m_socket, &GateSocket::received, this, &GateExchange::onReceived);
    connect(&m_socket, &GateSocket::closed, this, &GateExchange::onClosed);
    connect(&m_socket, &GateSocket::failed, this, &GateExchange::finish);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this,
            [this] { finish(GateSocketError{.kind = GateSocketError::Kind::NoAnswer}); });
    m_deadline.start(deadline);
    // Signals emitted while connecting (no gate there) reach whoever connects to this one
    // after the constructor: they go once the event loop turns.
    QMetaObject::invokeMethod(
        this, [this, socketPath] { m_socket.open(socketPath); }, Qt::QueuedConnection);
}

void GateExchange::abort() {
    finish(GateSocketError{.kind = GateSocketError::Kind::Aborted});
}

void GateExchange::onOpened() {
    m_socket.write(m_request);
}

void GateExchange::onReceived() {
    const bool hadHead = m_response.headComplete();
    const auto body = m_response.feed(m_socket.readAll());
    if (!body) {
        finish(GateSocketError{.kind = GateSocketError::Kind::NotHttp, .detail = body.error()});
        return;
    }
    if (!hadHead && m_response.headComplete()) {
        if (m_covers == Deadline::Head) {
            m_deadline.stop();
        }
        emit headReceived(m_response.status());
    }
    if (!body->isEmpty() && !m_ended) {
        emit bodyReceived(*body);
    }
    if (m_response.complete()) {
        finish(std::nullopt);
    }
}

void GateExchange::onClosed() {
    onReceived();
    if (m_ended) {
        return;
    }
    if (const auto whole = m_response.close(); !whole) {
        finish(GateSocketError{.kind = m_response.headComplete() ? GateSocketError::Kind::NotHttp
                                                                 : GateSocketError::Kind::NoAnswer,
                               .detail = whole.error()});
    } else {
        finish(std::nullopt);
    }
}

void GateExchange::finish(const std::optional<GateSocketError>& error) {
    if (m_ended) {
        return;
    }
    m_ended = true;
    m_error = error;
    m_deadline.stop();
    m_socket.close();
    emit ended(error);
}

QCoro::Task<std::expected<GateExchange::Answer, GateSocketError>>
GateExchange::fetch(QObject& owner, QString socketPath, Request request,
                    std::chrono::milliseconds deadline, qsizetype maxBody) {
    const std::unique_ptr<GateExchange, LaterDeleter> exchange(
        new GateExchange(socketPath, request, deadline, Deadline::Whole, &owner));
    Answer answer;
    connect(exchange.get(), &GateExchange::headReceived, exchange.get(),
            [&answer](int status) { answer.status = status; });
    connect(exchange.get(), &GateExchange::bodyReceived, exchange.get(),
            [&answer, &exchange, maxBody](const QByteArray& data) {
                answer.body += data;
                if (answer.body.size() > maxBody) {
                    exchange->finish(GateSocketError{.kind = GateSocketError::Kind::NotHttp,
                                                     .detail = QStringLiteral("too long")});
                }
            });
    if (const auto error = co_await EndOf{*exchange}) {
        co_return std::unexpected(*error);
    }
    co_return answer;
}
