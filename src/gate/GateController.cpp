#include "gate/GateController.h"

#include "platform/AppPaths.h"

#include <QNetworkReply>
#include <QTimer>

GateController::GateController(GateEnvironment environment, QObject* parent)
    : QObject(parent)
    , m_env(std::move(environment))
    , m_supervisor(m_env, m_state)
    , m_monitor(m_env, m_state, *m_env.network, m_supervisor)
    , m_events(m_env, m_state) {
    connect(&m_state, &GateState::changed, this, &GateController::changed);
    connect(&m_state, &GateState::probed, this, &GateController::probed);
    connect(&m_state, &GateState::refreshRequested, this, &GateController::refresh);
    const ControllerPartsContext parts{.environment = m_env,
                                       .state = m_state,
                                       .supervisor = m_supervisor,
                                       .network = *m_env.network};
    m_agents = m_env.makeAgents(parts);
    m_account = m_env.makeAccount(parts, *m_agents);
    if (m_env.lookAtStart) {
        refresh();
    }
    m_state.publish(m_state.launchAtLogin, m_env.loginItem->isEnabled());
    // Registrations are not remembered between runs: a signed-in start registers again, so the
    // welcome window never shows a registration as running when none is, and agents installed
    // since are added. Signed out, it does nothing. Once the event loop runs: the windows come
    // first.
    QTimer::singleShot(0, this, [this] { m_agents->registerDetected(); });
}

GateController::~GateController() {
    // Work still waiting on a request resumes when the request is aborted below; it must not
    // publish into a controller that is going away.
    m_state.close();
    for (QNetworkReply* reply : m_env.network->findChildren<QNetworkReply*>()) {
        reply->abort();
    }
}

void GateController::refresh() {
    m_supervisor.look();
    m_agents->detect();
    m_agents->readConnections();
    m_events.retry();
    // Runs on by itself; the last cycle to finish wins.
    m_monitor.probe();
}

QString GateController::receiptsPath() const {
    return AppPaths::join(m_supervisor.supportDir(), QStringLiteral("receipts.jsonl"));
}

void GateController::setLaunchAtLogin(bool enabled) {
    if (const auto registered = m_env.loginItem->setRegistered(enabled); !registered) {
        m_state.publish(m_state.lastError, QStringLiteral("Start at login: ") + registered.error());
    }
    m_state.publish(m_state.launchAtLogin, m_env.loginItem->isEnabled());
}
