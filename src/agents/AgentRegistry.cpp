#include "agents/AgentRegistry.h"

#include "account/ErrorText.h"
#include "account/RelayClient.h"
#include "agents/AgentDetection.h"
#include "agents/AgentsLog.h"
#include "gate/GateState.h"
#include "gate/SettingsKeys.h"

#include <QPointer>
#include <QUuid>

using namespace SettingsKeys;

AgentRegistry::AgentRegistry(const GateEnvironment& environment, GateState& state,
                             QNetworkAccessManager& network, const GateSupervisor& supervisor)
    : m_env(environment)
    , m_state(state)
    , m_network(network)
    , m_connections(environment, state, supervisor) {
}

void AgentRegistry::detect() {
    m_state.publish(m_state.detectedAgents,
                    AgentDetection::detectAgents(m_env.homeFolder, m_env.agentSearchFolders));
}

std::optional<QString> AgentRegistry::cliPath(const QString& bin) const {
    return AgentDetection::cliPath(bin, m_env.agentSearchFolders);
}

QString AgentRegistry::hostFingerprint() {
    if (auto stored = m_env.settings->string(QString::fromLatin1(kHostFP));
        stored && !stored->isEmpty()) {
        return *stored;
    }
    QString fresh = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    m_env.settings->setString(QString::fromLatin1(kHostFP), fresh);
    return fresh;
}

void AgentRegistry::forgetRegistration() {
    ++m_run;
    m_state.publish(m_state.registeredAgents, QStringList());
    m_state.publish(m_state.registrationError, std::nullopt);
    m_state.publish(m_state.registrationRefusals, QStringList());
}

void AgentRegistry::registerDetected() {
    const auto apiKey = m_env.settings->string(QString::fromLatin1(kApiKey));
    if (!apiKey || apiKey->isEmpty()) {
        return;
    }
    detect();
    runRegistration(++m_run, m_state.detectedAgents, *apiKey, m_env.machineName(),
                    hostFingerprint());
}

QCoro::Task<> AgentRegistry::runRegistration(int run, QStringList agents, QString apiKey,
                                             QString machineName, QString fingerprint) {
    const QPointer<AgentRegistry> self(this);
    qCInfo(lcAgents) << "registering" << agents.size() << "agents";
    QStringList handles;
    QStringList refusals;
    std::optional<QString> firstError;
    for (const QString& displayName : agents) {
        const auto kind = AgentDetection::agentKind(displayName);
        if (!kind) {
            continue;
        }
        // Named, not temporaries: g++ 12 destroys temporaries of a co_await expression twice.
        OwnedAgentRequest request{.apiKey = apiKey,
                                  .kind = kind->kind,
                                  .machineName = machineName,
                                  .hostFingerprint = fingerprint,
                                  .detectedCli = cliPath(kind->bin),
                                  .displayName =
                                      displayName + QStringLiteral(" on ") + machineName};
        const RelayClient::Connection connection{
            .network = m_network, .baseUrl = m_env.relayUrl, .timeout = m_env.relayTimeout};
        const auto result =
            co_await RelayClient::registerOwnedAgent(connection, std::move(request));
        if (!stillHere(self) || run != m_run) {
            co_return;
        }
        if (result && !result->handle.isEmpty()) {
            handles << result->handle;
        } else if (!result) {
            // The relay may refuse one kind and take the others: each refusal is told.
            const QString why = errorText(result.error());
            firstError = firstError.value_or(why);
            refusals << displayName + QStringLiteral(": ") + why;
            qCInfo(lcAgents) << "registration failed:" << refusals.last();
        }
    }
    m_state.publish(m_state.registrationRefusals, refusals);
    m_state.publish(m_state.registeredAgents, handles);
    m_state.publish(m_state.registrationError, handles.isEmpty() ? firstError : std::nullopt);
}
