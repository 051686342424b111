#include "agents/AgentDetection.h"

#include "platform/AppPaths.h"

#include <QFileInfo>

namespace AgentDetection {

namespace {

// Any entry type counts; a link is followed, so a dangling one does not.
bool exists(const QString& path) {
    return QFileInfo::exists(path);
}

bool isInstalled(const AgentKind& kind, const QString& home, const QStringList& folders) {
    if (cliPath(kind.bin, folders)) {
        return true;
    }
    return std::any_of(
        kind.homeMarkers.cbegin(), kind.homeMarkers.cend(),
        [&home](const QString& marker) { return exists(AppPaths::join(home, marker)); });
}

} // namespace

const QList<AgentKind>& agentKinds() {
    static const QList<AgentKind> kinds{
        {QStringLiteral("Claude Code"),
         QStringLiteral("claude_code"),
         QStringLiteral("claude"),
         {QStringLiteral(".claude"), QStringLiteral(".claude.json")}},
        {QStringLiteral("Codex"),
         QStringLiteral("codex"),
         QStringLiteral("codex"),
         {QStringLiteral(".codex")}},
        {QStringLiteral("Gemini"),
         QStringLiteral("gemini"),
         QStringLiteral("gemini"),
         {QStringLiteral(".gemini")}},
    };
    return kinds;
}

std::optional<AgentKind> agentKind(const QString& displayName) {
    for (const AgentKind& kind : agentKinds()) {
        if (kind.displayName == displayName) {
            return kind;
        }
    }
    return std::nullopt;
}

QStringList searchFolders(const QString& home) {
    return {QStringLiteral("/opt/homebrew/bin/"), QStringLiteral("/usr/local/bin/"),
            QStringLiteral("/usr/bin/"), AppPaths::join(home, QStringLiteral(".local/bin/"))};
}

QStringList detectAgents(const QString& home, const QStringList& searchFolders) {
    QStringList found;
    for (const AgentKind& kind : agentKinds()) {
        if (isInstalled(kind, home, searchFolders)) {
            found.append(kind.displayName);
        }
    }
    return found;
}

std::optional<QString> cliPath(const QString& bin, const QStringList& searchFolders) {
    for (const QString& folder : searchFolders) {
        // The folders end in "/": the name is appended as it is.
        const QString candidate = folder + bin;
        if (exists(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

} // namespace AgentDetection
