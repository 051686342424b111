#include "RoomsStandIn.h"

#include "Http.h"
#include "RelayStandIn.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QTimer>
#include <QUrlQuery>

#include <algorithm>

namespace {

constexpr int kMaxWaitSeconds = 25;
constexpr qsizetype kMaxId = 64;
constexpr qsizetype kMaxTitle = 1000;
constexpr qsizetype kMaxDetail = 8000;
constexpr qsizetype kMaxNote = 500;

bool isOptionalString(const QJsonObject& object, const char* key, qsizetype maxLength) {
    const QJsonValue value = object.value(key);
    return value.isUndefined() || (value.isString() && value.toString().size() <= maxLength);
}

bool expired(const QJsonObject& intent) {
    const QDateTime expiry =
        QDateTime::fromString(intent.value("expires_at").toString(), Qt::ISODateWithMs);
    return expiry.isValid() && expiry <= QDateTime::currentDateTimeUtc();
}

// What the phone shows: a pending request past its time has expired.
QJsonObject listed(QJsonObject intent) {
    if (intent.value("status").toString() == "pending" && expired(intent)) {
        intent.insert("status", "expired");
    }
    return intent;
}

bool isDecision(const QString& status) {
    return status == "approved" || status == "denied" || status == "approved_for_session";
}

} // namespace

RoomsStandIn::RoomsStandIn(const RelayStandIn& relay)
    : m_relay(relay) {
}

std::optional<QHttpServerResponse> RoomsStandIn::refuse(const QString& room,
                                                        const QHttpServerRequest& request) const {
    const QString own = m_relay.roomForBearer(request.value("Authorization"));
    if (own.isEmpty()) {
        return http::error(http::Status::Unauthorized, "invalid api key");
    }
    if (own != room) {
        return http::error(http::Status::Forbidden, "the key does not open this room");
    }
    return std::nullopt;
}

QHttpServerResponse RoomsStandIn::mine(const QHttpServerRequest& request) const {
    const QString own = m_relay.roomForBearer(request.value("Authorization"));
    if (own.isEmpty()) {
        return http::error(http::Status::Unauthorized, "invalid api key");
    }
    return http::json({{"room", own}});
}

QHttpServerResponse RoomsStandIn::postIntent(const QString& room,
                                             const QHttpServerRequest& request) {
    if (auto refusal = refuse(room, request)) {
        return std::move(*refusal);
    }
    const auto body = http::jsonObject(request.body());
    if (!body) {
        return http::error(http::Status::BadRequest, "request body must be a JSON object");
    }
    const QString id = body->value("id").toString();
    const QString title = body->value("title").toString();
    if (id.isEmpty() || id.size() > kMaxId || title.isEmpty() || title.size() > kMaxTitle ||
        !isOptionalString(*body, "detail", kMaxDetail) ||
        !isOptionalString(*body, "agent", kMaxTitle) ||
        !isOptionalString(*body, "grant", kMaxTitle) ||
        !isOptionalString(*body, "created_at", kMaxId) ||
        !isOptionalString(*body, "expires_at", kMaxId) ||
        !(body->value("offers_session").isUndefined() || body->value("offers_session").isBool())) {
        return http::error(http::Status::BadRequest,
                           "id (1-64 characters) and title (1-1000) are required; agent, detail, "
                           "grant, created_at and expires_at must be strings, offers_session a "
                           "boolean");
    }
    Room& target = m_rooms[room];
    // The gate posts again after a lost answer; the first copy stands.
    if (std::ranges::any_of(target.intents, [&](const QJsonObject& intent) {
            return intent.value("id").toString() == id;
        })) {
        return http::json({{"created", false}});
    }
    QJsonObject intent;
    for (const char* key : {"id", "agent", "title", "detail", "created_at", "expires_at"}) {
        intent.insert(key, body->value(key).toString());
    }
    intent.insert("offers_session", body->value("offers_session").toBool());
    if (body->contains("grant")) {
        intent.insert("grant", body->value("grant"));
    }
    intent.insert("status", "pending");
    target.intents.push_back(intent);
    return http::json({{"created", true}}, http::Status::Created);
}

QHttpServerResponse RoomsStandIn::listIntents(const QString& room,
                                              const QHttpServerRequest& request) const {
    if (auto refusal = refuse(room, request)) {
        return std::move(*refusal);
    }
    const QString status = request.query().queryItemValue("status");
    QJsonArray intents;
    for (const QJsonObject& intent : m_rooms.value(room).intents) {
        const bool pending = intent.value("status").toString() == "pending" && !expired(intent);
        if (status.isEmpty() || (status == "pending") == pending) {
            intents.append(listed(intent));
        }
    }
    return http::json({{"intents", intents}});
}

std::expected<QJsonObject*, QHttpServerResponse> RoomsStandIn::pendingIntent(const QString& room,
                                                                             const QString& id) {
    Room& target = m_rooms[room];
    const auto intent = std::ranges::find_if(target.intents, [&](const QJsonObject& candidate) {
        return candidate.value("id").toString() == id;
    });
    if (intent == target.intents.end()) {
        return std::unexpected(http::error(http::Status::NotFound, "no such request in this room"));
    }
    const QString status = intent->value("status").toString();
    if (status == "withdrawn") {
        return std::unexpected(http::error(http::Status::Conflict, "the request was withdrawn"));
    }
    if (status != "pending") {
        return std::unexpected(
            http::error(http::Status::Conflict, "the request was already decided"));
    }
    return &*intent;
}

QHttpServerResponse RoomsStandIn::decide(const QString& room, const QString& id,
                                         const QHttpServerRequest& request) {
    if (auto refusal = refuse(room, request)) {
        return std::move(*refusal);
    }
    const auto body = http::jsonObject(request.body());
    const QString status = body ? body->value("status").toString() : QString();
    const QString by = body ? body->value("by").toString(QStringLiteral("phone")) : QString();
    if (!body || !isDecision(status) || !isOptionalString(*body, "note", kMaxNote) ||
        (by != "phone" && by != "desktop")) {
        return http::error(http::Status::BadRequest,
                           "status must be \"approved\", \"denied\" or \"approved_for_session\"; "
                           "note a string of at most 500 characters; by \"phone\" or \"desktop\"");
    }
    auto intent = pendingIntent(room, id);
    if (!intent) {
        return std::move(intent.error());
    }
    if (expired(**intent)) {
        return http::error(http::Status::Conflict, "the request has expired");
    }
    Room& target = m_rooms[room];
    (*intent)->insert("status", status);
    const QJsonObject decision{
        {"seq", target.decisions.size() + 1},
        {"intent_id", id},
        {"status", status},
        {"note", body->value("note").toString()},
        {"by", by},
        {"decided_at", QDateTime::currentDateTimeUtc().toString(Qt::ISODate)}};
    target.decisions.append(decision);
    for (Waiter& waiter : target.waiters) {
        answer(waiter, target);
    }
    target.waiters.clear();
    return http::json({{"decision", decision}});
}

QHttpServerResponse RoomsStandIn::withdraw(const QString& room, const QString& id,
                                           const QHttpServerRequest& request) {
    if (auto refusal = refuse(room, request)) {
        return std::move(*refusal);
    }
    const auto body = http::jsonObject(request.body());
    if (!body || !isOptionalString(*body, "reason", kMaxNote)) {
        return http::error(http::Status::BadRequest,
                           "reason must be a string of at most 500 characters");
    }
    auto intent = pendingIntent(room, id);
    if (!intent) {
        return std::move(intent.error());
    }
    (*intent)->insert("status", "withdrawn");
    (*intent)->insert("withdraw_reason", body->value("reason").toString());
    return http::json({{"withdrawn", true}});
}

QJsonObject RoomsStandIn::decisionsAfter(const Room& room, qint64 after) const {
    const qint64 last = room.decisions.size();
    // A cursor past the end comes from before a restart of the relay: start over.
    const qint64 from = after > last ? 0 : after;
    QJsonArray newer;
    for (qint64 i = from; i < last; ++i) {
        newer.append(room.decisions.at(i));
    }
    return {{"decisions", newer}, {"next", last}};
}

void RoomsStandIn::answer(Waiter& waiter, const Room& room) {
    if (waiter.socket && waiter.socket->isOpen()) { // the gate may have given up
        http::json(decisionsAfter(room, waiter.after)).write(std::move(*waiter.responder));
    }
}

void RoomsStandIn::waitDecisions(const QString& room, const QHttpServerRequest& request,
                                 QHttpServerResponder&& responder) {
    if (auto refusal = refuse(room, request)) {
        refusal->write(std::move(responder));
        return;
    }
    const QUrlQuery query = request.query();
    bool afterOk = true;
    bool waitOk = true;
    const qint64 after =
        query.hasQueryItem("after") ? query.queryItemValue("after").toLongLong(&afterOk) : 0;
    const int wait = query.hasQueryItem("wait") ? query.queryItemValue("wait").toInt(&waitOk) : 0;
    if (!afterOk || !waitOk || after < 0 || wait < 0) {
        http::error(http::Status::BadRequest, "after and wait must be non-negative integers")
            .write(std::move(responder));
        return;
    }
    Room& target = m_rooms[room];
    const QJsonObject ready = decisionsAfter(target, after);
    if (!ready.value("decisions").toArray().isEmpty() || wait == 0) {
        http::json(ready).write(std::move(responder));
        return;
    }
    const int id = m_nextWaiter++;
    const QPointer<QTcpSocket> socket = responder.socket();
    target.waiters.push_back(
        {id, after, std::make_shared<QHttpServerResponder>(std::move(responder)), socket});
    QTimer::singleShot(std::min(wait, kMaxWaitSeconds) * 1000, &m_timers, [this, room, id] {
        Room& waited = m_rooms[room];
        const auto waiter = std::ranges::find(waited.waiters, id, &Waiter::id);
        if (waiter != waited.waiters.end()) {
            answer(*waiter, waited);
            waited.waiters.erase(waiter);
        }
    });
}

QJsonObject RoomsStandIn::state() const {
    QJsonObject rooms;
    for (auto room = m_rooms.cbegin(); room != m_rooms.cend(); ++room) {
        QJsonArray intents;
        for (const QJsonObject& intent : room->intents) {
            intents.append(intent);
        }
        rooms.insert(room.key(), QJsonObject{{"intents", intents},
                                             {"decisions", room->decisions},
                                             {"waiting_polls", qint64(room->waiters.size())}});
    }
    return rooms;
}
