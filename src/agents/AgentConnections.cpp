#include "agents/AgentConnections.h"

#include "agents/AgentDetection.h"
#include "agents/AgentsLog.h"
#include "gate/GateSecret.h"
#include "gate/GateState.h"
#include "gate/GateSupervisor.h"
#include "platform/AppPaths.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

using State = AgentConnection::State;

State stateOf(const QString& word) {
    if (word == u"connected") {
        return State::Connected;
    }
    if (word == u"not-connected") {
        return State::NotConnected;
    }
    if (word == u"outdated") {
        return State::Outdated;
    }
    return word == u"unreadable" ? State::Unreadable : State::Unknown;
}

QString hookNameOf(const QString& displayName) {
    const auto kind = AgentDetection::agentKind(displayName);
    return kind ? kind->hookName : QString();
}

} // namespace

QString AgentConnections::scriptPath(const QString& resourceFolder) {
    return AppPaths::join(resourceFolder, QStringLiteral("Connect/bin/kestrova-connect.mjs"));
}

QStringList AgentConnections::arguments(const Setup& setup, const QString& mode,
                                        const QStringList& hookNames) {
    return QStringList{setup.script, mode} + hookNames +
           QStringList{QStringLiteral("--hook"),        setup.hook,
                       QStringLiteral("--secret-file"), setup.secretFile,
                       QStringLiteral("--home"),        setup.home};
}

QList<AgentConnection> AgentConnections::parseStatus(const QByteArray& output,
                                                     const QStringList& agents) {
    const QJsonObject report = QJsonDocument::fromJson(output).object();
    QList<AgentConnection> connections;
    for (const QString& agent : agents) {
        const QJsonObject entry = report.value(hookNameOf(agent)).toObject();
        connections.append({agent, stateOf(entry.value(QStringLiteral("state")).toString()),
                            entry.value(QStringLiteral("detail")).toString()});
    }
    return connections;
}

AgentConnections::AgentConnections(const GateEnvironment& environment, GateState& state,
                                   const GateSupervisor& supervisor)
    : m_env(environment)
    , m_state(state)
    , m_supervisor(supervisor) {
    // What runs on the runtime is read again on the new one; connects asked for while it was
    // being chosen go ahead.
    connect(&supervisor, &GateSupervisor::runtimeChanged, this, [this] {
        for (const QString& agent : std::exchange(m_waitingForRuntime, {})) {
            connectAgent(agent);
        }
        read();
    });
}

AgentConnections::~AgentConnections() {
    // Runs still going are ended, and report to no one. A connect run cut short leaves each
    // file either as it was or as connected: the script replaces files whole.
    for (QProcess* run : findChildren<QProcess*>()) {
        run->disconnect(this);
        run->kill();
        run->waitForFinished(1000);
    }
}

std::optional<AgentConnections::Setup> AgentConnections::setup() const {
    const QString script = scriptPath(m_env.resourceFolder);
    const auto node = m_supervisor.nodePath();
    if (m_env.resourceFolder.isEmpty() || !QFileInfo(script).isFile() || !node) {
        return std::nullopt;
    }
    return Setup{.node = *node,
                 .script = script,
                 .hook = m_env.hookProgram,
                 .secretFile = GateSecret::path(m_supervisor.supportDir()),
                 .home = m_env.homeFolder};
}

void AgentConnections::read() {
    if (m_status || m_readScheduled) {
        m_readAgain = m_status != nullptr;
        return;
    }
    // Once the event loop runs: a read asked for at start-up comes after the windows.
    m_readScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_readScheduled = false;
        startStatus();
    });
}

void AgentConnections::startStatus() {
    const auto how = setup();
    m_statusAgents = m_state.detectedAgents;
    if (!how || m_statusAgents.isEmpty()) {
        return;
    }
    QStringList names;
    for (const QString& agent : m_statusAgents) {
        names << hookNameOf(agent);
    }
    m_status = new QProcess(this);
    m_status->setProcessChannelMode(QProcess::SeparateChannels);
    connect(m_status, &QProcess::finished, this, &AgentConnections::statusEnded);
    connect(m_status, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            statusEnded();
        }
    });
    m_status->start(how->node, arguments(*how, QStringLiteral("status"), names));
}

void AgentConnections::statusEnded() {
    // Released later: this runs inside the process's own signal, which goes on using it.
    QProcess* const ended = std::exchange(m_status, nullptr);
    ended->deleteLater();
    QList<AgentConnection> connections =
        parseStatus(ended->readAllStandardOutput(), m_statusAgents);
    // An agent being connected keeps saying so until its own run ends.
    for (AgentConnection& connection : connections) {
        for (const AgentConnection& shown : m_state.agentConnections) {
            if (shown.agent == connection.agent && shown.state == State::Connecting) {
                connection.state = State::Connecting;
            }
        }
    }
    m_state.publish(m_state.agentConnections, connections);
    if (std::exchange(m_readAgain, false)) {
        read();
    }
}

void AgentConnections::publish(const QString& agent, State state, const QString& detail) {
    QList<AgentConnection> connections = m_state.agentConnections;
    const auto shown = std::find_if(connections.begin(), connections.end(),
                                    [&agent](const auto& entry) { return entry.agent == agent; });
    if (shown != connections.end()) {
        *shown = {agent, state, detail};
    } else {
        connections.append({agent, state, detail});
    }
    m_state.publish(m_state.agentConnections, connections);
}

void AgentConnections::connectAgent(const QString& displayName) {
    const QString hookName = hookNameOf(displayName);
    const auto how = setup();
    if (!how && !hookName.isEmpty() && m_supervisor.runtimeReading()) {
        m_waitingForRuntime.append(displayName);
        publish(displayName, State::Connecting);
        return;
    }
    if (hookName.isEmpty() || !how) {
        m_state.publish(m_state.lastError,
                        QStringLiteral("Connecting %1 needs Node.js and the connect script, which "
                                       "this installation does not have.")
                            .arg(displayName));
        return;
    }
    publish(displayName, State::Connecting);
    // Owned by this object until it ends; more than one agent may be connected at a time.
    auto* run = new QProcess(this);
    run->setProcessChannelMode(QProcess::SeparateChannels);
    connect(run, &QProcess::finished, this,
            [this, run, displayName] { connectEnded(run, displayName); });
    connect(run, &QProcess::errorOccurred, this,
            [this, run, displayName](QProcess::ProcessError error) {
                if (error == QProcess::FailedToStart) {
                    connectEnded(run, displayName);
                }
            });
    run->start(how->node, arguments(*how, QStringLiteral("connect"), {hookName}));
}

void AgentConnections::connectEnded(QProcess* run, const QString& agent) {
    // Released later: this runs inside the process's own signal, which goes on using it.
    run->deleteLater();
    const bool done = run->exitStatus() == QProcess::NormalExit && run->exitCode() == 0 &&
                      run->error() != QProcess::FailedToStart;
    QString said = QString::fromUtf8(run->readAllStandardError()).trimmed();
    said.remove(QStringLiteral("kestrova-connect: note: "));
    said.remove(QStringLiteral("kestrova-connect: "));
    if (!done) {
        qCWarning(lcAgents) << "connecting" << agent << "failed";
        m_state.publish(m_state.lastError,
                        QStringLiteral("Could not connect %1: %2")
                            .arg(agent, said.isEmpty() ? run->errorString() : said));
    } else if (!said.isEmpty()) {
        // What the script asks the user to do or know, as the command line shows it.
        m_state.publish(m_state.lastError, QStringLiteral("Connected %1. %2").arg(agent, said));
    }
    publish(agent, State::Unknown);
    read();
}
