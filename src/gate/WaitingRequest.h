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
    // What that allowance grants, in the gate's plain words.
    QString grant{};
    QDateTime expiresAt{};

    bool operator==(const WaitingRequest&) const = default;
};

// How a request left the list.
enum class Ending { AnsweredOnPhone, AnsweredHere, Expired, Withdrawn, Unknown };

struct RequestEnding {
    QString id;
    Ending how = Ending::Unknown;

    bool operator==(const RequestEnding&) const = default;
};

// The answers the helper gives a request.
enum class Decision { Approve, Deny, AllowForSession };

namespace WaitingRequests {

// One event of the gate's live list: the whole list (`{"intents": [...]}`), one request added
// or changed (`{"intent": {...}}`), or one that ended (`{"id", "status", "by"}`).
struct Change {
    std::optional<QList<WaitingRequest>> list{};
    std::optional<WaitingRequest> added{};
    std::optional<RequestEnding> ended{};
};

// Entries without an id or a title are left out. Nothing when the event is none of the three.
std::optional<Change> parse(const QByteArray& json);

// The status the gate takes for the decision.
QString statusOf(Decision decision);

} // namespace WaitingRequests
