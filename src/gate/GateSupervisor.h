#pragma once

#include "gate/GateEnvironment.h"
#include "gate/GateProcess.h"
#include "gate/NodeRuntime.h"

#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

class GateState;

// The own gate: its folders, its config file, its process and its log, and whether the own
// gate or an existing one is in use. A gate an earlier run launched is taken over. Launches
// report into the state; the health probe is the monitor's job.
class GateSupervisor final : public QObject {
    Q_OBJECT
public:
    GateSupervisor(const GateEnvironment& environment, GateState& state);
    ~GateSupervisor() override;

    const QString& installDir() const { return m_installDir; }
    const QString& supportDir() const { return m_supportDir; }
    QString configPath() const;
    QString gateLogPath() const;
    QString daemonScript() const;
    bool daemonBundled() const;
    std::optional<QString> bundledNode() const;
    std::optional<QString> nodePath() const;
    // Where the runtime found comes from: "bundled", "system", "nvm", …
    QString nodeOrigin() const;
    // The process id of the gate this helper launched (or took over) and has not seen end.
    std::optional<qint64> gateProcessId() const;

    // The stored API key, when there is one that is not empty.
    std::optional<QString> apiKey() const;
    // The key the phone needs to pair with the gate in use.
    std::optional<QString> pairingKey() const;

    void start();
    void stop();
    void chooseUseExistingGate();
    void chooseOwnGate();
    // The own gate's folder goes with the account that used it, all but the gate's key.
    void removeSupportFolder() const;
    // Looks for ends nothing announces and keeps the log within its cap; on every refresh.
    void look();

private:
    QString scriptInBundle() const;
    QString recordPath() const;
    bool writeConfig(const QString& apiKey);
    QProcessEnvironment processEnvironment(const QString& node) const;
    void adoptRecordedGate();
    void watch(std::unique_ptr<GateProcess> process);
    void forget(GateProcess* ended);
    void probeAfterLaunch();
    void saveMode(bool useExisting);

    const GateEnvironment& m_env;
    GateState& m_state;
    QString m_installDir;
    QString m_supportDir;
    const std::optional<NodeRuntime::Candidate>& node() const;

    // The runtime found, looked for on first use and again on every refresh: the search reads
    // a dozen folders, too many for every redraw.
    mutable std::optional<std::optional<NodeRuntime::Candidate>> m_node;
    std::unique_ptr<GateProcess> m_process;
    // Whether the gate in m_process has answered a probe since it was launched.
    bool m_answered = false;
    // Gates asked to stop whose end has not been seen yet: their exit still triggers a probe.
    std::vector<std::unique_ptr<GateProcess>> m_stoppingProcesses;
    QTimer m_launchProbe;
    int m_launchProbesLeft = 0;
};
