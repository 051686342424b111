#include "gate/GateKeys.h"

#include "gate/GateConfig.h"
#include "gate/SettingsKeys.h"
#include "platform/AppPaths.h"

std::optional<QString> GateKeys::apiKey() const {
    auto key = m_env.settings->string(QString::fromLatin1(SettingsKeys::kApiKey));
    return key && !key->isEmpty() ? key : std::nullopt;
}

std::optional<QString> GateKeys::pairingKey() const {
    if (!m_state.useExistingGate) {
        if (auto key = apiKey()) {
            return key;
        }
    }
    if (auto existing = GateConfig::readPollerApiKey(
            AppPaths::join(m_install.installDir(), QString::fromLatin1(GateConfig::fileName)))) {
        return existing;
    }
    return m_env.settings->string(QString::fromLatin1(SettingsKeys::kApiKey));
}

std::expected<bool, QString> GateKeys::writeConfig() const {
    const auto key = apiKey();
    if (!key) {
        return std::unexpected(QStringLiteral("Sign in first to start local approvals."));
    }
    return m_folder.writeConfig(
        *key, m_state.personalRoom, m_env.ownGatePort,
        m_env.settings->string(QString::fromLatin1(SettingsKeys::kHookWait)));
}
