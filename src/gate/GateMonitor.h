#pragma once

#include "gate/GateEnvironment.h"

#include <QCoro/QCoroTask>
#include <QNetworkAccessManager>
#include <QObject>

class GateState;
class GateSupervisor;

// Asks both gate ports whether a gate serves and publishes what it found: the own gate runs
// when the gate the supervisor holds is the one that answered. A cycle runs on by
// itself; when several overlap, the last to finish wins.
class GateMonitor final : public QObject {
    Q_OBJECT
public:
    GateMonitor(const GateEnvironment& environment, GateState& state,
                QNetworkAccessManager& network, GateSupervisor& supervisor);

    QCoro::Task<> probe();
    const GateState& gateState() const { return m_state; }

private:
    const GateEnvironment& m_env;
    GateState& m_state;
    QNetworkAccessManager& m_network;
    GateSupervisor& m_supervisor;
};
