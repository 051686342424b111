#pragma once

#include "gate/WaitingRequest.h"

#include <QString>
#include <QStringList>

#include <optional>

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
    // What waits for the user's answer at the own gate, oldest first.
    QList<WaitingRequest> waitingRequests;
    // Why an answer given on this computer decided nothing (too late, gate unreachable).
    std::optional<QString> decisionNotice;
};
