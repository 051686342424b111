#include "account/AccountSession.h"

#include "account/AccountLog.h"
#include "account/ErrorText.h"
#include "gate/GateState.h"
#include "gate/GateSupervisor.h"
#include "gate/SettingsKeys.h"

#include <QTimer>

#include <coroutine>

using namespace SettingsKeys;

namespace {

// Resumes once the event loop has turned.
struct NextTurn {
    static bool await_ready() noexcept { return false; }
    static void await_suspend(std::coroutine_handle<> waiting) {
        QTimer::singleShot(0, [waiting] { waiting.resume(); });
    }
    static void await_resume() noexcept {}
};

} // namespace

AccountSession::AccountSession(const GateEnvironment& environment, GateState& state,
                               GateSupervisor& supervisor, AgentOperations& agents,
                               QNetworkAccessManager& network)
    : m_env(environment)
    , m_state(state)
    , m_supervisor(supervisor)
    , m_agents(agents)
    , m_network(network)
    , m_auth(m_env.google, m_network, m_env.signInSheet) {
    m_state.publish(m_state.accountUserId, m_env.settings->string(QString::fromLatin1(kUserId)));
    m_state.publish(m_state.personalRoom, m_env.settings->string(QString::fromLatin1(kRoom)));
}

void AccountSession::signIn() {
    if (m_state.signingIn) {
        return;
    }
    m_state.publish(m_state.signingIn, true);
    m_state.publish(m_state.lastError, std::nullopt);
    runSignIn(++m_attempt);
}

bool AccountSession::current(const QPointer<AccountSession>& self, int attempt) const {
    return stillHere(self) && attempt == m_attempt;
}

QCoro::Task<> AccountSession::runSignIn(int attempt) {
    const QPointer<AccountSession> self(this);
    qCInfo(lcAccount) << "sign-in started";
    const auto idToken = co_await m_auth.signIn();
    if (!current(self, attempt)) {
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
    const RelayClient::Connection connection{
        .network = m_network, .baseUrl = m_env.relayUrl, .timeout = m_env.relayTimeout};
    std::optional<QString> deviceId = m_agents.hostFingerprint();
    std::optional<QString> deviceName = m_env.machineName();
    const auto account = co_await RelayClient::exchangeGoogleToken(
        connection, *idToken, true, std::move(deviceId), std::move(deviceName));
    if (!current(self, attempt)) {
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
    if (!storeAccount(*account)) {
        co_return;
    }
    // The settings write and the gate's launch each block for a few milliseconds; letting the
    // event loop run between them keeps the windows from stalling for both at once.
    co_await NextTurn{};
    if (!current(self, attempt)) {
        co_return;
    }
    qCInfo(lcAccount) << "signed in";
    if (!m_state.useExistingGate) {
        m_supervisor.start();
    }
    m_agents.registerDetected();
    m_state.publish(m_state.signingIn, false);
}

void AccountSession::failSignIn(const std::optional<QString>& message) {
    qCInfo(lcAccount) << "sign-in ended without an account";
    if (message) {
        m_state.publish(m_state.lastError, *message);
    }
    m_state.publish(m_state.signingIn, false);
}

bool AccountSession::storeAccount(const RelayAuth& account) {
    const auto stored = m_env.settings->setStrings(
        {{QString::fromLatin1(kApiKey), account.apiKey},
         {QString::fromLatin1(kUserId), account.userId},
         {QString::fromLatin1(kRoom), account.personalRoom.value_or(QString())}});
    if (!stored) {
        // A key that is not on disk would be gone after a restart: not signed in.
        m_env.settings->remove({QString::fromLatin1(kApiKey)});
        failSignIn(QStringLiteral("Could not save settings: ") + stored.error());
        return false;
    }
    m_state.publish(m_state.accountUserId, account.userId);
    m_state.publish(m_state.personalRoom, account.personalRoom);
    return true;
}

SettingsStore::Written AccountSession::forgetStoredAccount() {
    const QStringList keys{QString::fromLatin1(kApiKey), QString::fromLatin1(kUserId),
                           QString::fromLatin1(kRoom)};
    QList<std::pair<QString, QString>> account;
    for (const QString& key : keys) {
        if (const auto value = m_env.settings->string(key)) {
            account.append({key, *value});
        }
    }
    auto removed = m_env.settings->remove(keys);
    if (!removed) {
        // Still on disk, the key would sign the next start in: this run keeps it as well, so
        // that the windows show what a restart would.
        m_env.settings->setStrings(account);
    }
    return removed;
}

void AccountSession::signOut() {
    qCInfo(lcAccount) << "signing out";
    // A sign-in still under way belonged to the account that leaves: it ends, silently.
    ++m_attempt;
    if (m_state.signingIn) {
        m_state.publish(m_state.signingIn, false);
        m_env.signInSheet->cancel();
    }
    m_state.publish(m_state.lastError, std::nullopt);
    // Whatever becomes of the settings, no gate serves the leaving account's key.
    m_supervisor.stop();
    m_supervisor.removeSupportFolder();
    if (const auto forgotten = forgetStoredAccount(); !forgotten) {
        m_state.publish(m_state.lastError,
                        QStringLiteral("Could not sign out: ") + forgotten.error());
        return;
    }
    m_state.publish(m_state.accountUserId, std::nullopt);
    m_state.publish(m_state.personalRoom, std::nullopt);
    m_agents.forgetRegistration();
    emit m_state.refreshRequested();
}
