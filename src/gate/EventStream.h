#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// The framing of a text/event-stream: lines ended by LF or CRLF, an event ended by a blank
// line, its "data:" lines joined by LF; comments and other fields are skipped.
class EventStream {
public:
    // The data of every event the chunk completes, in order.
    QList<QByteArray> feed(QByteArrayView chunk);

    // More than kLongest bytes arrived without ending a line or an event: the peer is not a
    // gate, and the stream should be dropped.
    bool overflowed() const { return m_overflowed; }
    static constexpr qsizetype kLongest = qsizetype{8} * 1024 * 1024;

private:
    QByteArray m_line;
    QByteArray m_data;
    bool m_hasData = false;
    bool m_overflowed = false;
};
