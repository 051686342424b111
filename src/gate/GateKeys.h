#pragma once

#include "gate/GateEnvironment.h"
#include "gate/GateFolder.h"
#include "gate/GateInstall.h"
#include "gate/PublishedFields.h"

#include <QString>

#include <expected>
#include <optional>

// The keys the own gate goes by: the account's API key it polls with, the key the phone pairs
// with, and the config that hands them to the gate.
class GateKeys {
public:
    GateKeys(const GateEnvironment& environment, const PublishedFields& state,
             const GateInstall& install, const GateFolder& folder)
        : m_env(environment)
        , m_state(state)
        , m_install(install)
        , m_folder(folder) {}

    // The stored API key, when there is one that is not empty.
    std::optional<QString> apiKey() const;
    // The key the phone needs to pair with the gate in use.
    std::optional<QString> pairingKey() const;
    // The own gate's config for the key signed in with (and its room, port and hook wait);
    // says whether what the file holds changed. The error is the sentence to show.
    std::expected<bool, QString> writeConfig() const;

private:
    const GateEnvironment& m_env;
    const PublishedFields& m_state;
    const GateInstall& m_install;
    const GateFolder& m_folder;
};
