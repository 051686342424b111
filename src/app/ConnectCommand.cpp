#include "app/ConnectCommand.h"

#include "agents/AgentConnections.h"
#include "agents/AgentDetection.h"
#include "gate/GateFolder.h"
#include "gate/GateSecret.h"
#include "gate/NodeChoice.h"
#include "gate/NodeRuntime.h"
#include "platform/AppPaths.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>

namespace ConnectCommand {

namespace {

int fail(const QString& message, int status = 1) {
    std::fprintf(stderr, "kestrova-helper: %s\n", qPrintable(message));
    return status;
}

// The agents named, as the script calls them; "all" is every agent found on this computer
// when connecting, and every agent when disconnecting.
std::optional<QStringList> hookNames(const QStringList& words, bool connecting,
                                     const QString& home) {
    QStringList names;
    for (const QString& word : words) {
        if (word == u"all") {
            const QStringList found =
                AgentDetection::detectAgents(home, AgentDetection::searchFolders(home));
            for (const AgentDetection::AgentKind& kind : AgentDetection::agentKinds()) {
                if (!connecting || found.contains(kind.displayName)) {
                    names << kind.hookName;
                }
            }
            continue;
        }
        const auto known =
            std::find_if(AgentDetection::agentKinds().cbegin(), AgentDetection::agentKinds().cend(),
                         [&word](const auto& kind) { return kind.hookName == word; });
        if (known == AgentDetection::agentKinds().cend()) {
            return std::nullopt;
        }
        names << word;
    }
    names.removeDuplicates();
    return names;
}

// The first runtime the script's engines allow, chosen as the helper chooses it; the command
// line waits for the versions to be read.
std::optional<NodeRuntime::Candidate> runtimeFor(const QString& script, const QString& resources,
                                                 const QString& home) {
    NodeChoice node({.resourceFolder = resources,
                     .systemCandidates = NodeRuntime::systemCandidates(),
                     .homeFolder = home,
                     .nvmDir = qEnvironmentVariable("NVM_DIR")});
    const QString engines = NodeRuntime::engines(script);
    node.choose(engines);
    while (node.current().reading) {
        QEventLoop waiting;
        QObject::connect(&node, &NodeChoice::versionRead, &waiting, &QEventLoop::quit);
        waiting.exec();
        node.choose(engines);
    }
    return node.current().runtime;
}

} // namespace

bool handles(int argc, char* argv[]) {
    return argc >= 2 &&
           (std::string_view(argv[1]) == "connect" || std::string_view(argv[1]) == "disconnect");
}

int run(int argc, char* argv[]) {
    const QCoreApplication application(argc, argv);
    const QStringList words = QCoreApplication::arguments().mid(1);
    const bool connecting = words.constFirst() == u"connect";
    const QString home = AppPaths::homeFolder();
    const auto names = hookNames(words.mid(1), connecting, home);
    if (!names || words.size() < 2) {
        return fail(QStringLiteral("usage: kestrova-helper connect|disconnect "
                                   "claude-code|codex|gemini|copilot|opencode|all..."),
                    2);
    }
    if (names->isEmpty()) {
        return fail(
            QStringLiteral("no coding agent found on this computer; name one: "
                           "kestrova-helper connect claude-code|codex|gemini|copilot|opencode"));
    }
    const QString resources = AppPaths::resourceFolder(QCoreApplication::applicationDirPath());
    const QString script = AgentConnections::scriptPath(resources);
    if (resources.isEmpty() || !QFileInfo(script).isFile()) {
        return fail(QStringLiteral("the connect script is missing from this installation"));
    }
    const auto node = runtimeFor(script, resources, home);
    if (!node) {
        return fail(QStringLiteral("Node.js not found (install Node, then retry)"));
    }
    // The helper's own gate folder: the key the hooks and MCP entries name is the one it uses.
    const GateFolder folder(AppPaths::dataHome(), AppPaths::stateHome());
    const AgentConnections::Setup setup{
        .node = node->path,
        .script = script,
        .hook =
            AppPaths::join(QCoreApplication::applicationDirPath(), QStringLiteral("kestrova-hook")),
        .secretFile = GateSecret::path(folder.path()),
        .home = home};
    const int status = QProcess::execute(
        setup.node,
        AgentConnections::arguments(
            setup, connecting ? QStringLiteral("connect") : QStringLiteral("disconnect"), *names));
    return status < 0 ? fail(QStringLiteral("could not run Node.js: ") + setup.node) : status;
}

} // namespace ConnectCommand
