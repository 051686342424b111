#include "app/TrayIcon.h"
#include "support/TestHome.h"

#include <QPainter>
#include <QTest>

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
