#include "gate/EventStream.h"

QList<QByteArray> EventStream::feed(QByteArrayView chunk) {
    QList<QByteArray> events;
    while (!chunk.isEmpty() && !m_overflowed) {
        const qsizetype end = chunk.indexOf('\n');
        m_line += chunk.first(end < 0 ? chunk.size() : end);
        chunk = end < 0 ? QByteArrayView() : chunk.sliced(end + 1);
        if (m_line.size() + m_data.size() > kLongest) {
            m_overflowed = true;
            break;
        }
        if (end < 0) {
            break;
        }
        if (m_line.endsWith('\r')) {
            m_line.chop(1);
        }
        if (m_line.isEmpty()) {
            if (m_hasData) {
                events << m_data;
            }
            m_data.clear();
            m_hasData = false;
        } else if (m_line.startsWith("data:")) {
            QByteArrayView value = QByteArrayView(m_line).sliced(5);
            if (value.startsWith(' ')) {
                value = value.sliced(1);
            }
            if (m_hasData) {
                m_data += '\n';
            }
            m_data += value;
            m_hasData = true;
        }
        m_line.clear();
    }
    return events;
}
