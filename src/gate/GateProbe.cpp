#include "gate/GateProbe.h"

#include "platform/ReplyLifetime.h"

#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>

namespace GateProbe {

QUrl probeUrl(quint16 port) {
    return QUrl(QStringLiteral("http://127.0.0.1:%1/intents").arg(port));
}

QCoro::Task<bool> ping(QNetworkAccessManager& network, quint16 port,
                       std::chrono::milliseconds deadline) {
    const QUrl url = probeUrl(port);
    if (!url.isValid()) {
        co_return false;
    }
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    const ReplyLifetime::Owned reply(network.get(request));
    QNetworkReply* const raw = reply.get();
    // The body is ignored; dropping it as it comes keeps a chatty server from filling memory.
    QObject::connect(raw, &QIODevice::readyRead, raw, [raw] { raw->readAll(); });
    ReplyLifetime::abortAfter(*raw, deadline);
    co_await ReplyLifetime::Finished{*raw};
    co_return raw->error() != QNetworkReply::OperationCanceledError &&
        raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
}

} // namespace GateProbe
