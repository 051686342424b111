#include "app/Symbols.h"

#include <QFile>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// The icons live in a static library, whose resources are only registered when asked to.
static void registerSymbolResources() {
    Q_INIT_RESOURCE(symbols);
}

namespace Symbols {

namespace {
QString resourcePath(const QString& name) {
    static const bool registered = (registerSymbolResources(), true);
    Q_UNUSED(registered);
    return QStringLiteral(":/symbols/%1.svg").arg(name);
}
} // namespace

QIcon icon(const QString& name, const QColor& color) {
    QFile file(resourcePath(name));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    // The symbols are drawn in currentColor; naming the colour is all tinting takes. SVG
    // colours carry no alpha, so a translucent colour (secondary text) is painted translucent.
    QByteArray svg = file.readAll();
    svg.replace("currentColor", color.name(QColor::HexRgb).toLatin1());
    QSvgRenderer renderer(svg);
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 96, 128}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setOpacity(color.alphaF());
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace Symbols
