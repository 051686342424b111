#pragma once

#include "gate/EventStream.h"
#include "gate/GateEnvironment.h"
#include "gate/GateExchange.h"
#include "gate/WaitingRequest.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QTimer>

#include <memory>

class GateState;

// The own gate's waiting requests, followed on its live list (GET /events on the gate's socket)
// for as long as the gate serves, and the answers given on this computer. A list that is refused
// or keeps failing is published as the reason answers are unavailable here; a failing one is
// tried again, later each time, and the requests already shown stay listed meanwhile, so that a
// gate that comes back shows nothing twice.
class GateEvents final : public QObject {
    Q_OBJECT
public:
    GateEvents(const GateEnvironment& environment, GateState& state);
    ~GateEvents() override;

    // Sends the answer to the gate, which passes it on to the phone's room: the first answer
    // wins there. One that comes too late, or cannot be delivered, is published as a notice.
    QCoro::Task<> decide(QString id, Decision decision);

    // Asks for the live list again now, after a refusal too.
    void retry();

    const GateState& gateState() const { return m_state; }

    // Failures in a row before answers are said to be unavailable, and the longest wait
    // before the next try.
    static constexpr int kFailuresShown = 2;
    static constexpr std::chrono::seconds kLongestRetry{30};

private:
    enum class Feed { Off, Opening, Live, Waiting, Refused };

    void follow();
    void open();
    void drop();
    void onHead(int status);
    void onBody(const QByteArray& data);
    void onEnded(const std::optional<GateSocketError>& error);
    void fail(const QString& why, bool refused);
    void apply(const WaitingRequests::Change& change);
    void publish(const QList<WaitingRequest>& requests, Ending gone = Ending::Unknown);

    const GateEnvironment& m_env;
    GateState& m_state;
    Feed m_feed = Feed::Off;
    std::unique_ptr<GateExchange, void (*)(GateExchange*)> m_stream;
    EventStream m_framing;
    QTimer m_retry;
    // The gate was seen serving at the last change of the state.
    bool m_serving = false;
    // The current stream brought at least one list.
    bool m_delivered = false;
    // Attempts in a row that brought no list.
    int m_failures = 0;
    // Requests whose answer from here is on its way: a second click sends nothing.
    QSet<QString> m_deciding;
};
