#include "app/Symbols.h"

#include "app/AppLog.h"
#include "app/DrawnSymbols.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QPainter>

// The icons live in a static library, whose resources are only registered when asked to.
static void registerSymbolResources() {
    Q_INIT_RESOURCE(symbols);
}

namespace Symbols {

namespace {

// A size not drawn at build time (a fractional scale) is drawn from the SVG by Qt's image
// plugin, loaded only then; in black, as the drawn ones, since only the alpha of a symbol counts.
QImage readSvg(const QString& name, int pixels) {
    static const bool registered = (registerSymbolResources(), true);
    Q_UNUSED(registered);
    QFile file(QStringLiteral(":/symbols/%1.svg").arg(name));
    QByteArray svg = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    svg.replace("currentColor", "#000000");
    QBuffer buffer(&svg);
    QImageReader reader(&buffer, "svg");
    reader.setScaledSize(QSize(pixels, pixels));
    QImage image = reader.read();
    if (image.isNull()) {
        // Left blank rather than missing, so that nothing around it moves.
        qCWarning(lcApp) << "symbol" << name << "not drawn at" << pixels
                         << "px:" << reader.errorString();
        image = QImage(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
    }
    return image;
}

QImage shape(const QString& name, int pixels) {
    const QByteArray key = name.toUtf8();
    for (const DrawnSymbol& drawn : drawnSymbols()) {
        if (drawn.pixels == pixels && drawn.name == std::string_view(key.data(), key.size())) {
            return drawn.coloured
                       ? QImage(drawn.data, pixels, pixels, qsizetype{4} * pixels,
                                QImage::Format_RGBA8888_Premultiplied)
                       : QImage(drawn.data, pixels, pixels, pixels, QImage::Format_Alpha8);
        }
    }
    return readSvg(name, pixels);
}

// The colour where the shape is, as opaque as the shape and the colour together: a
// translucent colour (secondary text) gives a translucent symbol.
QImage tinted(const QImage& shape, const QColor& color) {
    QImage image(shape.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(color);
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    painter.drawImage(0, 0, shape);
    return image;
}

} // namespace

QPixmap pixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio) {
    QPixmap drawn = QPixmap::fromImage(tinted(shape(name, qRound(size * devicePixelRatio)), color));
    drawn.setDevicePixelRatio(devicePixelRatio);
    return drawn;
}

QIcon appIcon() {
    // Small sizes only: every size given travels to the display server with each new window,
    // before the window can show. Docks and switchers take the large ones from the installed
    // theme icon, through the desktop entry.
    static const QIcon drawn = [] {
        QIcon icon;
        for (const int size : {16, 24, 32, 48, 64}) {
            icon.addPixmap(QPixmap::fromImage(shape(QStringLiteral("kestrova-helper"), size)));
        }
        return icon;
    }();
    return drawn;
}

} // namespace Symbols
