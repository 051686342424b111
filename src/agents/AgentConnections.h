#pragma once

#include "gate/GateEnvironment.h"
#include "gate/PublishedFields.h"

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QStringList>

#include <optional>

class GateState;
class GateSupervisor;

// The agents' own settings, changed and read by the connect script (resources/Connect) on
// Node.js: the command line `kestrova-helper connect` runs it in the foreground, the windows
// in the background, one run of each kind at a time, never blocking the main thread.
class AgentConnections final : public QObject {
    Q_OBJECT
public:
    // What a run of the script needs.
    struct Setup {
        QString node;
        QString script;
        QString hook;
        QString secretFile;
        QString home;
    };

    static QString scriptPath(const QString& resourceFolder);
    // node's arguments: the script, the mode ("connect", "disconnect" or "status"), the
    // agents' hook names, and where things are.
    static QStringList arguments(const Setup& setup, const QString& mode,
                                 const QStringList& hookNames);
    // The status run's answer for these agents (display names); unknown for any it left out.
    static QList<AgentConnection> parseStatus(const QByteArray& output, const QStringList& agents);

    AgentConnections(const GateEnvironment& environment, GateState& state,
                     const GateSupervisor& supervisor);
    ~AgentConnections() override;

    // Reads the detected agents' states again; nothing to read while none is detected.
    void read();
    void connectAgent(const QString& displayName);

    const GateState& gateState() const { return m_state; }

private:
    std::optional<Setup> setup() const;
    void startStatus();
    void publish(const QString& agent, AgentConnection::State state, const QString& detail = {});
    void statusEnded();
    void connectEnded(QProcess* run, const QString& agent);

    const GateEnvironment& m_env;
    GateState& m_state;
    const GateSupervisor& m_supervisor;
    // The status run going on, owned as a child like the connect runs.
    QProcess* m_status = nullptr;
    QStringList m_statusAgents;
    // Agents to connect once the runtime is known.
    QStringList m_waitingForRuntime;
    bool m_readScheduled = false;
    bool m_readAgain = false;
};
