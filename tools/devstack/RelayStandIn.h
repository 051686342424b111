#pragma once

#include "Faults.h"

#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

#include <vector>

class GoogleStandIn;

// The relay's sign-in and agent registration, keeping accounts, keys and agents in memory.
class RelayStandIn {
public:
    RelayStandIn(const GoogleStandIn& google, const Faults& faults);

    QHttpServerResponse auth(const QHttpServerRequest& request);
    QHttpServerResponse registerOwned(const QHttpServerRequest& request);
    // Accounts, agents and every request seen, for tests and developers.
    QJsonObject state() const;
    // The personal room of the account holding this "Bearer <key>"; empty when none does.
    QString roomForBearer(const QByteArray& authorization) const;

private:
    struct Account {
        QString subject;
        QString email;
        QString userId;
        QString personalRoom;
        QString apiKey;
        QStringList revokedKeys;
    };
    struct Agent {
        QString userId;
        QString handle;
        QString kind;
        QString displayName;
        QString machineName;
        QString hostFingerprint;
        QJsonValue detectedCli;
        QJsonObject toJson() const;
    };

    const Account* accountForBearer(const QByteArray& authorization) const;

    const GoogleStandIn& m_google;
    const Faults& m_faults;
    std::vector<Account> m_accounts;
    std::vector<Agent> m_agents;
    QJsonArray m_authRequests;
    QJsonArray m_ownedRequests;
};
