#pragma once

#include "gate/EventStream.h"
#include "gate/GateEnvironment.h"
#include "gate/WaitingRequest.h"
#include "platform/ReplyLifetime.h"

#include <QCoro/QCoroTask>
#include <QNetworkAccessManager>
#include <QObject>

class GateState;

// The own gate's waiting requests, followed on its event stream (GET /events, with the user's
// secret) for as long as the gate serves, and the answers given on this computer. Nothing
// polls: the stream is opened when the probe finds the gate serving, and a stream that ends
// asks for a probe, whose finding opens the next.
class GateEvents final : public QObject {
    Q_OBJECT
public:
    GateEvents(const GateEnvironment& environment, GateState& state, QNetworkAccessManager& network,
               QString secretPath);
    ~GateEvents() override;

    // Sends the answer to the gate, which passes it on to the phone's room: the first answer
    // wins there. One that comes too late, or cannot be delivered, is published as a notice.
    QCoro::Task<> decide(QString id, Decision decision);

    const GateState& gateState() const { return m_state; }

private:
    void follow();
    void open();
    void drop();
    void onData();
    void onEnded();
    QCoro::Task<> checkAfterEnd();
    std::optional<QByteArray> secret() const;
    QUrl url(const QString& path) const;
    void publish(const QList<WaitingRequest>& requests);

    const GateEnvironment& m_env;
    GateState& m_state;
    QNetworkAccessManager& m_network;
    QString m_secretPath;
    ReplyLifetime::Owned m_stream;
    EventStream m_framing;
    // The stream brought at least one event.
    bool m_delivered = false;
    // Streams in a row that ended before their first event.
    int m_emptyStreams = 0;
    bool m_refused = false;
    // A stream ended and the gate is being asked whether it still serves.
    bool m_checking = false;
};
