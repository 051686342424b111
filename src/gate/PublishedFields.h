#pragma once

#include "gate/WaitingRequest.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Whether an agent's own settings send its questions to the gate (the connect script's word).
struct AgentConnection {
    enum class State { Unknown, NotConnected, Connected, Outdated, Unreadable, Connecting };
    QString agent; // the display name
    State state = State::Unknown;
    QString detail; // why the settings could not be read

    bool operator==(const AgentConnection&) const = default;
};

// The controller's published properties as plain values: held by its state, copied into each
// snapshot the windows read.
struct PublishedFields {
    bool helperRunning = false;
    bool existingGateDetected = false;
    // A gate port answered, but another user's program listens on it: it is not counted.
    bool ownPortForeign = false;
    bool existingPortForeign = false;
    QString lastChecked;
    std::optional<QString> accountUserId;
    std::optional<QString> personalRoom;
    bool signingIn = false;
    std::optional<QString> lastError;
    bool launchAtLogin = false;
    bool useExistingGate = false;
    QStringList detectedAgents;
    QStringList registeredAgents;
    std::optional<QString> registrationError;
    // "<agent>: <why>" for each agent the last completed run could not register, also when it
    // registered others.
    QStringList registrationRefusals;
    // What waits for the user's answer at the own gate, oldest first.
    QList<WaitingRequest> waitingRequests;
    // How requests that left the list ended, oldest first: views that keep showing an entry
    // while the user may be about to click it say so there.
    QList<RequestEnding> endedRequests;
    // Why answers cannot be given on this computer now (the gate's live list refused or failing).
    std::optional<QString> answersUnavailable;
    // Why an answer given on this computer decided nothing (too late, gate unreachable).
    std::optional<QString> decisionNotice;
    // One entry for each detected agent whose state is known.
    QList<AgentConnection> agentConnections;
    // Node.js runtimes passed over for one the gate can run on, each with why.
    QStringList nodeSkipped;
};
