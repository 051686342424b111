#pragma once

#include "gate/PublishedFields.h"

#include <QString>
#include <QStringList>

#include <optional>

class GateController;

// Everything a window shows, read from the controller in one go: its published properties and
// what it works out on request. The windows turn a snapshot into what they draw with pure
// functions, so every state can be tested without reaching it.
struct GateSnapshot : PublishedFields {
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

// Said in the menu and in diagnostics while the gate's live list is refused or failing.
inline QString answersUnavailableText(const QString& why) {
    return QStringLiteral("Answers on this desktop: unavailable (") + why + u')';
}

// The text, when it is present and not the empty string.
inline std::optional<QString> nonEmpty(const std::optional<QString>& text) {
    return text && !text->isEmpty() ? text : std::nullopt;
}
