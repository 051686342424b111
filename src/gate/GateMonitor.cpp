#include "gate/GateMonitor.h"

#include "gate/GateLog.h"
#include "gate/GateProbe.h"
#include "gate/GateState.h"
#include "gate/GateSupervisor.h"
#include "platform/BurstGuard.h"
#include "platform/ListeningSockets.h"

#include <QLocale>
#include <QPointer>
#include <QTime>

#include <unistd.h>

GateMonitor::GateMonitor(const GateEnvironment& environment, GateState& state,
                         QNetworkAccessManager& network, GateSupervisor& supervisor)
    : m_env(environment)
    , m_state(state)
    , m_network(network)
    , m_supervisor(supervisor) {
}

namespace {
// Who takes the probe's connection, when a gate answered there: whatever another user runs on
// a gate port would receive this user's approval requests. Nothing when it cannot be told,
// which never counts as this user's.
std::optional<ListeningSockets::Listener> answering(bool answered, quint16 port) {
    if (!answered) {
        return std::nullopt;
    }
    const auto listener = ListeningSockets::loopbackListener(port);
    if (!listener) {
        qCWarning(lcGate) << "cannot tell who listens on port" << port << ":" << listener.error();
        return std::nullopt;
    }
    return *listener;
}

bool mine(const std::optional<ListeningSockets::Listener>& listener) {
    return listener && listener->uid == ::getuid();
}

bool foreign(const std::optional<ListeningSockets::Listener>& listener) {
    return listener && listener->uid != ::getuid();
}
} // namespace

QCoro::Task<> GateMonitor::probe() {
    const BurstGuard inFlight;
    const QPointer<GateMonitor> self(this);
    // Both probes are in flight together, so a cycle lasts as long as the slower one.
    auto ownPing = GateProbe::ping(m_network, m_env.ownGatePort, m_env.probeTimeout);
    auto existingPing = GateProbe::ping(m_network, m_env.existingGatePort, m_env.probeTimeout);
    const bool ownAnswered = co_await ownPing;
    const bool existingAnswered = co_await existingPing;
    if (!stillHere(self)) {
        co_return;
    }
    const auto own = answering(ownAnswered, m_env.ownGatePort);
    const auto existing = answering(existingAnswered, m_env.existingGatePort);
    qCDebug(lcGate) << "probe: own gate" << ownAnswered << mine(own) << "existing gate"
                    << existingAnswered << mine(existing);
    {
        // One redraw for the cycle, whatever it found.
        const GateState::Batch cycle(m_state);
        m_state.publish(m_state.ownPortForeign, foreign(own));
        m_state.publish(m_state.helperRunning, mine(own) && m_supervisor.serves(*own));
        m_state.publish(m_state.existingPortForeign, foreign(existing));
        m_state.publish(m_state.existingGateDetected, mine(existing));
        m_state.publish(m_state.lastChecked,
                        QLocale::system().toString(QTime::currentTime(), QLocale::ShortFormat));
    }
    emit m_state.probed();
}
