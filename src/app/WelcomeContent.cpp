#include "app/WelcomeContent.h"

#include "agents/AgentDetection.h"
#include "gate/GatePorts.h"

namespace {

using Row = WelcomeContent::Row;

Row accountRow(const GateSnapshot& state) {
    if (!state.signedIn) {
        return {false, QStringLiteral("Not signed in yet")};
    }
    QString text = QStringLiteral("Signed in");
    if (state.accountUserId) {
        text += QStringLiteral(": ") + *state.accountUserId;
    }
    return {true, text};
}

Row gateRow(const GateSnapshot& state) {
    if (state.helperRunning) {
        return {true, QStringLiteral("Helper gate running")};
    }
    if (state.useExistingGate) {
        return {true, QStringLiteral("Using existing gate")};
    }
    return {false, QStringLiteral("Helper gate stopped")};
}

Row pairingRow(const GateSnapshot& state) {
    if (state.pairingKey) {
        return {true, QStringLiteral("Ready to pair with your phone")};
    }
    return {false, QStringLiteral("Sign in to enable pairing")};
}

using Connection = AgentConnection::State;

Connection connectionOf(const GateSnapshot& state, const QString& agent) {
    for (const AgentConnection& connection : state.agentConnections) {
        if (connection.agent == agent) {
            return connection.state;
        }
    }
    return Connection::Unknown;
}

QString connectionNote(Connection connection, const QString& agent) {
    switch (connection) {
    case Connection::Connected:
        if (const auto kind = AgentDetection::agentKind(agent);
            kind && !kind->connectedCaveat.isEmpty()) {
            return QStringLiteral(" (connected; ") + kind->connectedCaveat + u')';
        }
        return QStringLiteral(" (connected)");
    case Connection::Outdated:
        return QStringLiteral(" (reconnect needed)");
    case Connection::Unreadable:
        return QStringLiteral(" (settings unreadable)");
    case Connection::Connecting:
        return QStringLiteral(" (connecting…)");
    case Connection::NotConnected:
    case Connection::Unknown:
        break;
    }
    return {};
}

Row agentsRow(const GateSnapshot& state, const PlaceWords& words) {
    if (state.detectedAgents.isEmpty()) {
        return {false, QStringLiteral("No coding agent detected on ") + words.thisComputer};
    }
    QStringList agents;
    for (const QString& agent : state.detectedAgents) {
        agents << agent + connectionNote(connectionOf(state, agent), agent);
    }
    return {true, QStringLiteral("Agent detected: ") + agents.join(QStringLiteral(", "))};
}

QList<WelcomeContent::ConnectOffer> offersFor(const GateSnapshot& state) {
    QList<WelcomeContent::ConnectOffer> offers;
    for (const QString& agent : state.detectedAgents) {
        switch (connectionOf(state, agent)) {
        case Connection::Connected:
            break;
        case Connection::Connecting:
            offers.append({agent, QStringLiteral("Connecting %1…").arg(agent), false});
            break;
        case Connection::Outdated:
            offers.append({agent, QStringLiteral("Reconnect ") + agent, true});
            break;
        case Connection::NotConnected:
        case Connection::Unreadable:
        case Connection::Unknown:
            offers.append({agent, QStringLiteral("Connect ") + agent, true});
            break;
        }
    }
    return offers;
}

// Only once there is something to register: a signed-out user has nothing to wait for. An
// agent the relay refused beside others it took is named with the reason.
QList<Row> registrationRows(const GateSnapshot& state) {
    if (!state.registeredAgents.isEmpty()) {
        QList<Row> rows{{true, QStringLiteral("Added to your Kestrova account: ") +
                                   state.registeredAgents.join(QStringLiteral(", "))}};
        if (!state.registrationRefusals.isEmpty()) {
            rows.append({false, QStringLiteral("Not added: ") +
                                    state.registrationRefusals.join(QStringLiteral("; "))});
        }
        return rows;
    }
    if (state.signedIn && !state.detectedAgents.isEmpty()) {
        // The controller publishes no "registering" flag: signed in with agents found and
        // neither a registration nor an error yet means the run has not ended.
        if (state.registrationError) {
            return {{false,
                     QStringLiteral("Couldn't register agent yet: ") + *state.registrationError}};
        }
        return {{false, QStringLiteral("Registering your agent to Kestrova…")}};
    }
    return {};
}

QString headerText(const PlaceWords& words) {
    return words.thisHelper +
           QStringLiteral(" connects your coding agents to Kestrova, so agent approvals show up on "
                          "your phone - no terminal needed.");
}

QString closingNoteText(const PlaceWords& words) {
    return QStringLiteral("Kestrova keeps running ") + words.runningPlace +
           QStringLiteral(". Closing this window won't quit it - reopen it any time from ") +
           words.theIcon + QStringLiteral(" > \"Show Kestrova\".");
}

} // namespace

WelcomeContent WelcomeContent::of(const GateSnapshot& state, const PlaceWords& words,
                                  bool trayShown) {
    WelcomeContent content;
    content.header = headerText(words);
    content.closingNote = closingNoteText(words);
    content.rows = {accountRow(state), gateRow(state), pairingRow(state), agentsRow(state, words)};
    content.connectOffers = offersFor(state);
    content.rows += registrationRows(state);
    if (const auto error = nonEmpty(state.lastError)) {
        content.warning = QStringLiteral("⚠︎ ") + *error;
    } else if (state.ownPortForeign || state.existingPortForeign) {
        content.warning =
            QStringLiteral("⚠︎ ") +
            portTakenText(state.ownPortForeign ? GatePorts::own : GatePorts::existing);
    }
    if (!state.signedIn) {
        content.nextStep = NextStep::SignIn;
        content.nextStepText =
            state.signingIn ? QStringLiteral("Signing in…") : QStringLiteral("Sign in with Google");
        content.nextStepEnabled = !state.signingIn;
    } else if (!state.helperRunning && !state.useExistingGate) {
        content.nextStep = NextStep::StartHelper;
        content.nextStepText = QStringLiteral("Start the helper");
        content.nextStepEnabled = true;
    } else {
        content.nextStep = NextStep::AllSet;
        content.nextStepText =
            trayShown
                ? QStringLiteral("You're set. Pair your phone from ") + words.theIconPlaced +
                      QStringLiteral(" > \"Show pairing QR\".")
                : QStringLiteral("You're set. Pair your phone with \"Show pairing QR…\" above.");
        content.nextStepEnabled = true;
    }
    return content;
}
