#pragma once

#include "gate/GatePorts.h"
#include "platform/LoginItemService.h"
#include "platform/SettingsStore.h"
#include "platform/SignInSheet.h"

#include <QNetworkAccessManager>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>

class AccountOperations;
class AgentOperations;
class GateState;
class GateSupervisor;
struct GateEnvironment;

// Google's endpoints for the desktop client.
struct GoogleEndpoints {
    QString clientId;
    QUrl authorizationUrl;
    QUrl tokenUrl;
    std::chrono::milliseconds tokenTimeout{60000};
};

// What the account and agent parts are made from; they live in layers above the controller's.
struct ControllerPartsContext {
    const GateEnvironment& environment;
    GateState& state;
    GateSupervisor& supervisor;
    QNetworkAccessManager& network;
};

// Everything the controller takes from the world around it. The program assembles the real
// values; tests point the same fields at temporary folders, free ports and fakes.
struct GateEnvironment {
    QString homeFolder;
    QString applicationSupportFolder; // the platform's, before "Kestrova Helper" is added
    QString resourceFolder;           // empty when the program has none
    QString hookProgram;              // kestrova-hook, beside the program
    QString stateFolder;              // the platform's, before "kestrova-helper" is added
    std::shared_ptr<SettingsStore> settings;
    std::shared_ptr<QNetworkAccessManager> network;

    quint16 ownGatePort = GatePorts::own;
    quint16 existingGatePort = GatePorts::existing;
    std::chrono::milliseconds probeTimeout{3000};
    // After a launch the gate is probed this often until it answers, ends, or the window passes.
    std::chrono::milliseconds launchProbeInterval{500};
    std::chrono::milliseconds launchProbeWindow{10000};
    // How long a gate asked to stop has before it is killed.
    std::chrono::milliseconds stopGrace{5000};

    QStringList systemNodeCandidates;
    QString nvmDir; // $NVM_DIR, empty when unset
    QStringList agentSearchFolders;

    QUrl webUrl;
    std::function<void(const QUrl&)> openUrl;
    std::shared_ptr<LoginItemService> loginItem;

    GoogleEndpoints google;
    std::shared_ptr<SignInSheet> signInSheet;
    QUrl relayUrl;
    std::chrono::milliseconds relayTimeout{25000};
    std::function<QString()> machineName = [] { return QString(); };
    // The program clears it: its first look (the runtime's choice, the agents' search, the
    // probes) waits for the first refresh(), which its welcome window asks for once drawn.
    bool lookAtStart = true;

    std::function<std::unique_ptr<AgentOperations>(const ControllerPartsContext&)> makeAgents;
    std::function<std::unique_ptr<AccountOperations>(const ControllerPartsContext&,
                                                     AgentOperations&)>
        makeAccount;
};
