#include "support/Devstack.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRegularExpression>

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
    return QJsonDocument::fromJson(
               send(QNetworkRequest(baseUrl().resolved(QUrl("/devstack/state")))).body)
        .object();
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
