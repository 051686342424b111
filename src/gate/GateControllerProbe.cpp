#include "gate/GateController.h"
#include "gate/GateProbe.h"
#include "platform/BurstGuard.h"

#include <QLocale>
#include <QPointer>
#include <QTime>

void GateController::refresh() {
    detectAgents();
    // Runs on by itself; the last cycle to finish wins.
    probeGates();
}

QCoro::Task<> GateController::probeGates() {
    const BurstGuard inFlight;
    const QPointer<GateController> self(this);
    // Both probes are in flight together, so a cycle lasts as long as the slower one.
    auto own = GateProbe::ping(m_network, m_env.ownGatePort, m_env.probeTimeout);
    auto existing = GateProbe::ping(m_network, m_env.existingGatePort, m_env.probeTimeout);
    const bool ownAlive = co_await own;
    if (!stillHere(self)) {
        co_return;
    }
    publish(m_helperRunning, ownAlive);
    const bool existingAlive = co_await existing;
    if (!stillHere(self)) {
        co_return;
    }
    publish(m_existingGateDetected, existingAlive);
    publish(m_lastChecked, QLocale::system().toString(QTime::currentTime(), QLocale::ShortFormat));
}
