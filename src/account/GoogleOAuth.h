#pragma once

#include "account/GoogleAuthError.h"
#include "account/HttpExchange.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <expected>

// The pieces of Google's authorization-code flow for installed programs, as pure functions.
namespace GoogleOAuth {

// The client id's dot-separated labels in reverse order: "1-a.apps.example.com" gives
// "com.example.apps.1-a".
QString callbackScheme(const QString& clientId);
QString redirectUri(const QString& clientId);

// The endpoint with client_id, redirect_uri, response_type, scope, code_challenge,
// code_challenge_method and prompt, in that order.
// state is the attempt's own random value: only a callback that carries it back ends the wait.
QUrl authorizationUrl(const QUrl& endpoint, const QString& clientId, const QString& challenge,
                      const QString& state);

// The first "code" item of the callback's query.
std::expected<QString, GoogleAuthError> authorizationCode(const QUrl& callback);

// Letters, marks, digits and "-._~" stay; everything else is percent-encoded UTF-8.
QString formEncode(const QString& value);
QByteArray tokenRequestBody(const QString& clientId, const QString& code, const QString& verifier);

std::expected<QString, GoogleAuthError> idToken(const HttpExchange::Answer& answer);

} // namespace GoogleOAuth
