#pragma once

#include <QHash>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>

#include <expected>
#include <memory>
#include <vector>

class RelayStandIn;

// The relay's rooms: the gate posts approval requests into its account's room and long-polls
// the decisions that the phone posts. Held in memory; see docs/relay-rooms.md.
class RoomsStandIn {
public:
    explicit RoomsStandIn(const RelayStandIn& relay);

    QHttpServerResponse mine(const QHttpServerRequest& request) const;
    QHttpServerResponse postIntent(const QString& room, const QHttpServerRequest& request);
    QHttpServerResponse listIntents(const QString& room, const QHttpServerRequest& request) const;
    QHttpServerResponse decide(const QString& room, const QString& id,
                               const QHttpServerRequest& request);
    // The gate takes back a request nobody waits for any more.
    QHttpServerResponse withdraw(const QString& room, const QString& id,
                                 const QHttpServerRequest& request);
    // Answers at once when decisions newer than `after` exist, otherwise when one arrives or
    // the wait ends.
    void waitDecisions(const QString& room, const QHttpServerRequest& request,
                       QHttpServerResponder&& responder);
    QJsonObject state() const;

private:
    struct Waiter {
        int id;
        qint64 after;
        std::shared_ptr<QHttpServerResponder> responder;
        QPointer<QTcpSocket> socket;
    };
    struct Room {
        std::vector<QJsonObject> intents; // in arrival order, with "status"
        QJsonArray decisions;             // each with "seq", the position plus one
        std::vector<Waiter> waiters;
    };

    // The error answer when the key does not open the room.
    std::optional<QHttpServerResponse> refuse(const QString& room,
                                              const QHttpServerRequest& request) const;
    // The room's request with this id, or the error answer.
    std::expected<QJsonObject*, QHttpServerResponse> pendingIntent(const QString& room,
                                                                   const QString& id);
    QJsonObject decisionsAfter(const Room& room, qint64 after) const;
    void answer(Waiter& waiter, const Room& room);

    const RelayStandIn& m_relay;
    QHash<QString, Room> m_rooms;
    int m_nextWaiter = 0;
    QObject m_timers; // context of the long-poll deadlines
};
