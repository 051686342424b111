#include "account/GoogleOAuth.h"

#include "account/UserText.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QUrlQuery>

#include <ranges>

namespace GoogleOAuth {

QString callbackScheme(const QString& clientId) {
    QStringList labels = clientId.split(u'.');
    std::ranges::reverse(labels);
    return labels.join(u'.');
}

QString redirectUri(const QString& clientId) {
    return callbackScheme(clientId) + QStringLiteral(":/oauth2redirect");
}

QUrl authorizationUrl(const QUrl& endpoint, const QString& clientId, const QString& challenge,
                      const QString& state) {
    // QUrlQuery reads "%" in a value as the start of an escape; a literal one must stay one.
    const auto literal = [](QString value) { return value.replace(u'%', QStringLiteral("%25")); };
    QUrlQuery query;
    query.setQueryItems({
        {QStringLiteral("client_id"), literal(clientId)},
        {QStringLiteral("redirect_uri"), literal(redirectUri(clientId))},
        {QStringLiteral("response_type"), QStringLiteral("code")},
        {QStringLiteral("scope"), QStringLiteral("openid email profile")},
        {QStringLiteral("code_challenge"), literal(challenge)},
        {QStringLiteral("code_challenge_method"), QStringLiteral("S256")},
        {QStringLiteral("prompt"), QStringLiteral("select_account")},
        {QStringLiteral("state"), literal(state)},
    });
    QUrl url = endpoint;
    url.setQuery(query);
    return url;
}

std::expected<QString, GoogleAuthError> authorizationCode(const QUrl& callback) {
    if (!callback.isValid() || !callback.hasQuery()) {
        return std::unexpected(GoogleAuthError::badCallback());
    }
    const QUrlQuery query(callback);
    for (const auto& [name, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (name == u"code") {
            if (value.isEmpty()) {
                break;
            }
            return value;
        }
    }
    return std::unexpected(GoogleAuthError::badCallback());
}

QString formEncode(const QString& value) {
    QString encoded;
    for (const char32_t codePoint : value.toUcs4()) {
        const auto category = QChar::category(codePoint);
        const bool keep =
            QChar::isLetterOrNumber(codePoint) || category == QChar::Mark_NonSpacing ||
            category == QChar::Mark_SpacingCombining || category == QChar::Mark_Enclosing ||
            codePoint == U'-' || codePoint == U'.' || codePoint == U'_' || codePoint == U'~';
        const QString character = QString::fromUcs4(&codePoint, 1);
        // What is not kept is never an unreserved ASCII character, so every byte is encoded.
        encoded += keep ? character : QString::fromLatin1(character.toUtf8().toPercentEncoding());
    }
    return encoded;
}

QByteArray tokenRequestBody(const QString& clientId, const QString& code, const QString& verifier) {
    const QList<std::pair<QString, QString>> pairs{
        {QStringLiteral("client_id"), clientId},
        {QStringLiteral("code"), code},
        {QStringLiteral("code_verifier"), verifier},
        {QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
        {QStringLiteral("redirect_uri"), redirectUri(clientId)},
    };
    QStringList fields;
    for (const auto& [key, value] : pairs) {
        fields << key + u'=' + formEncode(value);
    }
    return fields.join(u'&').toUtf8();
}

std::expected<QString, GoogleAuthError> idToken(const HttpExchange::Answer& answer) {
    if (answer.status < 200 || answer.status > 299) {
        return std::unexpected(
            GoogleAuthError::tokenExchangeFailed(UserText::fromUtf8OrEmpty(answer.body)));
    }
    const QJsonValue token = QJsonDocument::fromJson(answer.body).object().value(u"id_token");
    if (!token.isString()) {
        return std::unexpected(GoogleAuthError::noIdToken());
    }
    return token.toString();
}

} // namespace GoogleOAuth
