#include "gate/GateMonitor.h"

#include "gate/GateLog.h"
#include "gate/GateProbe.h"
#include "gate/GateState.h"
#include "platform/BurstGuard.h"
#include "platform/ListeningSockets.h"

#include <QLocale>
#include <QPointer>
#include <QTime>

#include <unistd.h>

GateMonitor::GateMonitor(const GateEnvironment& environment, GateState& state,
                         QNetworkAccessManager& network)
    : m_env(environment)
    , m_state(state)
    , m_network(network) {
}

namespace {
// Whatever another user runs on a gate port would receive this user's approval requests.
bool foreign(quint16 port) {
    const auto owner = ListeningSockets::ownerOf(port);
    return owner && *owner != ::getuid();
}
} // namespace

QCoro::Task<> GateMonitor::probe() {
    const BurstGuard inFlight;
    const QPointer<GateMonitor> self(this);
    // Both probes are in flight together, so a cycle lasts as long as the slower one.
    auto own = GateProbe::ping(m_network, m_env.ownGatePort, m_env.probeTimeout);
    auto existing = GateProbe::ping(m_network, m_env.existingGatePort, m_env.probeTimeout);
    const bool ownAnswered = co_await own;
    if (!stillHere(self)) {
        co_return;
    }
    const bool ownForeign = ownAnswered && foreign(m_env.ownGatePort);
    m_state.publish(m_state.ownPortForeign, ownForeign);
    m_state.publish(m_state.helperRunning, ownAnswered && !ownForeign);
    const bool existingAnswered = co_await existing;
    if (!stillHere(self)) {
        co_return;
    }
    const bool existingForeign = existingAnswered && foreign(m_env.existingGatePort);
    qCDebug(lcGate) << "probe: own gate" << ownAnswered << ownForeign << "existing gate"
                    << existingAnswered << existingForeign;
    m_state.publish(m_state.existingPortForeign, existingForeign);
    m_state.publish(m_state.existingGateDetected, existingAnswered && !existingForeign);
    m_state.publish(m_state.lastChecked,
                    QLocale::system().toString(QTime::currentTime(), QLocale::ShortFormat));
}
