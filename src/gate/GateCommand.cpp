#include "gate/GateCommand.h"

#include "gate/GateLog.h"
#include "gate/GateOutput.h"
#include "gate/NodeRuntime.h"
#include "platform/AppPaths.h"

#include <QFileInfo>

namespace GateCommand {

namespace {

// Ahead of the inherited PATH, which a program started at login may have pared down: what the
// gate starts finds the same Node.js, and the system's tools.
QString gatePathPrefix(const QString& node) {
    return QFileInfo(node).absolutePath() + QStringLiteral(":/usr/local/bin:/usr/bin:/bin:");
}

QProcessEnvironment processEnvironment(const GateEnvironment& env, const QString& node) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"),
                       gatePathPrefix(node) + environment.value(QStringLiteral("PATH")));
    // The gate reaches the same relay as the helper; its config file keeps to its members.
    environment.insert(QStringLiteral("KESTROVA_RELAY_URL"),
                       env.relayUrl.toString(QUrl::StripTrailingSlash));
    // A launcher's one-time tokens are the helper's own; a gate that outlives it has no use for
    // them.
    environment.remove(QStringLiteral("DESKTOP_STARTUP_ID"));
    environment.remove(QStringLiteral("XDG_ACTIVATION_TOKEN"));
    return environment;
}

} // namespace

Built build(const GateEnvironment& environment, const GateFolder& folder, const QString& node,
            const QString& daemonScript) {
    Built built{
        .command = {.program = node,
                    .arguments = {daemonScript, QStringLiteral("--config"), folder.configPath()},
                    .workingDirectory = folder.path(),
                    .environment = processEnvironment(environment, node),
                    .logWriter = {}},
        .withoutLog = std::nullopt};
    const QString writer =
        AppPaths::join(environment.resourceFolder, QStringLiteral("kestrova-gate-log"));
    if (environment.resourceFolder.isEmpty() || !NodeRuntime::isExecutableFile(writer)) {
        qCWarning(lcGate) << "no log writer in the resource folder: the gate's output is dropped";
    } else if (const auto prepared = GateOutput::prepare(folder.logPath()); !prepared) {
        built.withoutLog = QStringLiteral("The gate runs without a log: ") + prepared.error();
    } else {
        built.command.logWriter = {writer, folder.logPath(), GateOutput::launchLine()};
    }
    return built;
}

} // namespace GateCommand
