#include "platform/InstanceMessages.h"

#include <algorithm>

namespace InstanceMessages {

namespace {
const QByteArray showLine = "show";
const QByteArray urlPrefix = "url ";
const QByteArray tokenPrefix = "token ";
const QByteArray okLine = "ok";
const QByteArray refusedPrefix = "refused ";

// Tokens are opaque and short; printable ASCII without spaces is all a compositor hands out.
bool validToken(const QByteArray& token) {
    return !token.isEmpty() && token.size() <= 256 &&
           std::ranges::all_of(token, [](char c) { return c > ' ' && c < '\x7f'; });
}

std::optional<Message> parse(const QByteArray& line) {
    if (line == showLine) {
        return Show{};
    }
    if (line.startsWith(urlPrefix)) {
        QUrl url = QUrl::fromEncoded(line.mid(urlPrefix.size()), QUrl::StrictMode);
        if (url.isValid() && !url.isEmpty()) {
            return OpenUrl{std::move(url)};
        }
    }
    if (line.startsWith(tokenPrefix) && validToken(line.mid(tokenPrefix.size()))) {
        return ActivationToken{line.mid(tokenPrefix.size())};
    }
    return std::nullopt;
}
} // namespace

QByteArray encode(const Message& message) {
    if (const auto* open = std::get_if<OpenUrl>(&message)) {
        return urlPrefix + open->url.toEncoded() + '\n';
    }
    if (const auto* activation = std::get_if<ActivationToken>(&message)) {
        return tokenPrefix + activation->token + '\n';
    }
    return showLine + '\n';
}

QByteArray encodeAnswer(const Answer& answer) {
    if (answer) {
        return okLine + '\n';
    }
    // One line, and well within maxAnswerBytes however wide its characters.
    constexpr qsizetype reasonChars = 200;
    return refusedPrefix + answer.error().simplified().left(reasonChars).toUtf8() + '\n';
}

Answer decodeAnswer(const QByteArray& line) {
    const QByteArray trimmed = line.trimmed();
    if (trimmed == okLine) {
        return {};
    }
    if (trimmed.startsWith(refusedPrefix)) {
        return std::unexpected(QString::fromUtf8(trimmed.mid(refusedPrefix.size())).simplified());
    }
    return std::unexpected(QStringLiteral("an answer it could not read"));
}

QList<Message> Reader::feed(const QByteArray& bytes) {
    QList<Message> messages;
    if (m_broken) {
        return messages;
    }
    m_pending += bytes;
    qsizetype start = 0;
    for (qsizetype end = m_pending.indexOf('\n'); end >= 0;
         start = end + 1, end = m_pending.indexOf('\n', start)) {
        if (end - start > maxLineBytes) {
            break;
        }
        if (auto message = parse(m_pending.sliced(start, end - start).trimmed())) {
            messages.append(std::move(*message));
        }
    }
    m_pending.remove(0, start);
    // What is left is one line without its end, or a line over the limit.
    const qsizetype lineEnd = m_pending.indexOf('\n');
    if ((lineEnd < 0 ? m_pending.size() : lineEnd) > maxLineBytes) {
        m_broken = true;
        m_pending.clear();
    }
    return messages;
}

} // namespace InstanceMessages
