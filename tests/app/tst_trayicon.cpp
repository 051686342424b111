#include "app/TrayIcon.h"

#include <QPainter>
#include <QTest>

#include <cmath>

namespace {

// WCAG 2 relative luminance and contrast ratio.
double luminance(QColor color) {
    const auto channel = [](double value) {
        return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) +
           0.0722 * channel(color.blueF());
}

double contrast(QColor a, QColor b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

} // namespace

class TestTrayIcon : public QObject {
    Q_OBJECT
private slots:
    void legibleOnAnyPanel_data() {
        QTest::addColumn<QColor>("panel");
        QTest::newRow("black") << QColor(Qt::black);
        QTest::newRow("dark") << QColor(0x30, 0x30, 0x38);
        QTest::newRow("grey") << QColor(0x80, 0x80, 0x80);
        QTest::newRow("light") << QColor(0xee, 0xee, 0xee);
        QTest::newRow("white") << QColor(Qt::white);
    }

    // Seen on the panel, a good part of the symbol's shape stands apart from the panel by at
    // least WCAG's 3:1 for graphics, whatever the panel's colour.
    void legibleOnAnyPanel() {
        QFETCH(QColor, panel);
        for (const QString& symbol :
             {QStringLiteral("checkmark.shield.fill"), QStringLiteral("shield.lefthalf.filled")}) {
            for (const int size : {16, 22, 32}) {
                const QImage icon = TrayIcon::image(symbol, size);
                QImage shown(icon.size(), QImage::Format_RGB32);
                shown.fill(panel);
                QPainter(&shown).drawImage(0, 0, icon);
                int shape = 0;
                int apart = 0;
                for (int y = 0; y < size; ++y) {
                    for (int x = 0; x < size; ++x) {
                        if (qAlpha(icon.pixel(x, y)) < 128) {
                            continue;
                        }
                        ++shape;
                        apart += contrast(shown.pixelColor(x, y), panel) >= 3.0 ? 1 : 0;
                    }
                }
                QVERIFY2(shape > size * size / 8, qPrintable(symbol));
                QVERIFY2(apart * 4 >= shape, qPrintable(QStringLiteral("%1 at %2 px: %3 of %4")
                                                            .arg(symbol)
                                                            .arg(size)
                                                            .arg(apart)
                                                            .arg(shape)));
            }
        }
    }
};

QTEST_MAIN(TestTrayIcon)
#include "tst_trayicon.moc"
