#include "gate/GateSupervisor.h"

#include "gate/GateCommand.h"
#include "gate/GateLog.h"
#include "gate/GateOutput.h"
#include "gate/GateState.h"
#include "gate/SettingsKeys.h"

#include <QFileInfo>

GateSupervisor::GateSupervisor(const GateEnvironment& environment, GateState& state)
    : m_env(environment)
    , m_state(state)
    , m_install(m_env.resourceFolder, m_env.homeFolder)
    , m_folder(m_env.applicationSupportFolder, m_env.stateFolder)
    , m_takeOver(m_folder)
    , m_keys(m_env, m_state, m_install, m_folder)
    , m_node({.resourceFolder = m_env.resourceFolder,
              .systemCandidates = m_env.systemNodeCandidates,
              .homeFolder = m_env.homeFolder,
              .nvmDir = m_env.nvmDir}) {
    m_state.publish(m_state.useExistingGate,
                    m_env.settings->boolean(QString::fromLatin1(SettingsKeys::kUseExisting)));
    connect(&m_launchProbe, &QTimer::timeout, this, &GateSupervisor::probeAfterLaunch);
    connect(&m_node, &NodeChoice::versionRead, this, &GateSupervisor::chooseRuntime);
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

void GateSupervisor::chooseRuntime() {
    const bool changed = m_node.choose(NodeRuntime::engines(daemonScript()));
    m_state.publish(m_state.nodeSkipped, m_node.current().skipped);
    if (m_lifecycle == State::ChoosingRuntime) {
        settleRuntime();
    }
    if (changed) {
        emit runtimeChanged();
    }
}

std::optional<QString> GateSupervisor::nodePath() const {
    const auto& runtime = m_node.current().runtime;
    return runtime ? std::optional(runtime->path) : std::nullopt;
}

QString GateSupervisor::nodeOrigin() const {
    const auto& runtime = m_node.current().runtime;
    return runtime ? runtime->origin : QString();
}

std::optional<qint64> GateSupervisor::gateProcessId() const {
    return holding() ? std::optional(m_process->pid()) : std::nullopt;
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
    const auto changed = m_keys.writeConfig();
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
    if (m_node.current().reading) {
        return;
    }
    if (!m_node.current().runtime) {
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
    const auto written = m_keys.writeConfig();
    if (!written) {
        m_state.publish(m_state.lastError, written.error());
        apply(Event::LaunchFailed);
        return;
    }
    const auto built =
        GateCommand::build(m_env, m_folder, m_node.current().runtime->path, daemonScript());
    if (built.withoutLog) {
        m_state.publish(m_state.lastError, *built.withoutLog);
    }
    auto launched = GateProcess::launch(built.command);
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
