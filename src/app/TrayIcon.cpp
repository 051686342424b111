#include "app/TrayIcon.h"

#include "app/Symbols.h"

#include <QPainter>

#include <algorithm>

namespace TrayIcon {

QImage image(const QString& symbol, int size, bool badge) {
    // Inset so that the outline stays inside the icon.
    const int ring = std::max(1, size / 16);
    const int inner = size - 2 * ring;
    const QPixmap dark = Symbols::pixmap(symbol, QColor(0x1a, 0x1a, 0x1a), inner, 1.0);
    const QPixmap light = Symbols::pixmap(symbol, QColor(0xfa, 0xfa, 0xfa), inner, 1.0);
    QImage drawn(size, size, QImage::Format_ARGB32_Premultiplied);
    drawn.fill(Qt::transparent);
    QPainter painter(&drawn);
    // The dark shape, shifted all round, leaves a ring as wide as the shift.
    for (int dx = -ring; dx <= ring; ++dx) {
        for (int dy = -ring; dy <= ring; ++dy) {
            painter.drawPixmap(ring + dx, ring + dy, dark);
        }
    }
    painter.drawPixmap(ring, ring, light);
    if (badge) {
        // Orange, outlined like the symbol, so that it shows on light and dark panels alike.
        const qreal diameter = size * 0.5;
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QColor(0x1a, 0x1a, 0x1a), ring));
        painter.setBrush(QColor(0xff, 0x95, 0x00));
        painter.drawEllipse(QRectF(size - diameter - ring / 2.0, ring / 2.0, diameter, diameter));
    }
    return drawn;
}

QIcon icon(const QString& symbol, bool badge) {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        icon.addPixmap(QPixmap::fromImage(image(symbol, size, badge)));
    }
    return icon;
}

} // namespace TrayIcon
