#pragma once

#include "agents/AgentConnections.h"
#include "gate/ControllerParts.h"
#include "gate/GateEnvironment.h"

#include <QCoro/QCoroTask>
#include <QNetworkAccessManager>
#include <QObject>
#include <QStringList>

class GateState;

// The coding agents on this computer: which are installed, whether their settings send their
// questions to the gate, and their registration with the account under this computer's
// fingerprint.
class AgentRegistry final : public QObject, public AgentOperations {
    Q_OBJECT
public:
    AgentRegistry(const GateEnvironment& environment, GateState& state,
                  QNetworkAccessManager& network, const GateSupervisor& supervisor);

    void detect() override;
    void registerDetected() override;
    void forgetRegistration() override;
    std::optional<QString> cliPath(const QString& bin) const override;
    QString hostFingerprint() override;
    void readConnections() override { m_connections.read(); }
    void connectAgent(const QString& displayName) override {
        m_connections.connectAgent(displayName);
    }

    const GateState& gateState() const { return m_state; }

private:
    QCoro::Task<> runRegistration(int run, QStringList agents, QString apiKey, QString machineName,
                                  QString fingerprint);

    const GateEnvironment& m_env;
    GateState& m_state;
    QNetworkAccessManager& m_network;
    AgentConnections m_connections;
    // Counts registration runs and sign-outs: only the latest run may publish what it found.
    int m_run = 0;
};
