#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <expected>

// An HTTP/1.1 response read as it arrives: the status line and the headers, then the body
// framed by Content-Length, by chunks, or by the end of the connection. Bounded: a head or a
// chunk-size line past kLongestHead bytes is not an answer of the gate.
class HttpResponse {
public:
    // The body bytes these bytes complete, or why they are not a response.
    std::expected<QByteArray, QString> feed(QByteArrayView bytes);
    // The peer closed the connection: whether the response was whole by then.
    std::expected<void, QString> close();

    bool headComplete() const { return m_stage != Stage::Head; }
    bool complete() const { return m_stage == Stage::Done; }
    int status() const { return m_status; }
    // The head's value of that header (name in lower case), the last one when repeated.
    QByteArray header(QByteArrayView name) const;

    static constexpr qsizetype kLongestHead = qsizetype{16} * 1024;

private:
    enum class Stage { Head, Sized, ChunkSize, ChunkData, ChunkEnd, Trailer, UntilClose, Done };

    std::expected<void, QString> takeHead();
    std::expected<void, QString> takeChunkSize(QByteArrayView line);
    // The next line of the head, the chunk sizes or the trailer, without its CRLF; nothing
    // while it is not whole.
    std::expected<std::optional<QByteArray>, QString> line(QByteArrayView& bytes);

    Stage m_stage = Stage::Head;
    QByteArray m_pending;
    QByteArray m_head;
    int m_status = 0;
    qint64 m_left = 0;
};
