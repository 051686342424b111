#include "gate/GateConfig.h"
#include "gate/GateController.h"
#include "gate/NodeRuntime.h"
#include "platform/AppPaths.h"
#include "platform/PrivateFiles.h"

#include <QFileInfo>
#include <QTimer>

namespace {
// Where Node.js and the tools the gate calls live on the common installs, ahead of the
// inherited PATH, which a program started at login may have pared down.
constexpr char gatePathPrefix[] = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:";
} // namespace

QString GateController::scriptInBundle() const {
    if (m_env.resourceFolder.isEmpty()) {
        return {};
    }
    return AppPaths::join(m_env.resourceFolder, QStringLiteral("Daemon/bin/bk-mcp-daemon.mjs"));
}

bool GateController::daemonBundled() const {
    const QString bundled = scriptInBundle();
    return !bundled.isEmpty() && QFileInfo(bundled).isFile();
}

QString GateController::daemonScript() const {
    return daemonBundled() ? scriptInBundle()
                           : AppPaths::join(m_installDir, QStringLiteral("bin/bk-mcp-daemon.mjs"));
}

std::optional<QString> GateController::bundledNode() const {
    return NodeRuntime::bundledNode(m_env.resourceFolder);
}

std::optional<QString> GateController::nodePath() const {
    return NodeRuntime::resolve(m_env.resourceFolder, m_env.systemNodeCandidates);
}

std::optional<qint64> GateController::gateProcessId() const {
    return m_process ? std::optional(m_process->pid()) : std::nullopt;
}

bool GateController::writeHelperConfig(const QString& apiKey, const std::optional<QString>& room) {
    // A failure to create the folder shows up as the write's own failure below.
    PrivateFiles::makePrivateFolder(m_supportDir);
    const QByteArray contents = GateConfig::build(m_supportDir, apiKey, room, m_env.ownGatePort);
    if (const auto written = PrivateFiles::writePrivateFile(configPath(), contents); !written) {
        publish(m_lastError, QStringLiteral("Could not write gate config: ") + written.error());
        return false;
    }
    return true;
}

QProcessEnvironment GateController::gateProcessEnvironment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), QString::fromLatin1(gatePathPrefix) +
                                                   environment.value(QStringLiteral("PATH")));
    return environment;
}

void GateController::startHelperGate() {
    if (m_useExistingGate) {
        return;
    }
    const auto apiKey = storedApiKey();
    if (!apiKey || apiKey->isEmpty()) {
        publish(m_lastError, QStringLiteral("Sign in first to start local approvals."));
        return;
    }
    if (!QFileInfo(daemonScript()).isFile()) {
        publish(m_lastError, QStringLiteral("Gate daemon missing from app bundle."));
        m_env.openUrl(m_env.webUrl);
        return;
    }
    const auto node = nodePath();
    if (!node) {
        publish(m_lastError, QStringLiteral("Node.js not found (install Node, then retry)."));
        return;
    }
    if (!writeHelperConfig(*apiKey, m_personalRoom)) {
        return;
    }
    if (m_process) {
        refresh();
        return;
    }
    auto launched = GateProcess::launch(
        {.program = *node,
         .arguments = {daemonScript(), QStringLiteral("--config"), configPath()},
         .workingDirectory = m_supportDir,
         .environment = gateProcessEnvironment()});
    if (!launched) {
        publish(m_lastError, QStringLiteral("Could not start gate: ") + launched.error());
        return;
    }
    watch(std::move(*launched));
    QTimer::singleShot(m_env.launchProbeDelay, this, &GateController::refresh);
}

void GateController::stopHelperGate() {
    if (m_process) {
        m_process->terminate();
        m_stoppingProcesses.push_back(std::move(m_process));
    }
    refresh();
}

void GateController::watch(std::unique_ptr<GateProcess> process) {
    GateProcess* const watched = process.get();
    connect(
        watched, &GateProcess::exited, this, [this, watched] { forget(watched); },
        Qt::QueuedConnection);
    m_process = std::move(process);
}

void GateController::forget(GateProcess* ended) {
    // Only the gate that ended is forgotten: a newer one launched meanwhile stays known.
    if (m_process.get() == ended) {
        m_process.reset();
    }
    std::erase_if(m_stoppingProcesses,
                  [ended](const auto& stopping) { return stopping.get() == ended; });
    refresh();
}
