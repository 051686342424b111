#pragma once

#include "account/GoogleAuth.h"
#include "platform/LoginItemService.h"
#include "platform/SettingsStore.h"
#include "platform/SignInSheet.h"

#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>

// Everything the controller takes from the world around it. production() gives the real
// values; tests point the same fields at temporary folders, free ports and fakes.
struct GateEnvironment {
    QString homeFolder;
    QString applicationSupportFolder; // the platform's, before "Kestrova Helper" is added
    QString resourceFolder;           // empty when the program has none
    std::shared_ptr<SettingsStore> settings;

    quint16 ownGatePort = 8789;
    quint16 existingGatePort = 8788;
    std::chrono::milliseconds probeTimeout{3000};
    std::chrono::milliseconds launchProbeDelay{2000};

    QStringList systemNodeCandidates;
    QStringList agentSearchFolders;

    QUrl webUrl;
    std::function<void(const QUrl&)> openUrl;
    std::shared_ptr<LoginItemService> loginItem;

    GoogleAuth::Endpoints google;
    std::shared_ptr<SignInSheet> signInSheet;
    QUrl relayUrl;
    std::chrono::milliseconds relayTimeout{25000};
    std::function<QString()> machineName;

    // The sign-in sheet is the platform's own: the program's shell makes it.
    static GateEnvironment production(std::shared_ptr<SignInSheet> signInSheet);
};
