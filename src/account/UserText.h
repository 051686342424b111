#pragma once

#include <QByteArray>
#include <QString>

// Turning what a server sent into text fit for a one-line message.
namespace UserText {

// The body as UTF-8, or empty text when the bytes are not valid UTF-8.
QString fromUtf8OrEmpty(const QByteArray& body);

// The first count user-perceived characters (grapheme clusters), or the whole text if shorter.
QString firstCharacters(const QString& text, int count);

// A server's text fit for a one-line message: each run of whitespace, line breaks included,
// made one space (pretty-printed JSON would break the menu entry), then cut to count
// characters.
QString oneLineExcerpt(const QString& text, int count);

} // namespace UserText
