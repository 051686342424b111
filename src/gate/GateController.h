#pragma once

#include "gate/ControllerParts.h"
#include "gate/GateEnvironment.h"
#include "gate/GateEvents.h"
#include "gate/GateMonitor.h"
#include "gate/GateState.h"
#include "gate/GateSupervisor.h"
#include "gate/SettingsKeys.h"

#include <QObject>
#include <QStringList>

#include <memory>
#include <optional>

// The one object behind every window. It publishes the state they show (one changed() for
// every change) and takes one operation per action, handing each to the part whose job it
// is: the supervisor (the own gate), the monitor (the probe), the account session and the
// agent registry. Operations return nothing and publish their outcome.
class GateController final : public QObject {
    Q_OBJECT
public:
    explicit GateController(GateEnvironment environment, QObject* parent = nullptr);
    ~GateController() override;

    // Every published property at once, for a snapshot.
    const PublishedFields& published() const { return m_state; }
    bool helperRunning() const { return m_state.helperRunning; }
    bool existingGateDetected() const { return m_state.existingGateDetected; }
    bool ownPortForeign() const { return m_state.ownPortForeign; }
    bool existingPortForeign() const { return m_state.existingPortForeign; }
    const QString& lastChecked() const { return m_state.lastChecked; }
    const std::optional<QString>& accountUserId() const { return m_state.accountUserId; }
    const std::optional<QString>& personalRoom() const { return m_state.personalRoom; }
    bool signingIn() const { return m_state.signingIn; }
    const std::optional<QString>& lastError() const { return m_state.lastError; }
    bool launchAtLogin() const { return m_state.launchAtLogin; }
    bool useExistingGate() const { return m_state.useExistingGate; }
    const QStringList& detectedAgents() const { return m_state.detectedAgents; }
    const QStringList& registeredAgents() const { return m_state.registeredAgents; }
    const std::optional<QString>& registrationError() const { return m_state.registrationError; }
    const QStringList& registrationRefusals() const { return m_state.registrationRefusals; }
    const QList<AgentConnection>& agentConnections() const { return m_state.agentConnections; }

    // A non-empty API key is stored; read from the settings store every time.
    bool signedIn() const { return m_supervisor.apiKey().has_value(); }

    const QString& installDir() const { return m_supervisor.installDir(); }
    const QString& supportDir() const { return m_supervisor.supportDir(); }
    QString configPath() const { return m_supervisor.configPath(); }
    QString gateLogPath() const { return m_supervisor.gateLogPath(); }
    QString daemonScript() const { return m_supervisor.daemonScript(); }
    bool daemonBundled() const { return m_supervisor.daemonBundled(); }
    std::optional<QString> bundledNode() const { return m_supervisor.bundledNode(); }
    std::optional<QString> nodePath() const { return m_supervisor.nodePath(); }
    QString nodeOrigin() const { return m_supervisor.nodeOrigin(); }
    std::optional<qint64> gateProcessId() const { return m_supervisor.gateProcessId(); }
    GateLifecycle::State gateLifecycle() const { return m_supervisor.lifecycle(); }
    std::optional<QString> pairingKey() const { return m_supervisor.pairingKey(); }
    std::optional<QString> cliPath(const QString& bin) const { return m_agents->cliPath(bin); }

    void startHelperGate() { m_supervisor.start(); }
    void stopHelperGate() { m_supervisor.stop(); }
    void refresh();
    void chooseUseExistingGate() { m_supervisor.chooseUseExistingGate(); }
    void chooseOwnGate() { m_supervisor.chooseOwnGate(); }
    void setLaunchAtLogin(bool enabled);
    void detectAgents() { m_agents->detect(); }
    void signIn() { m_account->signIn(); }
    void signOut() { m_account->signOut(); }
    void registerDetectedAgents() { m_agents->registerDetected(); }
    const QList<WaitingRequest>& waitingRequests() const { return m_state.waitingRequests; }
    void decide(const QString& requestId, Decision decision) {
        m_events.decide(requestId, decision);
    }
    // Asks the gate for its live list again, after a refusal too.
    void retryAnswers() { m_events.retry(); }
    // The gate's record of past decisions.
    QString receiptsPath() const;
    void connectAgent(const QString& displayName) { m_agents->connectAgent(displayName); }
    // A problem of the program's shell (no second start can reach it, say) shown as the error.
    void report(const QString& problem) { m_state.publish(m_state.lastError, problem); }

signals:
    void changed();
    // A probe cycle ended (it changed something or not).
    void probed();

private:
    GateEnvironment m_env;
    GateState m_state;
    GateSupervisor m_supervisor;
    GateMonitor m_monitor;
    GateEvents m_events;
    std::unique_ptr<AgentOperations> m_agents;
    std::unique_ptr<AccountOperations> m_account;
};
