#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

// Our own icons, named after the symbols they stand for ("checkmark.shield.fill"), drawn in one
// colour: the text colour, or a signal colour such as green.
namespace Symbols {

// Exactly the size asked for, so nothing is scaled or drawn larger than shown.
QPixmap pixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio);

// The application's own icon for window frames and task bars.
QIcon appIcon();

} // namespace Symbols
