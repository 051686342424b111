#pragma once

#include <QCoro/QCoroTask>
#include <QNetworkAccessManager>
#include <QUrl>

#include <chrono>

// Asks a gate whether it serves: GET /intents on 127.0.0.1 answered with status 200.
namespace GateProbe {

QUrl probeUrl(quint16 port);

// True when the whole exchange ends with a 200 within the deadline. Everything else (refused,
// silent, slow or dripping server, another status) is false.
QCoro::Task<bool> ping(QNetworkAccessManager& network, quint16 port,
                       std::chrono::milliseconds deadline);

} // namespace GateProbe
