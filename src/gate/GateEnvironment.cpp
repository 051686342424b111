#include "gate/GateEnvironment.h"

#include "BuildConfig.h"
#include "agents/AgentDetection.h"
#include "gate/NodeRuntime.h"
#include "platform/AppPaths.h"
#include "platform/XdgAutostartEntry.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QStandardPaths>

GateEnvironment GateEnvironment::production() {
    GateEnvironment environment;
    environment.homeFolder = AppPaths::homeFolder();
    environment.applicationSupportFolder = AppPaths::applicationSupportFolder(
        QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation),
        environment.homeFolder);
    environment.resourceFolder = AppPaths::resourceFolder(QCoreApplication::applicationDirPath());
    environment.settings = SettingsStore::openUserStore();
    environment.systemNodeCandidates = NodeRuntime::systemCandidates();
    environment.agentSearchFolders = AgentDetection::searchFolders(environment.homeFolder);
    environment.webUrl = QUrl(QString::fromUtf8(BuildConfig::webUrl));
    environment.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    environment.loginItem = std::make_shared<XdgAutostartEntry>(
        XdgAutostartEntry::userAutostartFolder(), QString::fromUtf8(BuildConfig::appId),
        QCoreApplication::applicationFilePath());
    return environment;
}
