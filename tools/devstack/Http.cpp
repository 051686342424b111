#include "Http.h"

#include <QJsonDocument>
#include <QRandomGenerator>

namespace http {

QHttpServerResponse json(const QJsonObject& body, Status status) {
    return QHttpServerResponse("application/json",
                               QJsonDocument(body).toJson(QJsonDocument::Compact), status);
}

QHttpServerResponse error(Status status, const QString& message) {
    return json({{"error", message}}, status);
}

QHttpServerResponse html(const QString& title, const QString& bodyHtml, Status status) {
    const QString page = QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                                        "<title>%1</title></head>\n<body>\n%2\n</body></html>\n")
                             .arg(title.toHtmlEscaped(), bodyHtml);
    return QHttpServerResponse("text/html; charset=utf-8", page.toUtf8(), status);
}

QHttpServerResponse redirect(const QString& location) {
    QHttpServerResponse response(Status::Found);
    response.setHeader("Location", location.toUtf8());
    return response;
}

QHttpServerResponse raw(int status, const QString& body) {
    const QByteArray bytes = body.toUtf8();
    QJsonParseError parseError{};
    QJsonDocument::fromJson(bytes, &parseError);
    const QByteArray type = parseError.error == QJsonParseError::NoError
                                ? QByteArrayLiteral("application/json")
                                : QByteArrayLiteral("text/plain; charset=utf-8");
    return QHttpServerResponse(type, bytes, static_cast<Status>(status));
}

static QByteArray randomBytes(int count) {
    QByteArray bytes(count, Qt::Uninitialized);
    for (char& byte : bytes) {
        byte = static_cast<char>(QRandomGenerator::system()->bounded(256));
    }
    return bytes;
}

std::optional<QJsonObject> jsonObject(const QByteArray& body) {
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    return document.object();
}

QString randomHex(int bytes) {
    return QString::fromLatin1(randomBytes(bytes).toHex());
}

QString randomUrlToken(int bytes) {
    return QString::fromLatin1(randomBytes(bytes).toBase64(QByteArray::Base64UrlEncoding |
                                                           QByteArray::OmitTrailingEquals));
}

} // namespace http
