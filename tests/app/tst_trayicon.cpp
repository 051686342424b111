#include "app/TrayIcon.h"

#include <QPainter>
#include <QTest>

#include <cmath>

namespace {

// WCAG 2 contrast ratio of two colours.
double contrast(QColor a, QColor b) {
    const auto luminance = [](QColor color) {
        const auto channel = [](double value) {
            return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) +
               0.0722 * channel(color.blueF());
    };
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

} // namespace

class TestTrayIcon : public QObject {
    Q_OBJECT
private slots:
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
                            apart += contrast(shown.pixelColor(at), panel) >= 3 ? 1 : 0;
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
