#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// A request an agent made through the gate that waits for the user's answer, as the gate's
// event stream lists it.
struct WaitingRequest {
    enum class Origin { Tool, Hook };

    QString id{};
    QString agent{};
    QString title{};
    QString detail{};
    QString cwd{};
    Origin origin = Origin::Tool;
    // A tool call whose caller hung up still waits on the phone, but nobody at the computer
    // is waiting for it any more.
    bool callerWaiting = true;
    // The agent offered to allow the same for the rest of its session.
    bool sessionOffer = false;
    QDateTime expiresAt{};

    bool operator==(const WaitingRequest&) const = default;
};

// The answers the helper gives a request.
enum class Decision { Approve, Deny, AllowForSession };

namespace WaitingRequests {

// The pending requests of one event of the stream, `{"intents": [...]}`; entries without an id
// or a title are left out. Nothing when the event is not such an object.
std::optional<QList<WaitingRequest>> parse(const QByteArray& json);

// The list after one event of the stream: a snapshot `{"intents": [...]}` replaces it, an added
// request `{"intent": {...}}` joins it (or replaces the one with its id), an ended one
// `{"id": "..."}` leaves it. Nothing when the event is none of these.
std::optional<QList<WaitingRequest>> apply(const QList<WaitingRequest>& list,
                                           const QByteArray& json);

// The status the gate takes for the decision.
QString statusOf(Decision decision);

} // namespace WaitingRequests
