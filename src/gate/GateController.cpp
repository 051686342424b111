#include "gate/GateController.h"

#include "agents/AgentDetection.h"
#include "gate/GateConfig.h"
#include "platform/AppPaths.h"

#include <QNetworkReply>

using namespace SettingsKeys;

GateController::GateController(GateEnvironment environment, QObject* parent)
    : QObject(parent)
    , m_env(std::move(environment))
    , m_installDir(AppPaths::join(m_env.homeFolder, QStringLiteral("bramblekit")))
    , m_supportDir(
          AppPaths::join(m_env.applicationSupportFolder, QStringLiteral("Kestrova Helper")))
    , m_auth(m_env.google, m_network, m_env.signInSheet) {
    publish(m_accountUserId, m_env.settings->string(QString::fromLatin1(kUserId)));
    publish(m_personalRoom, m_env.settings->string(QString::fromLatin1(kRoom)));
    publish(m_useExistingGate, m_env.settings->boolean(QString::fromLatin1(kUseExisting)));
    refresh();
    publish(m_launchAtLogin, m_env.loginItem->isEnabled());
}

GateController::~GateController() {
    // Work still waiting on a request resumes when the request is aborted below; it must not
    // publish into a controller that is going away.
    m_tearingDown = true;
    for (QNetworkReply* reply : m_network.findChildren<QNetworkReply*>()) {
        reply->abort();
    }
}

GateController& GateController::shared(std::shared_ptr<SignInSheet> signInSheet) {
    static GateController* const controller =
        new GateController(GateEnvironment::production(std::move(signInSheet)));
    return *controller;
}

bool GateController::stillHere(const QPointer<GateController>& self) {
    return self && !self->m_tearingDown;
}

std::optional<QString> GateController::storedApiKey() const {
    return m_env.settings->string(QString::fromLatin1(kApiKey));
}

bool GateController::signedIn() const {
    const auto key = storedApiKey();
    return key && !key->isEmpty();
}

QString GateController::configPath() const {
    return AppPaths::join(m_supportDir, QString::fromLatin1(GateConfig::fileName));
}

std::optional<QString> GateController::pairingKey() const {
    if (!m_useExistingGate) {
        if (auto key = storedApiKey(); key && !key->isEmpty()) {
            return key;
        }
    }
    if (auto existing = GateConfig::readPollerApiKey(
            AppPaths::join(m_installDir, QString::fromLatin1(GateConfig::fileName)))) {
        return existing;
    }
    return storedApiKey();
}

std::optional<QString> GateController::cliPath(const QString& bin) const {
    return AgentDetection::cliPath(bin, m_env.agentSearchFolders);
}

void GateController::detectAgents() {
    publish(m_detectedAgents,
            AgentDetection::detectAgents(m_env.homeFolder, m_env.agentSearchFolders));
}

void GateController::chooseUseExistingGate() {
    publish(m_useExistingGate, true);
    m_env.settings->setBoolean(QString::fromLatin1(kUseExisting), true);
    stopHelperGate();
    refresh();
}

void GateController::chooseOwnGate() {
    publish(m_useExistingGate, false);
    m_env.settings->setBoolean(QString::fromLatin1(kUseExisting), false);
    startHelperGate();
}

void GateController::setLaunchAtLogin(bool enabled) {
    if (const auto registered = m_env.loginItem->setRegistered(enabled); !registered) {
        publish(m_lastError, QStringLiteral("Start at login: ") + registered.error());
    }
    publish(m_launchAtLogin, m_env.loginItem->isEnabled());
}
