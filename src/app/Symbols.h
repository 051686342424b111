#pragma once

#include <QIcon>
#include <QString>

// Our own SVG icons, named after the symbols they stand for ("checkmark.shield.fill").
namespace Symbols {

// The symbol drawn in one colour: the text colour, or a signal colour such as green.
QIcon icon(const QString& name, const QColor& color);

} // namespace Symbols
