#include "agents/AgentDetection.h"

#include "gate/NodeRuntime.h"
#include "platform/AppPaths.h"
#include "platform/RegularFile.h"

#include <QDir>
#include <QFileInfo>

namespace AgentDetection {

namespace {

// An .npmrc is a few lines; anything far larger is not one.
constexpr qint64 maxNpmrcBytes = qint64{64} * 1024;

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
         QStringLiteral("claude-code"),
         {QStringLiteral(".claude"), QStringLiteral(".claude.json")},
         {}},
        {QStringLiteral("Codex"),
         QStringLiteral("codex"),
         QStringLiteral("codex"),
         QStringLiteral("codex"),
         {QStringLiteral(".codex")},
         {}},
        {QStringLiteral("Gemini"),
         QStringLiteral("gemini"),
         QStringLiteral("gemini"),
         QStringLiteral("gemini"),
         {QStringLiteral(".gemini")},
         {}},
        {QStringLiteral("Copilot CLI"),
         QStringLiteral("copilot_cli"),
         QStringLiteral("copilot"),
         QStringLiteral("copilot"),
         {QStringLiteral(".copilot")},
         {}},
        // Its install script puts it in ~/.opencode/bin; it keeps its settings and data in the
        // XDG folders.
        {QStringLiteral("OpenCode"),
         QStringLiteral("opencode"),
         QStringLiteral("opencode"),
         QStringLiteral("opencode"),
         {QStringLiteral(".opencode/bin/opencode"), QStringLiteral(".config/opencode"),
          QStringLiteral(".local/share/opencode")},
         // Its plugin hook for permissions is never called: the plugin answers through the
         // event stream, while OpenCode shows its own prompt as well.
         QStringLiteral("it asks at its own prompt too; the first answer counts")},
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

std::optional<QString> npmPrefix(const QString& home) {
    const auto npmrc =
        RegularFile::read(AppPaths::join(home, QStringLiteral(".npmrc")), maxNpmrcBytes);
    if (!npmrc) {
        return std::nullopt;
    }
    QString prefix;
    for (const QByteArray& rawLine : npmrc->split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.startsWith('[')) {
            break; // the keys that follow belong to a section, not to npm's own settings
        }
        const qsizetype equals = line.indexOf('=');
        if (equals > 0 && line.left(equals).trimmed() == "prefix") {
            // The last one wins, as npm reads it.
            prefix = QString::fromUtf8(line.mid(equals + 1).trimmed());
        }
    }
    if (prefix.size() >= 2 && (prefix.front() == u'"' || prefix.front() == u'\'') &&
        prefix.back() == prefix.front()) {
        prefix = prefix.mid(1, prefix.size() - 2);
    }
    if (prefix == u"~" || prefix.startsWith(QStringLiteral("~/"))) {
        prefix = home + prefix.mid(1);
    }
    if (!QDir::isAbsolutePath(prefix)) {
        return std::nullopt;
    }
    return QDir::cleanPath(prefix);
}

QStringList searchFolders(const QString& home, const QString& nvmDir) {
    const auto inHome = [&home](const char* relative) {
        return AppPaths::join(home, QString::fromLatin1(relative));
    };
    QStringList folders{QStringLiteral("/opt/homebrew/bin/"), QStringLiteral("/usr/local/bin/"),
                        QStringLiteral("/usr/bin/"), inHome(".local/bin/"),
                        inHome(".npm-global/bin/")};
    if (const auto prefix = npmPrefix(home)) {
        folders.append(AppPaths::join(*prefix, QStringLiteral("bin/")));
    }
    for (const QString& folder : NodeRuntime::versionManagerBinFolders(home, nvmDir)) {
        folders.append(folder + u'/');
    }
    folders += {inHome(".bun/bin/"), inHome(".yarn/bin/"), inHome(".local/share/pnpm/"),
                QStringLiteral("/snap/bin/")};
    folders.removeDuplicates();
    return folders;
}

QStringList searchFolders(const QString& home) {
    return searchFolders(home, qEnvironmentVariable("NVM_DIR"));
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
