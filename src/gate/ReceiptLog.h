#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// The gate's record of decided requests (receipts.jsonl, one JSON object a line, appended).
// Older lines carry no `by`, `agent` or `title`: those fields are then empty.
namespace ReceiptLog {

struct Receipt {
    QString id;
    QDateTime time;
    QString status; // approved, denied, approved_for_session, timed_out, withdrawn, refused
    QString by;     // phone, desktop, timeout, gate
    QString agent;
    QString title;
    QString note;

    bool operator==(const Receipt&) const = default;
};

// The last `limit` receipts in the text, newest first. A damaged line is skipped; so is a
// first line cut by reading from the middle of the file.
QList<Receipt> latest(const QByteArray& lines, qsizetype limit);

// The same, read from the end of the file in bounded time; nothing for a missing file.
QList<Receipt> readLatest(const QString& path, qsizetype limit);

} // namespace ReceiptLog
