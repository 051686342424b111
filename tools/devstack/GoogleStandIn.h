#pragma once

#include <QHash>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QString>
#include <QUrlQuery>

#include <optional>

// Who signs in through the stand-in: there is only one user.
struct GoogleUser {
    QString subject;
    QString name;
    QString email;
};

// Google's authorization and token endpoints, judging the PKCE flow the client drives.
class GoogleStandIn {
public:
    GoogleStandIn(QString clientId, bool autoApprove);

    QHttpServerResponse authorize(const QUrlQuery& query);
    QHttpServerResponse approve(const QUrlQuery& query);
    QHttpServerResponse deny(const QUrlQuery& query);
    QHttpServerResponse token(const QHttpServerRequest& request);

    std::optional<GoogleUser> userForIdToken(const QString& idToken) const;
    int tokenRequests() const { return m_tokenRequests; }

private:
    struct Authorization {
        QString clientId;
        QString redirectUri;
        QString challenge;
        QString state;
    };

    QString callback(const Authorization& authorization, const QString& result) const;

    QString m_clientId;
    bool m_autoApprove;
    QHash<QString, Authorization> m_sessions; // waiting on the consent page
    QHash<QString, Authorization> m_codes;    // issued, not yet redeemed
    QHash<QString, QString> m_idTokens;       // id token -> subject
    int m_tokenRequests = 0;
};
