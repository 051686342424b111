#include "GoogleStandIn.h"

#include "Http.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QUrl>

namespace {

const GoogleUser demoUser{"devstack-user-1", "Demo User", "demo@kestrova.test"};
const QString grantedScope = QStringLiteral("openid email profile");

QString item(const QUrlQuery& query, const QString& key) {
    return query.queryItemValue(key, QUrl::FullyDecoded);
}

QHttpServerResponse badAuthorization(const QString& problem) {
    return http::html(
        QStringLiteral("Sign in – Kestrova devstack"),
        QStringLiteral("<h1>Error 400: invalid_request</h1>\n<p id=\"problem\">%1</p>")
            .arg(problem.toHtmlEscaped()),
        http::Status::BadRequest);
}

QHttpServerResponse tokenError(const QString& error, const QString& description) {
    return http::json({{"error", error}, {"error_description", description}},
                      http::Status::BadRequest);
}

QString challengeFor(const QString& verifier) {
    return QString::fromLatin1(
        QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

} // namespace

GoogleStandIn::GoogleStandIn(QString clientId, bool autoApprove)
    : m_clientId(std::move(clientId))
    , m_autoApprove(autoApprove) {
}

QHttpServerResponse GoogleStandIn::authorize(const QUrlQuery& query) {
    const Authorization authorization{item(query, "client_id"), item(query, "redirect_uri"),
                                      item(query, "code_challenge"), item(query, "state")};
    const QUrl redirect(authorization.redirectUri, QUrl::StrictMode);
    if (authorization.clientId != m_clientId) {
        return badAuthorization("Unknown client_id \"" + authorization.clientId + "\".");
    }
    if (authorization.redirectUri.isEmpty() || !redirect.isValid() || redirect.isRelative()) {
        return badAuthorization("redirect_uri must be an absolute URL.");
    }
    if (item(query, "response_type") != "code") {
        return badAuthorization("response_type must be \"code\".");
    }
    if (!item(query, "scope").split(' ').contains("openid")) {
        return badAuthorization("scope must include \"openid\".");
    }
    if (authorization.challenge.isEmpty() || item(query, "code_challenge_method") != "S256") {
        return badAuthorization("PKCE needs code_challenge and code_challenge_method=S256.");
    }
    const QString session = http::randomUrlToken(18);
    m_sessions.insert(session, authorization);
    if (m_autoApprove) {
        return approve(QUrlQuery{{"session", session}});
    }
    return http::html(
        QStringLiteral("Sign in – Kestrova devstack"),
        QStringLiteral("<h1>Sign in with Google</h1>\n<p>to continue to <code>%1</code></p>\n"
                       "<p><a id=\"continue\" href=\"/o/oauth2/v2/approve?session=%2\">"
                       "Continue as %3</a> (%4)</p>\n"
                       "<p><a id=\"cancel\" href=\"/o/oauth2/v2/deny?session=%2\">Cancel</a></p>")
            .arg(authorization.clientId.toHtmlEscaped(), session.toHtmlEscaped(),
                 demoUser.name.toHtmlEscaped(), demoUser.email.toHtmlEscaped()));
}

QHttpServerResponse GoogleStandIn::approve(const QUrlQuery& query) {
    const auto authorization = m_sessions.take(item(query, "session"));
    if (authorization.redirectUri.isEmpty()) {
        return badAuthorization("Unknown or finished sign-in session.");
    }
    const QString code = http::randomUrlToken(32);
    m_codes.insert(code, authorization);
    return http::redirect(callback(
        authorization, "code=" + code + "&scope=" + QUrl::toPercentEncoding(grantedScope)));
}

QHttpServerResponse GoogleStandIn::deny(const QUrlQuery& query) {
    const auto authorization = m_sessions.take(item(query, "session"));
    if (authorization.redirectUri.isEmpty()) {
        return badAuthorization("Unknown or finished sign-in session.");
    }
    return http::redirect(callback(authorization, "error=access_denied"));
}

QString GoogleStandIn::callback(const Authorization& authorization, const QString& result) const {
    QString location = authorization.redirectUri;
    location += (location.contains('?') ? '&' : '?') + result;
    if (!authorization.state.isEmpty()) {
        location += "&state=" + QString::fromLatin1(QUrl::toPercentEncoding(authorization.state));
    }
    return location;
}

QHttpServerResponse GoogleStandIn::token(const QHttpServerRequest& request) {
    ++m_tokenRequests;
    if (!request.value("Content-Type").startsWith("application/x-www-form-urlencoded")) {
        return tokenError("invalid_request", "Body must be application/x-www-form-urlencoded.");
    }
    // In a form body '+' stands for a space; a literal plus arrives as %2B.
    const QUrlQuery form(QString::fromUtf8(request.body()).replace('+', QStringLiteral("%20")));
    const QString code = item(form, "code");
    const QString verifier = item(form, "code_verifier");
    // A code is spent by any attempt to redeem it, good or bad.
    const std::optional<Authorization> issued =
        m_codes.contains(code) ? std::optional(m_codes.take(code)) : std::nullopt;
    if (item(form, "grant_type") != "authorization_code") {
        return tokenError("unsupported_grant_type", "grant_type must be authorization_code.");
    }
    if (code.isEmpty() || verifier.isEmpty() || item(form, "client_id").isEmpty() ||
        item(form, "redirect_uri").isEmpty()) {
        return tokenError("invalid_request",
                          "Missing code, code_verifier, client_id or redirect_uri.");
    }
    static const QRegularExpression verifierShape("^[A-Za-z0-9._~-]{43,128}$");
    if (!verifierShape.match(verifier).hasMatch()) {
        return tokenError("invalid_request", "code_verifier must be 43-128 unreserved characters.");
    }
    if (!issued) {
        return tokenError("invalid_grant", "Malformed, unknown or already used auth code.");
    }
    if (item(form, "client_id") != issued->clientId) {
        return tokenError("invalid_client", "client_id differs from the authorization request.");
    }
    if (item(form, "redirect_uri") != issued->redirectUri) {
        return tokenError("invalid_grant", "redirect_uri differs from the authorization request.");
    }
    if (challengeFor(verifier) != issued->challenge) {
        return tokenError("invalid_grant", "code_verifier does not match the code_challenge.");
    }
    const QString idToken = "idt." + http::randomUrlToken(32);
    m_idTokens.insert(idToken, demoUser.subject);
    return http::json({{"id_token", idToken},
                       {"access_token", "ya29.devstack." + http::randomUrlToken(24)},
                       {"token_type", "Bearer"},
                       {"expires_in", 3599},
                       {"scope", grantedScope}});
}

std::optional<GoogleUser> GoogleStandIn::userForIdToken(const QString& idToken) const {
    if (m_idTokens.value(idToken) != demoUser.subject) {
        return std::nullopt;
    }
    return demoUser;
}
