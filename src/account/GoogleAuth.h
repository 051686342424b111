#pragma once

#include "account/GoogleAuthError.h"
#include "account/TransportError.h"
#include "gate/GateEnvironment.h"
#include "platform/SignInSheet.h"

#include <QCoro/QCoroTask>
#include <QNetworkAccessManager>
#include <QUrl>

#include <chrono>
#include <expected>
#include <memory>
#include <variant>

// Gets a Google ID token for the person at the keyboard: the authorization-code flow with
// PKCE in a sign-in sheet, then the code redeemed at the token endpoint. Nothing is kept.
class GoogleAuth {
public:
    using Endpoints = GoogleEndpoints;
    using Error = std::variant<GoogleAuthError, TransportError>;

    GoogleAuth(Endpoints endpoints, QNetworkAccessManager& network,
               std::shared_ptr<SignInSheet> sheet);

    QCoro::Task<std::expected<QString, Error>> signIn();

private:
    Endpoints m_endpoints;
    QNetworkAccessManager& m_network;
    std::shared_ptr<SignInSheet> m_sheet;
};
