#include "account/ErrorText.h"
#include "agents/AgentDetection.h"
#include "gate/GateController.h"

#include <QUuid>

using namespace SettingsKeys;

QString GateController::hostFingerprint() {
    if (auto stored = m_env.settings->string(QString::fromLatin1(kHostFP));
        stored && !stored->isEmpty()) {
        return *stored;
    }
    QString fresh = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    m_env.settings->setString(QString::fromLatin1(kHostFP), fresh);
    return fresh;
}

void GateController::registerDetectedAgents() {
    const auto apiKey = storedApiKey();
    if (!apiKey || apiKey->isEmpty()) {
        return;
    }
    detectAgents();
    runRegistration(m_detectedAgents, *apiKey, m_env.machineName(), hostFingerprint());
}

QCoro::Task<> GateController::runRegistration(QStringList agents, QString apiKey,
                                              QString machineName, QString fingerprint) {
    const QPointer<GateController> self(this);
    QStringList handles;
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
        const RelayClient::Connection connection = relayConnection();
        const auto result =
            co_await RelayClient::registerOwnedAgent(connection, std::move(request));
        if (!stillHere(self)) {
            co_return;
        }
        if (result && !result->handle.isEmpty()) {
            handles << result->handle;
        } else if (!result && !firstError) {
            firstError = errorText(result.error());
        }
    }
    publish(m_registeredAgents, handles);
    publish(m_registrationError, handles.isEmpty() ? firstError : std::nullopt);
}
