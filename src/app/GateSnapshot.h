#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class GateController;

// Everything a window shows, read from the controller in one go. The windows turn a snapshot
// into what they draw with pure functions, so every state can be tested without reaching it.
struct GateSnapshot {
    bool helperRunning = false;
    bool existingGateDetected = false;
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

    bool signedIn = false;
    std::optional<QString> pairingKey;
    QString daemonScript;
    bool daemonBundled = false;
    std::optional<QString> bundledNode;
    std::optional<QString> nodePath;
    QString nodeOrigin;
    QString gateLogPath;
    QString configPath;

    static GateSnapshot of(const GateController& gate);
};

// Said wherever the port's gate would show: another user's program answers there.
inline QString portTakenText(int port) {
    return QStringLiteral("Port %1 is used by another user's program").arg(port);
}

// The text, when it is present and not the empty string.
inline std::optional<QString> nonEmpty(const std::optional<QString>& text) {
    return text && !text->isEmpty() ? text : std::nullopt;
}
