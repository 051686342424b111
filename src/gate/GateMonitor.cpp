#include "gate/GateMonitor.h"

#include "gate/GateLog.h"
#include "gate/GateProbe.h"
#include "gate/GateState.h"
#include "platform/BurstGuard.h"

#include <QLocale>
#include <QPointer>
#include <QTime>

GateMonitor::GateMonitor(const GateEnvironment& environment, GateState& state,
                         QNetworkAccessManager& network)
    : m_env(environment)
    , m_state(state)
    , m_network(network) {
}

QCoro::Task<> GateMonitor::probe() {
    const BurstGuard inFlight;
    const QPointer<GateMonitor> self(this);
    // Both probes are in flight together, so a cycle lasts as long as the slower one.
    auto own = GateProbe::ping(m_network, m_env.ownGatePort, m_env.probeTimeout);
    auto existing = GateProbe::ping(m_network, m_env.existingGatePort, m_env.probeTimeout);
    const bool ownAlive = co_await own;
    if (!stillHere(self)) {
        co_return;
    }
    m_state.publish(m_state.helperRunning, ownAlive);
    const bool existingAlive = co_await existing;
    if (!stillHere(self)) {
        co_return;
    }
    qCDebug(lcGate) << "probe: own gate" << ownAlive << "existing gate" << existingAlive;
    m_state.publish(m_state.existingGateDetected, existingAlive);
    m_state.publish(m_state.lastChecked,
                    QLocale::system().toString(QTime::currentTime(), QLocale::ShortFormat));
}
