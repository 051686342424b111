#include "gate/GateSupervisor.h"

#include "gate/GateConfig.h"
#include "gate/GateLog.h"
#include "gate/GateOutput.h"
#include "gate/GateState.h"
#include "gate/SettingsKeys.h"
#include "platform/AppPaths.h"

#include <QFileInfo>

namespace {
// Ahead of the inherited PATH, which a program started at login may have pared down: what the
// gate starts finds the same Node.js, and the system's tools.
QString gatePathPrefix(const QString& node) {
    return QFileInfo(node).absolutePath() + QStringLiteral(":/usr/local/bin:/usr/bin:/bin:");
}
} // namespace

GateSupervisor::GateSupervisor(const GateEnvironment& environment, GateState& state)
    : m_env(environment)
    , m_state(state)
    , m_installDir(AppPaths::join(m_env.homeFolder, QStringLiteral("bramblekit")))
    , m_folder(m_env.applicationSupportFolder, m_env.stateFolder)
    , m_takeOver(m_folder) {
    m_state.publish(m_state.useExistingGate,
                    m_env.settings->boolean(QString::fromLatin1(SettingsKeys::kUseExisting)));
    connect(&m_launchProbe, &QTimer::timeout, this, &GateSupervisor::probeAfterLaunch);
    connect(&m_versions, &NodeVersions::read, this, &GateSupervisor::chooseRuntime);
    if (auto recorded = m_takeOver.recorded()) {
        takeOver(std::move(recorded));
    }
}

GateSupervisor::~GateSupervisor() = default;

void GateSupervisor::apply(Event event) {
    const State from = m_lifecycle;
    const auto to = GateLifecycle::next(from, event);
    if (!to) {
        qCDebug(lcGate).noquote() << "gate" << GateLifecycle::nameOf(from) << "ignores"
                                  << GateLifecycle::nameOf(event);
        return;
    }
    qCInfo(lcGate).noquote() << "gate" << GateLifecycle::nameOf(from) << "->"
                             << GateLifecycle::nameOf(*to) << "on" << GateLifecycle::nameOf(event);
    m_lifecycle = *to;
    enter(from);
}

void GateSupervisor::enter(State from) {
    if (from == State::Launching) {
        m_launchProbe.stop();
    }
    switch (m_lifecycle) {
    case State::ChoosingRuntime:
        settleRuntime();
        break;
    case State::Launching:
        m_launchProbesLeft = static_cast<int>(m_env.launchProbeWindow / m_env.launchProbeInterval);
        m_launchProbe.start(m_env.launchProbeInterval);
        break;
    case State::Stopping:
    case State::Restarting:
        // From a held gate; one that already stops is left to end.
        if (from != State::Stopping && from != State::Restarting) {
            qCInfo(lcGate) << "stopping gate, pid" << m_process->pid();
            m_process->stop(m_env.stopGrace);
            m_folder.removeRecord();
        }
        break;
    case State::Stopped:
    case State::Failed:
    case State::Serving:
    case State::TakenOver:
        break;
    }
}

bool GateSupervisor::holding() const {
    return m_lifecycle == State::Launching || m_lifecycle == State::Serving ||
           m_lifecycle == State::TakenOver;
}

bool GateSupervisor::mayTakeOver() const {
    return !m_process && GateLifecycle::next(m_lifecycle, Event::Found).has_value();
}

void GateSupervisor::takeOver(std::unique_ptr<GateProcess> found) {
    const bool starting = m_lifecycle == State::ChoosingRuntime;
    hold(std::move(found));
    apply(Event::Found);
    if (starting) {
        keepConfigCurrent();
    }
}

void GateSupervisor::hold(std::unique_ptr<GateProcess> process) {
    const GateProcess* const watched = process.get();
    // Queued: the process is let go of after its own signal has returned.
    connect(
        watched, &GateProcess::exited, this, [this, watched] { ended(watched); },
        Qt::QueuedConnection);
    m_process = std::move(process);
}

void GateSupervisor::ended(const GateProcess* process) {
    if (process != m_process.get()) {
        return;
    }
    qCInfo(lcGate) << "gate ended, pid" << process->pid();
    if (holding()) {
        m_folder.removeRecord();
    }
    if (m_lifecycle == State::Launching) {
        // It never served: what it said last is the likeliest reason.
        const QString said = GateOutput::lastLine(gateLogPath());
        m_state.publish(m_state.lastError,
                        QStringLiteral("Gate stopped: ") +
                            (said.isEmpty() ? QStringLiteral("it exited at once") : said));
    }
    m_process.reset();
    apply(Event::Ended);
    emit m_state.refreshRequested();
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
    const auto before = m_runtime.runtime;
    m_runtime = NodeRuntime::choose(
        m_env.resourceFolder,
        NodeRuntime::candidates(m_env.systemNodeCandidates, m_env.homeFolder, m_env.nvmDir),
        NodeRuntime::engines(daemonScript()),
        [this](const QString& node) { return m_versions.of(node); });
    m_state.publish(m_state.nodeSkipped, m_runtime.skipped);
    if (m_lifecycle == State::ChoosingRuntime) {
        settleRuntime();
    }
    if (m_runtime.runtime != before) {
        emit runtimeChanged();
    }
}

std::optional<QString> GateSupervisor::nodePath() const {
    return m_runtime.runtime ? std::optional(m_runtime.runtime->path) : std::nullopt;
}

QString GateSupervisor::nodeOrigin() const {
    return m_runtime.runtime ? m_runtime.runtime->origin : QString();
}

std::optional<qint64> GateSupervisor::gateProcessId() const {
    return holding() ? std::optional(m_process->pid()) : std::nullopt;
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

std::expected<bool, QString> GateSupervisor::writeConfig() const {
    const auto key = apiKey();
    if (!key) {
        return std::unexpected(QStringLiteral("Sign in first to start local approvals."));
    }
    return m_folder.writeConfig(
        *key, m_state.personalRoom, m_env.ownGatePort,
        m_env.settings->string(QString::fromLatin1(SettingsKeys::kHookWait)));
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
    if (!apiKey()) {
        m_state.publish(m_state.lastError,
                        QStringLiteral("Sign in first to start local approvals."));
        return;
    }
    if (!QFileInfo(daemonScript()).isFile()) {
        m_state.publish(m_state.lastError, QStringLiteral("Gate daemon missing from app bundle."));
        m_env.openUrl(m_env.webUrl);
        return;
    }
    if (holding()) {
        keepConfigCurrent();
        emit m_state.refreshRequested();
        return;
    }
    apply(Event::Start);
}

void GateSupervisor::keepConfigCurrent() {
    const auto changed = writeConfig();
    if (!changed) {
        m_state.publish(m_state.lastError, changed.error());
    } else if (*changed) {
        // It read the older key (or room): a gate on the new one takes its place.
        qCInfo(lcGate) << "the gate's config changed: restarting it";
        apply(Event::ConfigChanged);
    }
}

void GateSupervisor::settleRuntime() {
    // Not a runtime whose version is yet to be read: it may be one the gate cannot run on. The
    // launch waits for the reading, beside the event loop (a few seconds at most).
    if (m_runtime.reading) {
        return;
    }
    if (!m_runtime.runtime) {
        m_state.publish(m_state.lastError,
                        QStringLiteral("Node.js not found (install Node, then retry)."));
        apply(Event::NoRuntime);
        return;
    }
    if (auto serving = m_takeOver.serving(m_env.ownGatePort)) {
        takeOver(std::move(serving));
        return;
    }
    launch();
}

void GateSupervisor::launch() {
    const auto written = writeConfig();
    if (!written) {
        m_state.publish(m_state.lastError, written.error());
        apply(Event::LaunchFailed);
        return;
    }
    const QString node = m_runtime.runtime->path;
    auto launched = GateProcess::launch(
        {.program = node,
         .arguments = {daemonScript(), QStringLiteral("--config"), configPath()},
         .workingDirectory = supportDir(),
         .environment = processEnvironment(node),
         .logWriter = logWriter()});
    if (!launched) {
        qCWarning(lcGate) << "gate launch failed:" << launched.error();
        m_state.publish(m_state.lastError,
                        QStringLiteral("Could not start gate: ") + launched.error());
        apply(Event::LaunchFailed);
        return;
    }
    qCInfo(lcGate) << "gate launched, pid" << (*launched)->pid();
    hold(std::move(*launched));
    m_folder.writeRecord(m_process->identity());
    apply(Event::Launched);
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
    if (m_lifecycle != State::Launching || m_launchProbesLeft-- <= 0) {
        m_launchProbe.stop();
        return;
    }
    emit m_state.refreshRequested();
}

void GateSupervisor::stop() {
    // A gate of ours that serves with no record is stopped too.
    if (mayTakeOver()) {
        if (auto serving = m_takeOver.serving(m_env.ownGatePort)) {
            takeOver(std::move(serving));
        }
    }
    apply(Event::Stop);
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
}

void GateSupervisor::chooseOwnGate() {
    saveMode(false);
    start();
}

void GateSupervisor::look() {
    chooseRuntime();
    if (m_process) {
        m_process->checkEnded();
    }
}

bool GateSupervisor::serves(const ListeningSockets::Listener& listener) {
    if (mayTakeOver()) {
        if (auto found = m_takeOver.holding(listener.inode)) {
            takeOver(std::move(found));
        }
    }
    const bool held = holding() && m_process->holds(listener.inode);
    if (held) {
        apply(Event::Answered);
    }
    return held;
}
