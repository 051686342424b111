#pragma once

#include "gate/ReceiptLog.h"

#include <QList>
#include <QString>

// What the history window shows for the gate's receipts: one row a decision, newest first.
struct HistoryRow {
    QString when; // local time, to the minute
    QString agent;
    QString title;
    QString answer;
    QString where; // Phone, Desktop, Time-out, Gate, or empty when the line did not say
    QString note;
    QString detail; // every field, for the pane under the list

    bool operator==(const HistoryRow&) const = default;
};

namespace HistoryContent {

// How many decisions the window lists.
inline constexpr qsizetype kShown = 200;

QList<HistoryRow> rows(const QList<ReceiptLog::Receipt>& receipts);

} // namespace HistoryContent
