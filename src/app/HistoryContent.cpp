#include "app/HistoryContent.h"

#include <QStringList>

namespace HistoryContent {

namespace {

QString answerText(const QString& status) {
    if (status == u"approved") {
        return QStringLiteral("Approved");
    }
    if (status == u"denied") {
        return QStringLiteral("Denied");
    }
    if (status == u"approved_for_session") {
        return QStringLiteral("Allowed for the session");
    }
    if (status == u"timed_out") {
        return QStringLiteral("Timed out");
    }
    if (status == u"withdrawn") {
        return QStringLiteral("Withdrawn");
    }
    if (status == u"refused") {
        return QStringLiteral("Refused");
    }
    return status;
}

QString whereText(const ReceiptLog::Receipt& receipt) {
    if (receipt.by == u"phone") {
        return QStringLiteral("Phone");
    }
    if (receipt.by == u"desktop") {
        return QStringLiteral("Desktop");
    }
    // Lines written before the gate said who decided still say how a time-out ended.
    if (receipt.by == u"timeout" || (receipt.by.isEmpty() && receipt.status == u"timed_out")) {
        return QStringLiteral("Time-out");
    }
    if (receipt.by == u"gate") {
        return QStringLiteral("Gate");
    }
    return receipt.by;
}

} // namespace

QList<HistoryRow> rows(const QList<ReceiptLog::Receipt>& receipts) {
    QList<HistoryRow> rows;
    for (const ReceiptLog::Receipt& receipt : receipts) {
        HistoryRow row{.when =
                           receipt.time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")),
                       .agent = receipt.agent,
                       .title = receipt.title,
                       .answer = answerText(receipt.status),
                       .where = whereText(receipt),
                       .note = receipt.note,
                       .detail = {}};
        QStringList detail{
            receipt.title.isEmpty() ? QStringLiteral("(no title recorded)") : receipt.title,
            row.answer + (row.where.isEmpty() ? QString() : QStringLiteral(" · ") + row.where) +
                QStringLiteral(" · ") +
                receipt.time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))};
        if (!receipt.agent.isEmpty()) {
            detail << QStringLiteral("Agent: ") + receipt.agent;
        }
        if (!receipt.note.isEmpty()) {
            detail << QStringLiteral("Note: ") + receipt.note;
        }
        detail << QStringLiteral("Request id: ") + receipt.id;
        row.detail = detail.join(u'\n');
        rows << row;
    }
    return rows;
}

} // namespace HistoryContent
