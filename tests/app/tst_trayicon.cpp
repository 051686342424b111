#include "app/Symbols.h"
#include "app/TrayIcon.h"
#include "support/TestHome.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>
#include <QTest>

namespace {

QImage transparent(int pixels) {
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// The symbol as its SVG draws it in the colour asked for, then laid on as one layer as opaque
// as that colour.
QImage fromSvg(const QString& name, const QColor& color, int pixels) {
    QFile file(QStringLiteral(KESTROVA_ICON_DIR "/%1.svg").arg(name));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QSvgRenderer renderer(file.readAll().replace("currentColor", color.name().toLatin1()));
    QImage opaque = transparent(pixels);
    {
        QPainter painter(&opaque);
        renderer.render(&painter);
    }
    QImage image = transparent(pixels);
    QPainter painter(&image);
    painter.setOpacity(color.alphaF());
    painter.drawImage(0, 0, opaque);
    return image;
}

// The largest difference of any channel of any pixel; images of different sizes differ wholly.
int farthest(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) {
        return 255;
    }
    int most = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            for (const int d : {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q),
                                qAlpha(p) - qAlpha(q)}) {
                most = std::max(most, std::abs(d));
            }
        }
    }
    return most;
}

} // namespace

class TestTrayIcon : public QObject {
    Q_OBJECT
private slots:
    // Drawn at build time or, at other scales, when asked: the same shape, size and colour as
    // the SVG gives, and the application icon in its own colours.
    void symbolsAsTheirSvgDrawsThem() {
        const QColor translucent(0x3c, 0x3c, 0x43, 153);
        struct Case {
            QString name;
            QColor color;
            int size;
            qreal ratio;
        };
        for (const Case& c : {Case{"checkmark.circle.fill", Qt::darkGreen, 16, 1.0},
                              Case{"circle", translucent, 16, 2.0},
                              Case{"checkmark.shield.fill", QColor(0xfa, 0xfa, 0xfa), 30, 1.5},
                              Case{"qrcode", translucent, 40, 1.25},
                              Case{"shield.lefthalf.filled", Qt::black, 56, 1.0}}) {
            const int pixels = qRound(c.size * c.ratio);
            const QPixmap shown = Symbols::pixmap(c.name, c.color, c.size, c.ratio);
            QCOMPARE(shown.size(), QSize(pixels, pixels));
            QCOMPARE(shown.devicePixelRatio(), c.ratio);
            QVERIFY2(farthest(shown.toImage(), fromSvg(c.name, c.color, pixels)) <= 2,
                     qPrintable(c.name));
        }
        for (const int size : {16, 32, 64}) {
            const QImage icon = Symbols::appIcon().pixmap(size).toImage();
            QCOMPARE(icon.size(), QSize(size, size));
            QVERIFY(farthest(icon, fromSvg(QStringLiteral("kestrova-helper"), Qt::black, size)) <=
                    2);
        }
    }

    // Seen on the panel, a good part of the symbol's shape stands apart from the panel by at
    // least WCAG's 3:1 for graphics, whatever the panel's colour.
    void legibleOnAnyPanel() {
        for (const QColor panel : {QColor(Qt::black), QColor(Qt::gray), QColor(Qt::white)}) {
            for (const QString& symbol : {QStringLiteral("checkmark.shield.fill"),
                                          QStringLiteral("shield.lefthalf.filled")}) {
                for (const int size : {16, 22, 32}) {
                    const QImage icon = TrayIcon::image(symbol, size);
                    QImage shown(icon.size(), QImage::Format_RGB32);
                    shown.fill(panel);
                    QPainter(&shown).drawImage(0, 0, icon);
                    int shape = 0;
                    int apart = 0;
                    for (int i = 0; i < size * size; ++i) {
                        const QPoint at(i % size, i / size);
                        if (qAlpha(icon.pixel(at)) >= 128) {
                            ++shape;
                            apart += contrastRatio(shown.pixelColor(at), panel) >= 3 ? 1 : 0;
                        }
                    }
                    QVERIFY2(shape > size * size / 8 && apart * 4 >= shape,
                             qPrintable(QStringLiteral("%1 at %2 px on %3")
                                            .arg(symbol, QString::number(size), panel.name())));
                }
            }
        }
    }
};

QTEST_MAIN(TestTrayIcon)
#include "tst_trayicon.moc"
