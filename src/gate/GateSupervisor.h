#pragma once

#include "gate/GateEnvironment.h"
#include "gate/GateFolder.h"
#include "gate/GateInstall.h"
#include "gate/GateKeys.h"
#include "gate/GateLifecycle.h"
#include "gate/GateProcess.h"
#include "gate/GateTakeOver.h"
#include "gate/NodeChoice.h"
#include "platform/ListeningSockets.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

class GateState;

// The own gate: its runtime, its process and whether the own gate or an existing one is in
// use. What it does with the gate is one state of GateLifecycle at a time, moved only by that
// table's transitions. A gate an earlier run launched is taken over. Launches report into the
// state; the health probe is the monitor's job, and tells this part when the gate answered.
class GateSupervisor final : public QObject {
    Q_OBJECT
public:
    GateSupervisor(const GateEnvironment& environment, GateState& state);
    ~GateSupervisor() override;

    GateLifecycle::State lifecycle() const { return m_lifecycle; }
    const QString& installDir() const { return m_install.installDir(); }
    const QString& supportDir() const { return m_folder.path(); }
    QString configPath() const { return m_folder.configPath(); }
    QString gateLogPath() const { return m_folder.logPath(); }
    QString daemonScript() const { return m_install.daemonScript(); }
    bool daemonBundled() const { return m_install.daemonBundled(); }
    std::optional<QString> bundledNode() const { return m_install.bundledNode(); }
    std::optional<QString> nodePath() const;
    // Where the runtime found comes from: "bundled", "system", "nvm", …
    QString nodeOrigin() const;
    // A runtime that may be chosen is still saying its version.
    bool runtimeReading() const { return m_node.current().reading; }
    // The process id of the gate this helper launched (or took over) and has not asked to end.
    std::optional<qint64> gateProcessId() const;

    std::optional<QString> apiKey() const { return m_keys.apiKey(); }
    std::optional<QString> pairingKey() const { return m_keys.pairingKey(); }

    void start();
    void stop();
    void chooseUseExistingGate();
    void chooseOwnGate();
    // The own gate's folder goes with the account that used it.
    void removeSupportFolder() const { m_folder.remove(); }
    // Whether the gate this helper holds is the one listening. A gate of ours listening with
    // no record of it is taken over first.
    bool serves(const ListeningSockets::Listener& listener);
    // Looks for the runtime again, and for ends nothing announces; on every refresh.
    void look();

signals:
    // Another runtime is chosen (or none is any more).
    void runtimeChanged();

private:
    using State = GateLifecycle::State;
    using Event = GateLifecycle::Event;

    // Moves to the state the table names for the event, and does what entering it takes.
    void apply(Event event);
    void enter(State from);
    bool holding() const;
    bool mayTakeOver() const;
    void takeOver(std::unique_ptr<GateProcess> found);
    void hold(std::unique_ptr<GateProcess> process);
    void ended(const GateProcess* process);

    // Looks for the runtime again, and says which were passed over.
    void chooseRuntime();
    // A start goes on once the runtime is known: a gate of ours serving is taken, else one is
    // launched.
    void settleRuntime();
    void launch();
    // A held gate on an older config gives way to one on the config written now.
    void keepConfigCurrent();
    void probeAfterLaunch();
    void saveMode(bool useExisting);

    const GateEnvironment& m_env;
    GateState& m_state;
    GateInstall m_install;
    GateFolder m_folder;
    GateTakeOver m_takeOver;
    GateKeys m_keys;
    State m_lifecycle = State::Stopped;
    // The runtime chosen, looked for on every refresh and when a version becomes known: the
    // search reads a dozen folders, too many for every redraw.
    NodeChoice m_node;
    // The gate launched or taken over, until its end is seen (stopping included).
    std::unique_ptr<GateProcess> m_process;
    QTimer m_launchProbe;
    int m_launchProbesLeft = 0;
};
