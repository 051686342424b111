#include "account/ErrorText.h"
#include "account/RelayClient.h"
#include "gate/GateController.h"

#include <QCoro/QCoroTimer>
#include <QDir>

using namespace SettingsKeys;

RelayClient::Connection GateController::relayConnection() {
    return {.network = m_network, .baseUrl = m_env.relayUrl, .timeout = m_env.relayTimeout};
}

void GateController::signIn() {
    if (m_signingIn) {
        return;
    }
    publish(m_signingIn, true);
    publish(m_lastError, std::nullopt);
    runSignIn();
}

QCoro::Task<> GateController::runSignIn() {
    const QPointer<GateController> self(this);
    const auto idToken = co_await m_auth.signIn();
    if (!stillHere(self)) {
        co_return;
    }
    if (!idToken) {
        // Closing the sheet is the user's own choice: nothing to report.
        const auto* google = std::get_if<GoogleAuthError>(&idToken.error());
        const bool cancelled = google && google->kind() == GoogleAuthError::Kind::Cancelled;
        failSignIn(cancelled ? std::nullopt : std::optional(errorText(idToken.error())));
        co_return;
    }
    // Named, not temporaries: g++ 12 destroys temporaries of a co_await expression twice.
    const RelayClient::Connection connection = relayConnection();
    std::optional<QString> deviceId = hostFingerprint();
    std::optional<QString> deviceName = m_env.machineName();
    const auto account = co_await RelayClient::exchangeGoogleToken(
        connection, *idToken, true, std::move(deviceId), std::move(deviceName));
    if (!stillHere(self)) {
        co_return;
    }
    if (!account) {
        failSignIn(errorText(account.error()));
        co_return;
    }
    if (account->apiKey.isEmpty()) {
        failSignIn(QStringLiteral("Relay returned no API key."));
        co_return;
    }
    storeAccount(*account);
    // The settings write and the gate's launch each block for a few milliseconds; letting the
    // event loop run between them keeps the windows from stalling for both at once.
    const std::chrono::milliseconds breath{0};
    co_await QCoro::sleepFor(breath);
    if (!stillHere(self)) {
        co_return;
    }
    if (!m_useExistingGate) {
        startHelperGate();
    }
    registerDetectedAgents();
    publish(m_signingIn, false);
}

void GateController::failSignIn(const std::optional<QString>& message) {
    if (message) {
        publish(m_lastError, *message);
    }
    publish(m_signingIn, false);
}

void GateController::storeAccount(const RelayAuth& account) {
    m_env.settings->setStrings(
        {{QString::fromLatin1(kApiKey), account.apiKey},
         {QString::fromLatin1(kUserId), account.userId},
         {QString::fromLatin1(kRoom), account.personalRoom.value_or(QString())}});
    publish(m_accountUserId, account.userId);
    publish(m_personalRoom, account.personalRoom);
}

void GateController::signOut() {
    stopHelperGate();
    QDir(m_supportDir).removeRecursively();
    m_env.settings->remove(QString::fromLatin1(kApiKey));
    m_env.settings->remove(QString::fromLatin1(kUserId));
    m_env.settings->remove(QString::fromLatin1(kRoom));
    publish(m_accountUserId, std::nullopt);
    publish(m_personalRoom, std::nullopt);
    publish(m_registeredAgents, QStringList());
    publish(m_registrationError, std::nullopt);
    refresh();
}
