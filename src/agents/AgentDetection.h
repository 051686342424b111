#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The coding-agent tools this program knows, and how to tell that one is installed. Detection
// only asks whether a path exists: it never runs a tool, reads PATH or looks inside a file.
namespace AgentDetection {

struct AgentKind {
    QString displayName;     // "Claude Code"
    QString kind;            // what the relay calls it: "claude_code"
    QString bin;             // the executable's file name: "claude"
    QString hookName;        // its name to the gate's hooks and the connect script: "claude-code"
    QStringList homeMarkers; // entries the tool leaves in the home folder, tested in order
    QString connectedCaveat; // what the user should know of it once connected, if anything
};

// Claude Code, Codex, Gemini, Copilot CLI, OpenCode, in that order.
const QList<AgentKind>& agentKinds();
std::optional<AgentKind> agentKind(const QString& displayName);

// The search folders for a home folder, each ending in "/", in order: /opt/homebrew/bin,
// /usr/local/bin, /usr/bin, ~/.local/bin, then where Linux users' package tools put them:
// ~/.npm-global/bin, the bin folder of the prefix in ~/.npmrc, the nvm and fnm versions' bin
// folders (highest version first), ~/.bun/bin, ~/.yarn/bin, ~/.local/share/pnpm, /snap/bin.
// nvmDir is $NVM_DIR, empty when unset. Reads ~/.npmrc and lists the version folders: compute
// it when detecting, so a tool installed since shows up.
QStringList searchFolders(const QString& home, const QString& nvmDir);
// The same with $NVM_DIR from this process's environment.
QStringList searchFolders(const QString& home);

// The absolute prefix the user's ~/.npmrc names ("~/" stands for the home folder), or nothing
// when there is no such file or line, or the prefix is relative.
std::optional<QString> npmPrefix(const QString& home);

// Display names of the agents found, in the order of agentKinds(), each at most once.
QStringList detectAgents(const QString& home, const QStringList& searchFolders);

// The first search folder's candidate path for bin that exists.
std::optional<QString> cliPath(const QString& bin, const QStringList& searchFolders);

} // namespace AgentDetection
