#include "support/Devstack.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QUrlQuery>

#include <memory>

namespace {
constexpr int timeoutMs = 10'000;
}

Devstack::Devstack(const QStringList& extraArgs) {
    m_network.setProxy(QNetworkProxy::NoProxy);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(KESTROVA_DEVSTACK_BINARY),
                    QStringList{"--port", "0"} + extraArgs);
    const QDeadlineTimer deadline(timeoutMs);
    while (!m_process.canReadLine() && m_process.waitForReadyRead(deadline.remainingTime())) {
    }
    static const QRegularExpression announced(R"(^devstack: .* relay=http://127\.0\.0\.1:(\d+) )");
    const auto match = announced.match(QString::fromUtf8(m_process.readLine()));
    m_port = match.hasMatch() ? match.captured(1).toUShort() : 0;
}

Devstack::~Devstack() {
    m_process.terminate();
    if (!m_process.waitForFinished(timeoutMs)) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

QUrl Devstack::baseUrl() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(m_port));
}

QJsonObject Devstack::state() {
    return send(QNetworkRequest(baseUrl().resolved(QUrl("/devstack/state")))).json();
}

bool Devstack::setFaults(const QJsonObject& faults) {
    QNetworkRequest request(baseUrl().resolved(QUrl("/devstack/faults")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    return send(request, "POST", QJsonDocument(faults).toJson(QJsonDocument::Compact)).status ==
           204;
}

std::optional<QUrl> Devstack::followAuthorization(const QUrl& authorizationUrl) {
    const Reply page = send(QNetworkRequest(authorizationUrl));
    if (page.status == 302) { // --auto-approve skips the page
        return QUrl::fromEncoded(page.location);
    }
    static const QRegularExpression link(R"re(<a id="continue" href="([^"]+)")re");
    const auto match = link.match(QString::fromUtf8(page.body));
    if (page.status != 200 || !match.hasMatch()) {
        return std::nullopt;
    }
    const QUrl next = authorizationUrl.resolved(QUrl(match.captured(1).replace("&amp;", "&")));
    const Reply approved = send(QNetworkRequest(next));
    if (approved.status != 302 || approved.location.isEmpty()) {
        return std::nullopt;
    }
    return QUrl::fromEncoded(approved.location);
}

std::optional<Devstack::Account> Devstack::signUp() {
    const QByteArray verifier = QByteArray(43, 'v');
    const QByteArray challenge =
        QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    const QString callback = QStringLiteral("http://127.0.0.1/callback");
    QUrl authorization = googleAuthUrl();
    authorization.setQuery(QUrlQuery{{"client_id", m_clientId},
                                     {"redirect_uri", callback},
                                     {"response_type", "code"},
                                     {"scope", "openid"},
                                     {"state", "s"},
                                     {"code_challenge_method", "S256"},
                                     {"code_challenge", QString::fromLatin1(challenge)}});
    const auto redirected = followAuthorization(authorization);
    const QString code = redirected ? QUrlQuery(*redirected).queryItemValue("code") : QString();
    QNetworkRequest form(googleTokenUrl());
    form.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
    const QUrlQuery tokenQuery{{"grant_type", "authorization_code"},
                               {"code", code},
                               {"code_verifier", QString::fromLatin1(verifier)},
                               {"client_id", m_clientId},
                               {"redirect_uri", callback}};
    const QJsonObject token =
        send(form, "POST", tokenQuery.toString(QUrl::FullyEncoded).toUtf8()).json();
    QNetworkRequest relay(baseUrl().resolved(QUrl("/api/v1/relay/auth")));
    relay.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    const QJsonObject account =
        send(relay, "POST",
             QJsonDocument(QJsonObject{{"google_id_token", token.value("id_token")}}).toJson())
            .json();
    if (account.value("api_key").toString().isEmpty()) {
        return std::nullopt;
    }
    return Account{account.value("api_key").toString(), account.value("personal_room").toString()};
}

int Devstack::decideAsPhone(const Account& account, const QString& intentId,
                            const QString& status) {
    QNetworkRequest request(baseUrl().resolved(
        QUrl(QStringLiteral("/api/v1/rooms/%1/intents/%2/decision").arg(account.room, intentId))));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request.setRawHeader("Authorization", "Bearer " + account.apiKey.toUtf8());
    return send(request, "POST", QJsonDocument(QJsonObject{{"status", status}}).toJson()).status;
}

Devstack::Reply Devstack::send(QNetworkRequest request, const QByteArray& verb,
                               const QByteArray& body) {
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(timeoutMs);
    const std::unique_ptr<QNetworkReply> reply(m_network.sendCustomRequest(request, verb, body));
    if (!reply->isFinished()) {
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
            reply->rawHeader("Location")};
}
