#pragma once

#include <QString>

// A tool tip that shows the text as it is. Qt guesses whether a tool tip is rich text, and a
// title that holds markup would be drawn, images loaded and all: escaped and marked as rich
// text, it is shown literally, line breaks kept.
inline QString plainToolTip(const QString& text) {
    return text.isEmpty() ? text
                          : QStringLiteral("<p style=\"white-space:pre-wrap\">") +
                                text.toHtmlEscaped() + QStringLiteral("</p>");
}
