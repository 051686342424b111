#include "app/Symbols.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

// The icons live in a static library, whose resources are only registered when asked to.
static void registerSymbolResources() {
    Q_INIT_RESOURCE(symbols);
}

namespace Symbols {

namespace {

QByteArray tintedSvg(const QString& name, const QColor& color) {
    static const bool registered = (registerSymbolResources(), true);
    Q_UNUSED(registered);
    QFile file(QStringLiteral(":/symbols/%1.svg").arg(name));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    // The symbols are drawn in currentColor; naming the colour is all tinting takes.
    QByteArray svg = file.readAll();
    svg.replace("currentColor", color.name(QColor::HexRgb).toLatin1());
    return svg;
}

QPixmap render(QSvgRenderer& renderer, const QColor& color, int pixels) {
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    // SVG colours carry no alpha: a translucent colour (secondary text) is painted translucent.
    painter.setOpacity(color.alphaF());
    renderer.render(&painter);
    return pixmap;
}

} // namespace

QPixmap pixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio) {
    QSvgRenderer renderer(tintedSvg(name, color));
    QPixmap drawn = render(renderer, color, qRound(size * devicePixelRatio));
    drawn.setDevicePixelRatio(devicePixelRatio);
    return drawn;
}

QIcon icon(const QString& name, const QColor& color) {
    QSvgRenderer renderer(tintedSvg(name, color));
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48}) {
        icon.addPixmap(render(renderer, color, size));
    }
    return icon;
}

QIcon appIcon() {
    // Drawn once, small: every size given travels to the display server with each new window,
    // before the window can show. Docks and switchers take the large ones from the installed
    // theme icon, through the desktop entry. Drawn in its own colours: the colour only replaces
    // currentColor, which it has none of.
    static const QIcon drawn = [] {
        QSvgRenderer renderer(tintedSvg(QStringLiteral("kestrova-helper"), Qt::black));
        QIcon icon;
        for (const int size : {16, 24, 32, 48, 64}) {
            icon.addPixmap(render(renderer, Qt::black, size));
        }
        return icon;
    }();
    return drawn;
}

} // namespace Symbols
