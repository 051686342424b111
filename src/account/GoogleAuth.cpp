#include "account/GoogleAuth.h"

#include "account/GoogleOAuth.h"
#include "account/HttpExchange.h"
#include "account/Pkce.h"

#include <QPointer>

GoogleAuth::GoogleAuth(Endpoints endpoints, QNetworkAccessManager& network,
                       std::shared_ptr<SignInSheet> sheet)
    : m_endpoints(std::move(endpoints))
    , m_network(network)
    , m_sheet(std::move(sheet)) {
}

QCoro::Task<std::expected<QString, GoogleAuth::Error>> GoogleAuth::signIn() {
    // Everything the call needs after the sheet is copied first: the sheet may outlast us.
    const Endpoints endpoints = m_endpoints;
    const QPointer<QNetworkAccessManager> network(&m_network);
    const std::shared_ptr<SignInSheet> sheet = m_sheet;

    const QString verifier = Pkce::makeVerifier();
    // A fresh random value per attempt, the same kind as the verifier: a late callback of an
    // earlier attempt, or one forged by another program, cannot end this one.
    const QUrl authorization =
        GoogleOAuth::authorizationUrl(endpoints.authorizationUrl, endpoints.clientId,
                                      Pkce::codeChallenge(verifier), Pkce::makeVerifier());
    if (!authorization.isValid()) {
        co_return std::unexpected(GoogleAuthError::badCallback());
    }

    // Arguments of a co_await are named locals throughout: g++ 12 destroys temporaries of a
    // co_await expression twice.
    QString scheme = GoogleOAuth::callbackScheme(endpoints.clientId);
    const auto callback = co_await sheet->present(authorization, std::move(scheme));
    if (!callback) {
        if (callback.error().cancelled) {
            co_return std::unexpected(GoogleAuthError::cancelled());
        }
        co_return std::unexpected(TransportError{callback.error().description});
    }
    const auto code = GoogleOAuth::authorizationCode(*callback);
    if (!code) {
        co_return std::unexpected(code.error());
    }

    if (!network) {
        co_return std::unexpected(GoogleAuthError::cancelled());
    }
    QNetworkRequest request(endpoints.tokenUrl);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("application/x-www-form-urlencoded"));
    QByteArray body = GoogleOAuth::tokenRequestBody(endpoints.clientId, *code, verifier);
    const auto answer =
        co_await HttpExchange::post(*network, request, std::move(body), endpoints.tokenTimeout);
    if (!answer) {
        co_return std::unexpected(answer.error());
    }
    const auto token = GoogleOAuth::idToken(*answer);
    if (!token) {
        co_return std::unexpected(token.error());
    }
    co_return *token;
}
