#include "account/HttpExchange.h"

#include "platform/ReplyLifetime.h"

#include <QNetworkReply>
#include <QPointer>

#include <memory>

namespace HttpExchange {

namespace {

enum class Cutoff { None, Deadline, TooLarge };

// A network or proxy failure means the answer is not whole, whatever status arrived; other
// errors are how Qt names an HTTP status, and the status itself is what counts.
bool lostInTransport(QNetworkReply::NetworkError error, bool hasStatus) {
    const int code = error;
    const bool networkFailure = code > 0 && code < QNetworkReply::ContentAccessDenied;
    return networkFailure || (code != QNetworkReply::NoError && !hasStatus);
}

} // namespace

QCoro::Task<std::expected<Answer, TransportError>> post(QNetworkAccessManager& network,
                                                        QNetworkRequest request, QByteArray body,
                                                        std::chrono::milliseconds deadline) {
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    const ReplyLifetime::Owned reply(network.post(request, body));
    QNetworkReply* const raw = reply.get();
    auto cutoff = std::make_shared<Cutoff>(Cutoff::None);
    auto received = std::make_shared<QByteArray>();
    QObject::connect(raw, &QIODevice::readyRead, raw, [raw, cutoff, received] {
        received->append(raw->readAll());
        if (received->size() > maxBodyBytes) {
            *cutoff = Cutoff::TooLarge;
            raw->abort();
        }
    });
    ReplyLifetime::abortAfter(*raw, deadline, [cutoff] { *cutoff = Cutoff::Deadline; });
    co_await ReplyLifetime::Finished{*raw};

    if (*cutoff == Cutoff::Deadline) {
        co_return std::unexpected(TransportError{QStringLiteral("The request timed out.")});
    }
    if (*cutoff == Cutoff::TooLarge) {
        co_return std::unexpected(TransportError{QStringLiteral("The answer was too large.")});
    }
    const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (lostInTransport(raw->error(), status.isValid())) {
        co_return std::unexpected(TransportError{raw->errorString()});
    }
    received->append(raw->readAll());
    co_return Answer{status.isValid() ? status.toInt() : -1, *received};
}

} // namespace HttpExchange
