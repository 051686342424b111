#include "gate/HttpResponse.h"

#include <QList>

#include <utility>

namespace {

QString notHttp(const char* why) {
    return QStringLiteral("not an HTTP answer (%1)").arg(QLatin1StringView(why));
}

// A whole number of the given base, at most 15 digits, nothing else.
std::optional<qint64> number(QByteArrayView text, int base) {
    if (text.isEmpty() || text.size() > 15) {
        return std::nullopt;
    }
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, base);
    const bool digitsOnly = std::ranges::all_of(text, [base](char c) {
        return (c >= '0' && c <= '9') || (base == 16 && QByteArrayView("abcdefABCDEF").contains(c));
    });
    return ok && digitsOnly && value >= 0 ? std::optional(value) : std::nullopt;
}

} // namespace

std::expected<std::optional<QByteArray>, QString> HttpResponse::line(QByteArrayView& bytes) {
    const qsizetype end = bytes.indexOf('\n');
    const qsizetype taken = end < 0 ? bytes.size() : end + 1;
    m_pending += bytes.first(taken);
    bytes = bytes.sliced(taken);
    if (m_pending.size() + m_head.size() > kLongestHead) {
        return std::unexpected(notHttp("a line without end"));
    }
    if (end < 0) {
        return std::nullopt;
    }
    QByteArray whole = std::exchange(m_pending, {});
    whole.chop(whole.endsWith("\r\n") ? 2 : 1);
    return whole;
}

QByteArray HttpResponse::header(QByteArrayView name) const {
    QByteArray value;
    const QList<QByteArray> lines = m_head.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines.at(i).indexOf(':');
        if (colon > 0 && lines.at(i).first(colon).trimmed().toLower() == name) {
            value = lines.at(i).sliced(colon + 1).trimmed();
        }
    }
    return value;
}

std::expected<void, QString> HttpResponse::takeHead() {
    const QByteArray statusLine = m_head.first(qMax(qsizetype{0}, m_head.indexOf('\n')));
    const QList<QByteArray> parts = statusLine.split(' ');
    // A code of three digits: read as a plain number, since an optional made in a conditional
    // trips GCC 12's -Wmaybe-uninitialized at -O2.
    const qint64 status =
        parts.size() >= 2 && parts.at(1).size() == 3 ? number(parts.at(1), 10).value_or(0) : 0;
    if (!statusLine.startsWith("HTTP/1.") || status < 100) {
        return std::unexpected(notHttp("no status line"));
    }
    m_status = int(status);
    if (m_status < 200) {
        // An interim answer: the real one follows.
        m_head.clear();
        return {};
    }
    const QByteArray coding = header("transfer-encoding").toLower();
    const QByteArray length = header("content-length");
    if (m_status == 204 || m_status == 304) {
        m_stage = Stage::Done;
    } else if (coding.endsWith("chunked")) {
        m_stage = Stage::ChunkSize;
    } else if (!length.isEmpty()) {
        const auto size = number(length, 10);
        if (!size) {
            return std::unexpected(notHttp("a bad Content-Length"));
        }
        m_left = *size;
        m_stage = m_left == 0 ? Stage::Done : Stage::Sized;
    } else {
        m_stage = Stage::UntilClose;
    }
    return {};
}

std::expected<void, QString> HttpResponse::takeChunkSize(QByteArrayView line) {
    const qsizetype extension = line.indexOf(';');
    const auto size = number(line.first(extension < 0 ? line.size() : extension).trimmed(), 16);
    if (!size) {
        return std::unexpected(notHttp("a bad chunk size"));
    }
    m_left = *size;
    m_stage = m_left == 0 ? Stage::Trailer : Stage::ChunkData;
    return {};
}

std::expected<QByteArray, QString> HttpResponse::feed(QByteArrayView bytes) {
    QByteArray body;
    while (!bytes.isEmpty() && m_stage != Stage::Done) {
        if (m_stage == Stage::Sized || m_stage == Stage::ChunkData) {
            const qsizetype taken = qsizetype(qMin<qint64>(m_left, bytes.size()));
            body += bytes.first(taken);
            bytes = bytes.sliced(taken);
            m_left -= taken;
            if (m_left == 0) {
                m_stage = m_stage == Stage::Sized ? Stage::Done : Stage::ChunkEnd;
            }
            continue;
        }
        if (m_stage == Stage::UntilClose) {
            body += bytes;
            break;
        }
        const auto next = line(bytes);
        if (!next) {
            return std::unexpected(next.error());
        }
        if (!*next) {
            break;
        }
        const QByteArray& text = **next;
        std::expected<void, QString> taken;
        switch (m_stage) {
        case Stage::Head:
            if (text.isEmpty()) {
                taken = takeHead();
            } else {
                m_head += text + '\n';
            }
            break;
        case Stage::ChunkSize:
            taken = takeChunkSize(text);
            break;
        case Stage::ChunkEnd:
            if (!text.isEmpty()) {
                return std::unexpected(notHttp("a chunk longer than its size"));
            }
            m_stage = Stage::ChunkSize;
            break;
        case Stage::Trailer:
            m_stage = text.isEmpty() ? Stage::Done : Stage::Trailer;
            break;
        default:
            break;
        }
        if (!taken) {
            return std::unexpected(taken.error());
        }
    }
    return body;
}

std::expected<void, QString> HttpResponse::close() {
    if (m_stage == Stage::UntilClose) {
        m_stage = Stage::Done;
    }
    if (m_stage == Stage::Done) {
        return {};
    }
    return std::unexpected(m_stage == Stage::Head && m_head.isEmpty() && m_pending.isEmpty()
                               ? QStringLiteral("closed without an answer")
                               : QStringLiteral("closed in the middle of its answer"));
}
