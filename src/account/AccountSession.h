#pragma once

#include "account/GoogleAuth.h"
#include "account/RelayClient.h"
#include "gate/ControllerParts.h"
#include "gate/GateEnvironment.h"

#include <QCoro/QCoroTask>
#include <QNetworkAccessManager>
#include <QObject>

class GateState;
class GateSupervisor;

// The user's account: sign-in through Google and the relay, the stored account, sign-out.
// A sign-in that succeeds starts the own gate and registers the agents found.
class AccountSession final : public QObject, public AccountOperations {
    Q_OBJECT
public:
    AccountSession(const GateEnvironment& environment, GateState& state, GateSupervisor& supervisor,
                   AgentOperations& agents, QNetworkAccessManager& network);

    void signIn() override;
    void signOut() override;

    const GateState& gateState() const { return m_state; }

private:
    QCoro::Task<> runSignIn(int attempt);
    // Whether the sign-in may go on: its session exists and no sign-out came in between.
    bool current(const QPointer<AccountSession>& self, int attempt) const;
    // Ends a sign-in that got nowhere; no message when the user cancelled.
    void failSignIn(const std::optional<QString>& message);
    // False, with the reason shown, when the account could not be saved.
    bool storeAccount(const RelayAuth& account);
    // Removes the stored account; when that fails, it stays, in this run as on disk.
    SettingsStore::Written forgetStoredAccount();

    const GateEnvironment& m_env;
    GateState& m_state;
    GateSupervisor& m_supervisor;
    AgentOperations& m_agents;
    QNetworkAccessManager& m_network;
    GoogleAuth m_auth;
    // Counts sign-ins and sign-outs: a sign-in overtaken by a sign-out ends without a word.
    int m_attempt = 0;
};
