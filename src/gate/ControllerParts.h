#pragma once

#include <QString>

#include <optional>

// The work the controller hands to the layers above this one. The program (and each test)
// plugs in the account session and the agent registry through the environment.
class AgentOperations {
public:
    virtual ~AgentOperations() = default;

    virtual void detect() = 0;
    virtual void registerDetected() = 0;
    // After sign-out: what was registered belonged to the account that left.
    virtual void forgetRegistration() = 0;
    virtual std::optional<QString> cliPath(const QString& bin) const = 0;
    // This computer's stable id at the relay, made and stored on first use.
    virtual QString hostFingerprint() = 0;
    // Reads again whether each detected agent's settings send its questions to the gate.
    virtual void readConnections() = 0;
    // Writes the gate's hook and server into the agent's own settings.
    virtual void connectAgent(const QString& displayName) = 0;
};

class AccountOperations {
public:
    virtual ~AccountOperations() = default;

    virtual void signIn() = 0;
    virtual void signOut() = 0;
};
