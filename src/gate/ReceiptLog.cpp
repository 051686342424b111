#include "gate/ReceiptLog.h"

#include "platform/RegularFile.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace ReceiptLog {

namespace {

// A receipt is a few hundred bytes and at most about 3 KiB (a 500-character note, a 200-character
// title, both in three-byte characters): 200 fit in far less than this.
constexpr qint64 kTailBytes = qint64{1024} * 1024;

std::optional<Receipt> receiptOf(QByteArrayView line) {
    const QJsonDocument document = QJsonDocument::fromJson(line.toByteArray());
    const QJsonObject object = document.object();
    const auto text = [&object](const char* key) {
        return object.value(QLatin1StringView(key)).toString();
    };
    Receipt receipt{.id = text("id"),
                    .time = QDateTime::fromString(text("time"), Qt::ISODateWithMs),
                    .status = text("status"),
                    .by = text("by"),
                    .agent = text("agent"),
                    .title = text("title"),
                    .note = text("note")};
    if (!document.isObject() || receipt.id.isEmpty() || receipt.status.isEmpty() ||
        !receipt.time.isValid()) {
        return std::nullopt;
    }
    return receipt;
}

} // namespace

QList<Receipt> latest(const QByteArray& lines, qsizetype limit) {
    QList<Receipt> receipts;
    qsizetype end = lines.size();
    while (end > 0 && receipts.size() < limit) {
        const qsizetype start = lines.lastIndexOf('\n', end - 1) + 1;
        if (auto receipt = receiptOf(QByteArrayView(lines).sliced(start, end - start))) {
            receipts << *receipt;
        }
        end = start - 1;
    }
    return receipts;
}

QList<Receipt> readLatest(const QString& path, qsizetype limit) {
    return latest(RegularFile::readTail(path, kTailBytes).value_or(QByteArray()), limit);
}

} // namespace ReceiptLog
