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
#include "platform/RegularFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <unistd.h>

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
    connect(&m_versions, &NodeVersions::read, this, &GateSupervisor::chooseRuntime);
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

void GateSupervisor::chooseRuntime() {
    m_runtime = NodeRuntime::choose(
        m_env.resourceFolder,
        NodeRuntime::candidates(m_env.systemNodeCandidates, m_env.homeFolder, m_env.nvmDir),
        NodeRuntime::engines(daemonScript()),
        [this](const QString& node) { return m_versions.of(node); });
    m_state.publish(m_state.nodeSkipped, m_runtime.skipped);
    if (m_startWhenRead && !m_runtime.reading) {
        start();
    }
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

std::optional<bool> GateSupervisor::writeConfig(const QString& apiKey) {
    const auto secret = GateSecret::ensure(m_supportDir);
    if (!secret) {
        m_state.publish(m_state.lastError,
                        QStringLiteral("Could not create the gate's key: ") + secret.error());
        return std::nullopt;
    }
    const QByteArray contents =
        GateConfig::build(m_supportDir, apiKey, m_state.personalRoom,
                          {.port = m_env.ownGatePort,
                           .secretPath = *secret,
                           .hookWaitSeconds = GateConfig::hookWaitSeconds(m_env.settings->string(
                               QString::fromLatin1(SettingsKeys::kHookWait)))});
    const bool changed = RegularFile::read(configPath(), contents.size() + 1) != contents;
    if (const auto written = PrivateFiles::writePrivateFile(configPath(), contents); !written) {
        m_state.publish(m_state.lastError,
                        QStringLiteral("Could not write gate config: ") + written.error());
        return std::nullopt;
    }
    return changed;
}

QProcessEnvironment GateSupervisor::processEnvironment(const QString& node) const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"),
                       gatePathPrefix(node) + environment.value(QStringLiteral("PATH")));
    // The gate reaches the same relay as the helper; its config file keeps to its members.
    environment.insert(QStringLiteral("KESTROVA_RELAY_URL"),
                       m_env.relayUrl.toString(QUrl::StripTrailingSlash));
    // A launcher's one-time tokens are the helper's own; a gate that outlives it has no use for
    // them.
    environment.remove(QStringLiteral("DESKTOP_STARTUP_ID"));
    environment.remove(QStringLiteral("XDG_ACTIVATION_TOKEN"));
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
    // Not a runtime whose version is yet to be read: it may be one the gate cannot run on. The
    // launch waits for the reading, beside the event loop (a few seconds at most).
    m_startWhenRead = m_runtime.reading;
    if (m_startWhenRead) {
        return;
    }
    const auto node = nodePath();
    if (!node) {
        m_state.publish(m_state.lastError,
                        QStringLiteral("Node.js not found (install Node, then retry)."));
        return;
    }
    takeOverServingGate();
    const auto changed = writeConfig(*key);
    if (!changed) {
        return;
    }
    if (m_process && *changed) {
        // It read the older key (or room): a gate on the new one takes its place.
        qCInfo(lcGate) << "the gate's config changed: restarting it";
        stopHeld();
        m_relaunch = true;
    }
    if (m_process || m_relaunch) {
        emit m_state.refreshRequested();
        return;
    }
    auto launched = GateProcess::launch(
        {.program = *node,
         .arguments = {daemonScript(), QStringLiteral("--config"), configPath()},
         .workingDirectory = m_supportDir,
         .environment = processEnvironment(*node),
         .logWriter = logWriter()});
    if (!launched) {
        qCWarning(lcGate) << "gate launch failed:" << launched.error();
        m_state.publish(m_state.lastError,
                        QStringLiteral("Could not start gate: ") + launched.error());
        return;
    }
    qCInfo(lcGate) << "gate launched, pid" << (*launched)->pid();
    watch(std::move(*launched));
    writeRecord();
    m_answered = false;
    m_launchProbesLeft = static_cast<int>(m_env.launchProbeWindow / m_env.launchProbeInterval);
    m_launchProbe.start(m_env.launchProbeInterval);
}

QStringList GateSupervisor::logWriter() {
    const QString writer =
        AppPaths::join(m_env.resourceFolder, QStringLiteral("kestrova-gate-log"));
    if (m_env.resourceFolder.isEmpty() || !NodeRuntime::isExecutableFile(writer)) {
        qCWarning(lcGate) << "no log writer in the resource folder: the gate's output is dropped";
        return {};
    }
    if (const auto prepared = GateOutput::prepare(gateLogPath()); !prepared) {
        m_state.publish(m_state.lastError,
                        QStringLiteral("The gate runs without a log: ") + prepared.error());
        return {};
    }
    return {writer, gateLogPath(), GateOutput::launchLine()};
}

void GateSupervisor::probeAfterLaunch() {
    if (!m_process || m_answered || m_launchProbesLeft-- <= 0) {
        m_launchProbe.stop();
        return;
    }
    emit m_state.refreshRequested();
}

void GateSupervisor::stop() {
    m_relaunch = false;
    m_startWhenRead = false;
    takeOverServingGate();
    stopHeld();
    emit m_state.refreshRequested();
}

void GateSupervisor::stopHeld() {
    m_launchProbe.stop();
    if (m_process) {
        qCInfo(lcGate) << "stopping gate, pid" << m_process->pid();
        m_process->stop(m_env.stopGrace);
        m_stoppingProcesses.push_back(std::move(m_process));
        QFile::remove(recordPath());
    }
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
    chooseRuntime();
    for (const auto& stopping : m_stoppingProcesses) {
        stopping->checkEnded();
    }
    if (m_process) {
        m_process->checkEnded();
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

bool GateSupervisor::serves(const ListeningSockets::Listener& listener) {
    takeOver(listener.inode);
    return m_process && m_process->holds(listener.inode);
}

void GateSupervisor::takeOverServingGate() {
    if (m_process) {
        return;
    }
    const auto listener = ListeningSockets::loopbackListener(m_env.ownGatePort);
    if (listener && *listener && (*listener)->uid == ::getuid()) {
        takeOver((*listener)->inode);
    }
}

void GateSupervisor::takeOver(quint64 socketInode) {
    if (m_process || socketInode == m_notOurs) {
        return;
    }
    // Our daemon, on our config: a gate that no record names (the record could not be
    // written, or the helper ended between the launch and the record, or before a stopped
    // gate was seen to end).
    for (const qint64 pid : ListeningSockets::holders(socketInode)) {
        const bool stopping = std::ranges::any_of(
            m_stoppingProcesses, [pid](const auto& stopped) { return stopped->pid() == pid; });
        if (stopping) {
            return; // asked to end, and not to be taken back while it does
        }
        if (auto adopted = GateProcess::adopt(GateProcess::identityOf(pid), configPath())) {
            qCInfo(lcGate) << "took over the gate serving the port, pid" << pid;
            watch(std::move(adopted));
            m_answered = true;
            writeRecord();
            return;
        }
    }
    m_notOurs = socketInode;
}

void GateSupervisor::writeRecord() const {
    const QByteArray record = GateRecord::write({m_process->identity(), configPath()});
    if (const auto written = PrivateFiles::writePrivateFile(recordPath(), record); !written) {
        qCWarning(lcGate) << "could not record the gate (a later run finds it by its port):"
                          << written.error();
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
    if (m_relaunch && m_stoppingProcesses.empty()) {
        m_relaunch = false;
        start();
    }
    emit m_state.refreshRequested();
}
