#include "app/DiagnosticsContent.h"

#include "agents/AgentDetection.h"
#include "gate/GatePorts.h"

namespace {
// The ports the labels name are the product's fixed ones, not whatever a test configured.
constexpr int ownGatePort = GatePorts::own;
constexpr int existingGatePort = GatePorts::existing;

const QString absent = QStringLiteral("\u2014");

QString portLabel(const QString& name, int port) {
    return name + QStringLiteral(" (:") + QString::number(port) + u')';
}

QString orAbsent(const std::optional<QString>& text) {
    return nonEmpty(text).value_or(absent);
}

// Whether the agent's own settings send its questions to the gate.
QString connectionText(const GateSnapshot& state, const QString& agent) {
    if (!state.detectedAgents.contains(agent)) {
        return QStringLiteral("not found");
    }
    using State = AgentConnection::State;
    for (const AgentConnection& connection : state.agentConnections) {
        if (connection.agent != agent) {
            continue;
        }
        switch (connection.state) {
        case State::Connected:
            return QStringLiteral("connected");
        case State::NotConnected:
            return QStringLiteral("not connected");
        case State::Outdated:
            return QStringLiteral("out of date: reconnect");
        case State::Unreadable:
            return QStringLiteral("settings unreadable: ") + connection.detail;
        case State::Connecting:
            return QStringLiteral("connecting…");
        case State::Unknown:
            break;
        }
    }
    return absent;
}

// Whether answers can be given on this desktop: the gate's live list is followed.
QString answersText(const GateSnapshot& state) {
    if (!state.helperRunning || state.useExistingGate) {
        return absent;
    }
    const auto why = nonEmpty(state.answersUnavailable);
    return why ? QStringLiteral("unavailable (") + *why + u')' : QStringLiteral("available");
}

QString nodeText(const GateSnapshot& state) {
    if (state.bundledNode) {
        return QStringLiteral("bundled (zero-prereq)");
    }
    QString text = state.nodePath ? state.nodeOrigin + QStringLiteral(": ") + *state.nodePath
                                  : QStringLiteral("NOT FOUND");
    for (const QString& skipped : state.nodeSkipped) {
        text += QStringLiteral("; skipped ") + skipped;
    }
    return text;
}
} // namespace

DiagnosticsContent DiagnosticsContent::of(const GateSnapshot& state) {
    DiagnosticsContent content;
    content.rows = {
        {portLabel(QStringLiteral("Kestrova gate"), ownGatePort),
         state.ownPortForeign  ? portTakenText(ownGatePort)
         : state.helperRunning ? QStringLiteral("running")
                               : QStringLiteral("stopped")},
        {QStringLiteral("Answers on this desktop"), answersText(state)},
        {portLabel(QStringLiteral("Existing dev gate"), existingGatePort),
         state.existingPortForeign    ? portTakenText(existingGatePort)
         : state.existingGateDetected ? QStringLiteral("detected")
                                      : QStringLiteral("none")},
        {QStringLiteral("Mode"), state.useExistingGate ? QStringLiteral("using existing gate")
                                                       : QStringLiteral("own gate")},
        {QStringLiteral("Signed-in account"), orAbsent(state.accountUserId)},
        {QStringLiteral("Personal room"), orAbsent(state.personalRoom)},
        {QStringLiteral("Gate daemon"), state.daemonBundled
                                            ? QStringLiteral("bundled in app")
                                            : QStringLiteral("fallback (~/bramblekit)")},
        {QStringLiteral("Node.js"), nodeText(state)},
    };
    for (const AgentDetection::AgentKind& kind : AgentDetection::agentKinds()) {
        content.rows.append({kind.displayName, connectionText(state, kind.displayName)});
    }
    content.rows += {
        {QStringLiteral("Approval bridge"), QStringLiteral("not yet verified end-to-end")},
        {QStringLiteral("Last checked"), state.lastChecked.isEmpty() ? absent : state.lastChecked},
    };
    content.showDevBuildNote = !state.bundledNode.has_value();
    content.daemonPath = state.daemonScript;
    content.configPath = state.configPath;
    content.gateLogPath = state.gateLogPath;
    if (const auto error = nonEmpty(state.lastError)) {
        content.lastErrorLine = QStringLiteral("Last error: ") + *error;
    }
    return content;
}
