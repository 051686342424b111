#include "account/UserText.h"

#include <QStringDecoder>
#include <QTextBoundaryFinder>

namespace UserText {

QString fromUtf8OrEmpty(const QByteArray& body) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(body);
    return decoder.hasError() ? QString() : text;
}

QString firstCharacters(const QString& text, int count) {
    QTextBoundaryFinder boundaries(QTextBoundaryFinder::Grapheme, text);
    int seen = 0;
    while (seen < count && boundaries.toNextBoundary() >= 0) {
        ++seen;
    }
    if (seen < count || boundaries.position() < 0) {
        return text;
    }
    return text.left(boundaries.position());
}

QString oneLineExcerpt(const QString& text, int count) {
    return firstCharacters(text.simplified(), count);
}

} // namespace UserText
