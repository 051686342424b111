#include "DevstackServer.h"

#include "Http.h"

#include <QFile>
#include <QJsonDocument>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

using Method = QHttpServerRequest::Method;

namespace {

QHttpServerResponse webPage() {
    return http::html(QStringLiteral("Kestrova (devstack)"),
                      QStringLiteral("<h1>Kestrova (devstack)</h1>\n"
                                     "<p>This page stands in for the product web site.</p>"));
}

// The phone app's stand-in: lists a room's pending requests and decides them.
QHttpServerResponse phonePage() {
    QFile page(QStringLiteral(":/phone.html"));
    if (!page.open(QIODevice::ReadOnly)) {
        return http::error(http::Status::InternalServerError, "phone page missing from the build");
    }
    return QHttpServerResponse("text/html; charset=utf-8", page.readAll());
}

} // namespace

template <typename Handler>
void DevstackServer::on(const char* path, Method method, Handler handler) {
    m_http.route(
        QString::fromLatin1(path), method,
        [this, handler](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
            deliver(handler(request), std::move(responder));
        });
}

DevstackServer::DevstackServer(const Options& options)
    : m_delayMs(options.delayMs)
    , m_google(options.clientId, options.autoApprove)
    , m_relay(m_google, m_faults)
    , m_rooms(m_relay) {
    on("/o/oauth2/v2/auth", Method::Get,
       [this](const QHttpServerRequest& r) { return m_google.authorize(r.query()); });
    on("/o/oauth2/v2/approve", Method::Get,
       [this](const QHttpServerRequest& r) { return m_google.approve(r.query()); });
    on("/o/oauth2/v2/deny", Method::Get,
       [this](const QHttpServerRequest& r) { return m_google.deny(r.query()); });
    on("/token", Method::Post, [this](const QHttpServerRequest& r) { return m_google.token(r); });
    on("/api/v1/relay/auth", Method::Post,
       [this](const QHttpServerRequest& r) { return m_relay.auth(r); });
    on("/api/v1/agents/me/owned", Method::Post,
       [this](const QHttpServerRequest& r) { return m_relay.registerOwned(r); });
    routeRooms();
    on("/v1/messages", Method::Post,
       [this](const QHttpServerRequest& r) { return m_models.messages(r); });
    on("/v1/responses", Method::Post,
       [this](const QHttpServerRequest& r) { return m_models.responses(r); });
    on("/v1/chat/completions", Method::Post,
       [this](const QHttpServerRequest& r) { return m_models.chat(r); });
    m_http.route(
        "/v1beta/models/<arg>", Method::Post,
        [this](const QString& call, const QHttpServerRequest& r, QHttpServerResponder&& responder) {
            deliver(m_models.gemini(call, r), std::move(responder));
        });
    on("/devstack/model-requests", Method::Get,
       [this](const QHttpServerRequest&) { return m_models.recorded(); });
    on("/phone", Method::Get, [](const QHttpServerRequest&) { return phonePage(); });
    on("/devstack/state", Method::Get, [this](const QHttpServerRequest&) { return state(); });
    on("/devstack/faults", Method::Post,
       [this](const QHttpServerRequest& r) { return setFaults(r); });
    on("/", Method::Get, [](const QHttpServerRequest&) { return webPage(); });
    on("/download", Method::Get, [](const QHttpServerRequest&) { return webPage(); });
    m_http.setMissingHandler([this](const QHttpServerRequest&, QHttpServerResponder&& responder) {
        deliver(http::error(http::Status::NotFound, "not found"), std::move(responder));
    });
}

void DevstackServer::routeRooms() {
    on("/api/v1/rooms/mine", Method::Get,
       [this](const QHttpServerRequest& r) { return m_rooms.mine(r); });
    m_http.route(
        "/api/v1/rooms/<arg>/intents", Method::Post,
        [this](const QString& room, const QHttpServerRequest& r, QHttpServerResponder&& responder) {
            deliver(m_rooms.postIntent(room, r), std::move(responder));
        });
    m_http.route(
        "/api/v1/rooms/<arg>/intents", Method::Get,
        [this](const QString& room, const QHttpServerRequest& r, QHttpServerResponder&& responder) {
            deliver(m_rooms.listIntents(room, r), std::move(responder));
        });
    m_http.route("/api/v1/rooms/<arg>/intents/<arg>/decision", Method::Post,
                 [this](const QString& room, const QString& id, const QHttpServerRequest& r,
                        QHttpServerResponder&& responder) {
                     deliver(m_rooms.decide(room, id, r), std::move(responder));
                 });
    m_http.route("/api/v1/rooms/<arg>/intents/<arg>/withdraw", Method::Post,
                 [this](const QString& room, const QString& id, const QHttpServerRequest& r,
                        QHttpServerResponder&& responder) {
                     deliver(m_rooms.withdraw(room, id, r), std::move(responder));
                 });
    // Long polls answer when a decision comes, not after the devstack's delay.
    m_http.route(
        "/api/v1/rooms/<arg>/decisions", Method::Get,
        [this](const QString& room, const QHttpServerRequest& r, QHttpServerResponder&& responder) {
            m_rooms.waitDecisions(room, r, std::move(responder));
        });
}

void DevstackServer::deliver(QHttpServerResponse&& response, QHttpServerResponder&& responder) {
    const int delay = m_faults.delayMs.value_or(m_delayMs);
    if (delay <= 0) {
        response.write(std::move(responder));
        return;
    }
    // Answer from a timer so the event loop keeps serving other requests meanwhile.
    auto pending = std::make_shared<std::pair<QHttpServerResponse, QHttpServerResponder>>(
        std::move(response), std::move(responder));
    const QPointer<QTcpSocket> socket = pending->second.socket();
    QTimer::singleShot(delay, &m_pending, [pending, socket] {
        if (socket && socket->isOpen()) { // the client may have given up
            pending->first.write(std::move(pending->second));
        }
    });
}

QHttpServerResponse DevstackServer::setFaults(const QHttpServerRequest& request) {
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(request.body(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        return http::error(http::Status::BadRequest, "faults must be a JSON object");
    }
    auto faults = Faults::fromJson(document.object());
    if (!faults) {
        return http::error(http::Status::BadRequest, faults.error());
    }
    m_faults = std::move(*faults);
    return QHttpServerResponse(http::Status::NoContent);
}

QHttpServerResponse DevstackServer::state() const {
    QJsonObject json = m_relay.state();
    json.insert("token_requests", m_google.tokenRequests());
    json.insert("rooms", m_rooms.state());
    return http::json(json);
}

std::expected<quint16, QString> DevstackServer::listen(quint16 port) {
    // Our own listener, so a busy port is reported once, in our words.
    auto* listener = new QTcpServer(&m_http);
    if (!listener->listen(QHostAddress::LocalHost, port)) {
        return std::unexpected(listener->errorString());
    }
    m_http.bind(listener);
    return listener->serverPort();
}
