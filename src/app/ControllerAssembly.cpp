#include "app/ControllerAssembly.h"

#include "BuildConfig.h"
#include "account/AccountSession.h"
#include "agents/AgentDetection.h"
#include "agents/AgentRegistry.h"
#include "gate/NodeRuntime.h"
#include "platform/AppPaths.h"
#include "platform/HostNames.h"
#include "platform/XdgAutostartEntry.h"

#include <QCoreApplication>
#include <QDesktopServices>

namespace ControllerAssembly {

void plugInParts(GateEnvironment& environment) {
    environment.makeAgents = [](const ControllerPartsContext& parts) {
        return std::make_unique<AgentRegistry>(parts.environment, parts.state, parts.network,
                                               parts.supervisor);
    };
    environment.makeAccount = [](const ControllerPartsContext& parts, AgentOperations& agents) {
        return std::make_unique<AccountSession>(parts.environment, parts.state, parts.supervisor,
                                                agents, parts.network);
    };
}

GateEnvironment production(std::shared_ptr<SignInSheet> signInSheet,
                           std::shared_ptr<QNetworkAccessManager> network) {
    GateEnvironment environment;
    environment.homeFolder = AppPaths::homeFolder();
    environment.applicationSupportFolder = AppPaths::dataHome();
    environment.stateFolder = AppPaths::stateHome();
    environment.resourceFolder = AppPaths::resourceFolder(QCoreApplication::applicationDirPath());
    environment.hookProgram =
        AppPaths::join(QCoreApplication::applicationDirPath(), QStringLiteral("kestrova-hook"));
    environment.settings = SettingsStore::openUserStore();
    environment.network = std::move(network);
    environment.systemNodeCandidates = NodeRuntime::systemCandidates();
    environment.nvmDir = qEnvironmentVariable("NVM_DIR");
    environment.agentSearchFolders = AgentDetection::searchFolders(environment.homeFolder);
    environment.webUrl = QUrl(QString::fromUtf8(BuildConfig::webUrl));
    environment.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    environment.loginItem = std::make_shared<XdgAutostartEntry>(
        XdgAutostartEntry::userAutostartFolder(), QString::fromUtf8(BuildConfig::appId),
        QCoreApplication::applicationFilePath());
    environment.google = {.clientId = QString::fromUtf8(BuildConfig::googleClientId),
                          .authorizationUrl = QUrl(QString::fromUtf8(BuildConfig::googleAuthUrl)),
                          .tokenUrl = QUrl(QString::fromUtf8(BuildConfig::googleTokenUrl))};
    environment.signInSheet = std::move(signInSheet);
    environment.relayUrl = QUrl(QString::fromUtf8(BuildConfig::relayUrl));
    environment.machineName = &HostNames::computerName;
    environment.lookAtStart = false;
    plugInParts(environment);
    return environment;
}

} // namespace ControllerAssembly
