#pragma once

#include <QHttpServerResponse>
#include <QJsonObject>
#include <QString>

#include <optional>

// Small answer builders shared by the stand-ins.
namespace http {

using Status = QHttpServerResponse::StatusCode;

QHttpServerResponse json(const QJsonObject& body, Status status = Status::Ok);
QHttpServerResponse error(Status status, const QString& message);
QHttpServerResponse html(const QString& title, const QString& bodyHtml, Status status = Status::Ok);
QHttpServerResponse redirect(const QString& location);
// A status with a body chosen by a fault: JSON when it parses as JSON, plain text otherwise.
QHttpServerResponse raw(int status, const QString& body);

// A request body that is one JSON object, or nothing.
std::optional<QJsonObject> jsonObject(const QByteArray& body);

QString randomHex(int bytes);
QString randomUrlToken(int bytes);

} // namespace http
