#include "gate/GateSupervisor.h"

#include "gate/GateConfig.h"
#include "gate/GateLog.h"
#include "gate/GateOutput.h"
#include "gate/GateRecord.h"
#include "gate/GateSecret.h"
#include "gate/GateState.h"
#include "gate/NodeRuntime.h"
#include "gate/SettingsKeys.h"
#include "platform/AppPaths.h"
#include "platform/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
// Ahead of the inherited PATH, which a program started at login may have pared down: what the
// gate starts finds the same Node.js, and the system's tools.
QString gatePathPrefix(const QString& node) {
#ifdef Q_OS_MACOS
    Q_UNUSED(node);
    return QStringLiteral("/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:");
#else
    return QFileInfo(node).absolutePath() + QStringLiteral(":/usr/local/bin:/usr/bin:/bin:");
#endif
}

QByteArray readSmallFile(const QString& path) {
    QFile file(path);
    return QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly) ? file.read(4096)
                                                                      : QByteArray();
}
} // namespace

GateSupervisor::GateSupervisor(const GateEnvironment& environment, GateState& state)
    : m_env(environment)
    , m_state(state)
    , m_installDir(AppPaths::join(m_env.homeFolder, QStringLiteral("bramblekit")))
    , m_supportDir(
          AppPaths::join(m_env.applicationSupportFolder, QStringLiteral("Kestrova Helper"))) {
    m_state.publish(m_state.useExistingGate,
                    m_env.settings->boolean(QString::fromLatin1(SettingsKeys::kUseExisting)));
    connect(&m_launchProbe, &QTimer::timeout, this, &GateSupervisor::probeAfterLaunch);
    // A gate counts as answering once the probe finds the own port served while it runs.
    connect(&m_state, &GateState::changed, this,
            [this] { m_answered = m_answered || (m_process && m_state.helperRunning); });
    adoptRecordedGate();
}

GateSupervisor::~GateSupervisor() = default;

QString GateSupervisor::configPath() const {
    return AppPaths::join(m_supportDir, QString::fromLatin1(GateConfig::fileName));
}

QString GateSupervisor::recordPath() const {
    return AppPaths::join(m_supportDir, QStringLiteral("gate-process.json"));
}

QString GateSupervisor::gateLogPath() const {
    return AppPaths::join(AppPaths::join(m_env.stateFolder, QStringLiteral("kestrova-helper")),
                          QStringLiteral("gate.log"));
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

const std::optional<NodeRuntime::Candidate>& GateSupervisor::node() const {
    if (!m_node) {
        m_node = NodeRuntime::find(
            m_env.resourceFolder,
            NodeRuntime::candidates(m_env.systemNodeCandidates, m_env.homeFolder, m_env.nvmDir));
    }
    return *m_node;
}

std::optional<QString> GateSupervisor::nodePath() const {
    return node() ? std::optional(node()->path) : std::nullopt;
}

QString GateSupervisor::nodeOrigin() const {
    return node() ? node()->origin : QString();
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
    const auto secret = GateSecret::ensure(m_supportDir);
    if (!secret) {
        m_state.publish(m_state.lastError,
                        QStringLiteral("Could not create the gate's key: ") + secret.error());
        return false;
    }
    const QByteArray contents =
        GateConfig::build(m_supportDir, apiKey, m_state.personalRoom,
                          {.port = m_env.ownGatePort,
                           .secretPath = *secret,
                           .hookWaitSeconds = GateConfig::hookWaitSeconds(m_env.settings->string(
                               QString::fromLatin1(SettingsKeys::kHookWait)))});
    if (const auto written = PrivateFiles::writePrivateFile(configPath(), contents); !written) {
        m_state.publish(m_state.lastError,
                        QStringLiteral("Could not write gate config: ") + written.error());
        return false;
    }
    return true;
}

QProcessEnvironment GateSupervisor::processEnvironment(const QString& node) const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"),
                       gatePathPrefix(node) + environment.value(QStringLiteral("PATH")));
    // The gate reaches the same relay as the helper; its config file keeps to its members.
    environment.insert(QStringLiteral("KESTROVA_RELAY_URL"),
                       m_env.relayUrl.toString(QUrl::StripTrailingSlash));
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
         .environment = processEnvironment(*node),
         .outputFile = GateOutput::prepare(gateLogPath())});
    if (!launched) {
        qCWarning(lcGate) << "gate launch failed:" << launched.error();
        m_state.publish(m_state.lastError,
                        QStringLiteral("Could not start gate: ") + launched.error());
        return;
    }
    qCInfo(lcGate) << "gate launched, pid" << (*launched)->pid();
    PrivateFiles::writePrivateFile(recordPath(),
                                   GateRecord::write({(*launched)->identity(), configPath()}));
    watch(std::move(*launched));
    m_answered = false;
    m_launchProbesLeft = static_cast<int>(m_env.launchProbeWindow / m_env.launchProbeInterval);
    m_launchProbe.start(m_env.launchProbeInterval);
}

void GateSupervisor::probeAfterLaunch() {
    if (!m_process || m_answered || m_launchProbesLeft-- <= 0) {
        m_launchProbe.stop();
        return;
    }
    emit m_state.refreshRequested();
}

void GateSupervisor::stop() {
    m_launchProbe.stop();
    if (m_process) {
        qCInfo(lcGate) << "stopping gate, pid" << m_process->pid();
        m_process->stop(m_env.stopGrace);
        m_stoppingProcesses.push_back(std::move(m_process));
        QFile::remove(recordPath());
    }
    emit m_state.refreshRequested();
}

void GateSupervisor::saveMode(bool useExisting) {
    m_state.publish(m_state.useExistingGate, useExisting);
    if (const auto saved = m_env.settings->setBoolean(
            QString::fromLatin1(SettingsKeys::kUseExisting), useExisting);
        !saved) {
        m_state.publish(m_state.lastError,
                        QStringLiteral("Could not save settings: ") + saved.error());
    }
}

void GateSupervisor::chooseUseExistingGate() {
    saveMode(true);
    stop();
    emit m_state.refreshRequested();
}

void GateSupervisor::chooseOwnGate() {
    saveMode(false);
    start();
}

void GateSupervisor::removeSupportFolder() const {
    // The gate's key stays: the agents' settings hold it, whichever account signs in next.
    const QDir folder(m_supportDir);
    for (const QFileInfo& entry : folder.entryInfoList(QDir::AllEntries | QDir::Hidden |
                                                       QDir::System | QDir::NoDotAndDotDot)) {
        if (entry.fileName() == QLatin1String(GateSecret::fileName)) {
            continue;
        }
        if (entry.isDir() && !entry.isSymLink()) {
            QDir(entry.filePath()).removeRecursively();
        } else {
            QFile::remove(entry.filePath());
        }
    }
    folder.rmdir(m_supportDir);
}

void GateSupervisor::look() {
    m_node.reset();
    for (const auto& stopping : m_stoppingProcesses) {
        stopping->checkEnded();
    }
    if (m_process) {
        m_process->checkEnded();
        GateOutput::prepare(gateLogPath());
    }
}

void GateSupervisor::adoptRecordedGate() {
    const auto record = GateRecord::read(readSmallFile(recordPath()));
    if (!record || record->configPath != configPath()) {
        return;
    }
    if (auto adopted = GateProcess::adopt(record->identity, record->configPath)) {
        qCInfo(lcGate) << "took over the gate of an earlier run, pid" << adopted->pid();
        watch(std::move(adopted));
        m_answered = true;
    }
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
        m_launchProbe.stop();
        QFile::remove(recordPath());
        if (!m_answered) {
            // It never served: what it said last is the likeliest reason.
            const QString said = GateOutput::lastLine(gateLogPath());
            m_state.publish(m_state.lastError,
                            QStringLiteral("Gate stopped: ") +
                                (said.isEmpty() ? QStringLiteral("it exited at once") : said));
        }
        m_process.reset();
    }
    std::erase_if(m_stoppingProcesses,
                  [ended](const auto& stopping) { return stopping.get() == ended; });
    emit m_state.refreshRequested();
}
