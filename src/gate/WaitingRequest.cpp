#include "gate/WaitingRequest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace WaitingRequests {

namespace {

std::optional<WaitingRequest> requestOf(const QJsonObject& object) {
    WaitingRequest request;
    request.id = object.value(QStringLiteral("id")).toString();
    request.title = object.value(QStringLiteral("title")).toString();
    if (request.id.isEmpty() || request.title.isEmpty()) {
        return std::nullopt;
    }
    request.agent = object.value(QStringLiteral("agent")).toString();
    request.detail = object.value(QStringLiteral("detail")).toString();
    request.cwd = object.value(QStringLiteral("cwd")).toString();
    request.origin = object.value(QStringLiteral("origin")).toString() == u"hook"
                         ? WaitingRequest::Origin::Hook
                         : WaitingRequest::Origin::Tool;
    request.callerWaiting = object.value(QStringLiteral("caller")).toString() != u"gone";
    request.sessionOffer = object.value(QStringLiteral("session_offer")).toBool();
    request.grant = object.value(QStringLiteral("grant")).toString();
    request.expiresAt = QDateTime::fromString(object.value(QStringLiteral("expires_at")).toString(),
                                              Qt::ISODateWithMs);
    return request;
}

} // namespace

// How the receipt's status and author say it ended.
Ending endingOf(const QString& status, const QString& by) {
    if (by == u"phone") {
        return Ending::AnsweredOnPhone;
    }
    if (by == u"desktop") {
        return Ending::AnsweredHere;
    }
    if (status == u"timed_out") {
        return Ending::Expired;
    }
    return status == u"withdrawn" || status == u"refused" ? Ending::Withdrawn : Ending::Unknown;
}

std::optional<Change> parse(const QByteArray& json) {
    const QJsonObject event = QJsonDocument::fromJson(json).object();
    if (const QJsonValue intents = event.value(QStringLiteral("intents")); intents.isArray()) {
        QList<WaitingRequest> requests;
        for (const auto& entry : intents.toArray()) {
            if (auto request = requestOf(entry.toObject())) {
                requests << *request;
            }
        }
        return Change{.list = requests};
    }
    if (const QJsonValue intent = event.value(QStringLiteral("intent")); intent.isObject()) {
        const auto request = requestOf(intent.toObject());
        return request ? std::optional(Change{.added = request}) : std::nullopt;
    }
    const QString id = event.value(QStringLiteral("id")).toString();
    if (id.isEmpty()) {
        return std::nullopt;
    }
    return Change{
        .ended = RequestEnding{.id = id,
                               .how = endingOf(event.value(QStringLiteral("status")).toString(),
                                               event.value(QStringLiteral("by")).toString())}};
}

QString statusOf(Decision decision) {
    switch (decision) {
    case Decision::Approve:
        return QStringLiteral("approved");
    case Decision::Deny:
        return QStringLiteral("denied");
    case Decision::AllowForSession:
        return QStringLiteral("approved_for_session");
    }
    return {};
}

} // namespace WaitingRequests
