#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QProcess>
#include <QUrl>

#include <optional>

// Runs tools/devstack on a free loopback port and talks to it over real HTTP, synchronously.
class Devstack {
public:
    explicit Devstack(const QStringList& extraArgs = {});
    ~Devstack();

    bool isRunning() const { return m_port != 0; }
    QUrl baseUrl() const;
    QUrl googleAuthUrl() const { return baseUrl().resolved(QUrl("/o/oauth2/v2/auth")); }
    QUrl googleTokenUrl() const { return baseUrl().resolved(QUrl("/token")); }
    QString clientId() const { return m_clientId; }

    QJsonObject state();
    bool setFaults(const QJsonObject& faults);
    // Acts as the browser: opens the sign-in page, follows "continue", returns the callback URL.
    std::optional<QUrl> followAuthorization(const QUrl& authorizationUrl);

    // A new account, signed in the way the helper does: its API key and room.
    struct Account {
        QString apiKey;
        QString room;
    };
    std::optional<Account> signUp();

    // A decision posted as the phone does (the key is the pairing key).
    int decideAsPhone(const Account& account, const QString& intentId, const QString& status);

private:
    struct Reply {
        int status = 0; // 0: no answer within the timeout
        QByteArray body;
        QByteArray location;
        QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    };
    // Redirects are not followed; every call waits at most ten seconds.
    Reply send(QNetworkRequest request, const QByteArray& verb = "GET",
               const QByteArray& body = {});

    QProcess m_process;
    QNetworkAccessManager m_network;
    quint16 m_port = 0;
    QString m_clientId = QStringLiteral("devstack-desktop.apps.googleusercontent.com");
};
