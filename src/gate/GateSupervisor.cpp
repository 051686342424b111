#include "gate/GateSupervisor.h"

#include "gate/GateConfig.h"
#include "gate/GateLog.h"
#include "gate/GateState.h"
#include "gate/NodeRuntime.h"
#include "gate/SettingsKeys.h"
#include "platform/AppPaths.h"
#include "platform/PrivateFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>

namespace {
// Where Node.js and the tools the gate calls live on the common installs, ahead of the
// inherited PATH, which a program started at login may have pared down.
constexpr char gatePathPrefix[] = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:";
} // namespace

GateSupervisor::GateSupervisor(const GateEnvironment& environment, GateState& state)
    : m_env(environment)
    , m_state(state)
    , m_installDir(AppPaths::join(m_env.homeFolder, QStringLiteral("bramblekit")))
    , m_supportDir(
          AppPaths::join(m_env.applicationSupportFolder, QStringLiteral("Kestrova Helper"))) {
    m_state.publish(m_state.useExistingGate,
                    m_env.settings->boolean(QString::fromLatin1(SettingsKeys::kUseExisting)));
}

GateSupervisor::~GateSupervisor() = default;

QString GateSupervisor::configPath() const {
    return AppPaths::join(m_supportDir, QString::fromLatin1(GateConfig::fileName));
}

QString GateSupervisor::scriptInBundle() const {
    if (m_env.resourceFolder.isEmpty()) {
        return {};
    }
    return AppPaths::join(m_env.resourceFolder, QStringLiteral("Daemon/bin/bk-mcp-daemon.mjs"));
}

bool GateSupervisor::daemonBundled() const {
    const QString bundled = scriptInBundle();
    return !bundled.isEmpty() && QFileInfo(bundled).isFile();
}

QString GateSupervisor::daemonScript() const {
    return daemonBundled() ? scriptInBundle()
                           : AppPaths::join(m_installDir, QStringLiteral("bin/bk-mcp-daemon.mjs"));
}

std::optional<QString> GateSupervisor::bundledNode() const {
    return NodeRuntime::bundledNode(m_env.resourceFolder);
}

std::optional<QString> GateSupervisor::nodePath() const {
    return NodeRuntime::resolve(m_env.resourceFolder, m_env.systemNodeCandidates);
}

std::optional<qint64> GateSupervisor::gateProcessId() const {
    return m_process ? std::optional(m_process->pid()) : std::nullopt;
}

std::optional<QString> GateSupervisor::apiKey() const {
    auto key = m_env.settings->string(QString::fromLatin1(SettingsKeys::kApiKey));
    return key && !key->isEmpty() ? key : std::nullopt;
}

std::optional<QString> GateSupervisor::pairingKey() const {
    if (!m_state.useExistingGate) {
        if (auto key = apiKey()) {
            return key;
        }
    }
    if (auto existing = GateConfig::readPollerApiKey(
            AppPaths::join(m_installDir, QString::fromLatin1(GateConfig::fileName)))) {
        return existing;
    }
    return m_env.settings->string(QString::fromLatin1(SettingsKeys::kApiKey));
}

bool GateSupervisor::writeConfig(const QString& apiKey) {
    // A failure to create the folder shows up as the write's own failure below.
    PrivateFiles::makePrivateFolder(m_supportDir);
    const QByteArray contents =
        GateConfig::build(m_supportDir, apiKey, m_state.personalRoom, m_env.ownGatePort);
    if (const auto written = PrivateFiles::writePrivateFile(configPath(), contents); !written) {
        m_state.publish(m_state.lastError,
                        QStringLiteral("Could not write gate config: ") + written.error());
        return false;
    }
    return true;
}

QProcessEnvironment GateSupervisor::processEnvironment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), QString::fromLatin1(gatePathPrefix) +
                                                   environment.value(QStringLiteral("PATH")));
    return environment;
}

void GateSupervisor::start() {
    if (m_state.useExistingGate) {
        return;
    }
    const auto key = apiKey();
    if (!key) {
        m_state.publish(m_state.lastError,
                        QStringLiteral("Sign in first to start local approvals."));
        return;
    }
    if (!QFileInfo(daemonScript()).isFile()) {
        m_state.publish(m_state.lastError, QStringLiteral("Gate daemon missing from app bundle."));
        m_env.openUrl(m_env.webUrl);
        return;
    }
    const auto node = nodePath();
    if (!node) {
        m_state.publish(m_state.lastError,
                        QStringLiteral("Node.js not found (install Node, then retry)."));
        return;
    }
    if (!writeConfig(*key)) {
        return;
    }
    if (m_process) {
        emit m_state.refreshRequested();
        return;
    }
    auto launched = GateProcess::launch(
        {.program = *node,
         .arguments = {daemonScript(), QStringLiteral("--config"), configPath()},
         .workingDirectory = m_supportDir,
         .environment = processEnvironment()});
    if (!launched) {
        qCWarning(lcGate) << "gate launch failed:" << launched.error();
        m_state.publish(m_state.lastError,
                        QStringLiteral("Could not start gate: ") + launched.error());
        return;
    }
    qCInfo(lcGate) << "gate launched, pid" << (*launched)->pid();
    watch(std::move(*launched));
    QTimer::singleShot(m_env.launchProbeDelay, this, [this] { emit m_state.refreshRequested(); });
}

void GateSupervisor::stop() {
    if (m_process) {
        qCInfo(lcGate) << "stopping gate, pid" << m_process->pid();
        m_process->terminate();
        m_stoppingProcesses.push_back(std::move(m_process));
    }
    emit m_state.refreshRequested();
}

void GateSupervisor::chooseUseExistingGate() {
    m_state.publish(m_state.useExistingGate, true);
    m_env.settings->setBoolean(QString::fromLatin1(SettingsKeys::kUseExisting), true);
    stop();
    emit m_state.refreshRequested();
}

void GateSupervisor::chooseOwnGate() {
    m_state.publish(m_state.useExistingGate, false);
    m_env.settings->setBoolean(QString::fromLatin1(SettingsKeys::kUseExisting), false);
    start();
}

void GateSupervisor::removeSupportFolder() const {
    QDir(m_supportDir).removeRecursively();
}

void GateSupervisor::watch(std::unique_ptr<GateProcess> process) {
    GateProcess* const watched = process.get();
    connect(
        watched, &GateProcess::exited, this, [this, watched] { forget(watched); },
        Qt::QueuedConnection);
    m_process = std::move(process);
}

void GateSupervisor::forget(GateProcess* ended) {
    qCInfo(lcGate) << "gate ended, pid" << ended->pid();
    // Only the gate that ended is forgotten: a newer one launched meanwhile stays known.
    if (m_process.get() == ended) {
        m_process.reset();
    }
    std::erase_if(m_stoppingProcesses,
                  [ended](const auto& stopping) { return stopping.get() == ended; });
    emit m_state.refreshRequested();
}
