#pragma once

#include "account/TransportError.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

#include <chrono>
#include <expected>

// One POST, one answer: the way both the token endpoint and the relay are spoken to.
namespace HttpExchange {

struct Answer {
    int status = -1; // -1 when the answer was not an HTTP response
    QByteArray body;
};

// Larger answers are cut off: no server of ours sends anything near it.
inline constexpr qint64 maxBodyBytes = qint64{4} * 1024 * 1024;

// The deadline covers the whole exchange, so a server that drips its answer still ends it.
QCoro::Task<std::expected<Answer, TransportError>> post(QNetworkAccessManager& network,
                                                        QNetworkRequest request, QByteArray body,
                                                        std::chrono::milliseconds deadline);

} // namespace HttpExchange
