#include "app/PairingWindow.h"
#include "app/WebSite.h"
#include "gate/GateController.h"
#include "pairing/QrCode.h"
#include "support/TestHome.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kKey = QStringLiteral("kv_0123456789abcdef0123456789abcdef-ünïcödé");

// What a scanner reads from an image, byte for byte; nothing when it finds no code.
QByteArray scan(const QImage& image) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("card.png"));
    QProcess zbarimg;
    if (image.save(file)) {
        zbarimg.start(
            QStringLiteral("zbarimg"),
            {QStringLiteral("--raw"), QStringLiteral("-Sbinary"), QStringLiteral("--quiet"), file});
        zbarimg.waitForFinished();
    }
    return zbarimg.readAllStandardOutput();
}

} // namespace

class PairingTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty()) {
            QSKIP("zbarimg (zbar-tools) is not installed");
        }
    }

    void theCodeCarriesTheKeyInUse_data() {
        QTest::addColumn<qreal>("ratio");
        for (const qreal ratio : {1.0, 1.25, 1.5, 2.0, 3.0}) {
            QTest::addRow("%g×", ratio) << ratio;
        }
    }

    // The code follows the key as it comes and goes. On the screen, at any scale, it has a whole
    // number of device pixels per module, nothing grey, and four modules of white around it.
    void theCodeCarriesTheKeyInUse() {
        QFETCH(qreal, ratio);
        const TestHome home;
        GateController gate(home.environment());
        PairingWindow window(gate, WebSite{QUrl(QStringLiteral("https://kestrova.example")), {}});
        QWidget* card = nullptr;
        for (QWidget* child : window.findChildren<QWidget*>()) {
            card = child->accessibleName() == u"Pairing QR code" ? child : card;
        }
        QVERIFY(card && !card->isVisibleTo(&window));
        home.signIn(kKey);
        gate.detectAgents();
        QVERIFY(card->isVisibleTo(&window));

        QImage drawn(card->size() * ratio, QImage::Format_RGB32);
        drawn.fill(Qt::white);
        drawn.setDevicePixelRatio(ratio);
        card->render(&drawn);
        drawn.setDevicePixelRatio(1);
        QRect code;
        for (int y = 0; y < drawn.height(); ++y) {
            for (int x = 0; x < drawn.width(); ++x) {
                code |= qGray(drawn.pixel(x, y)) < 128 ? QRect(x, y, 1, 1) : QRect();
            }
        }
        const int modules = QrCode::encode(kKey.toUtf8())->modules();
        QCOMPARE(code.width(), code.height());
        QCOMPARE(code.width() % modules, 0);
        for (int i = 0; i < code.width() * code.height(); ++i) {
            const QRgb pixel =
                drawn.pixel(code.topLeft() + QPoint(i % code.width(), i / code.width()));
            QVERIFY2(pixel == qRgb(0, 0, 0) || pixel == qRgb(255, 255, 255), "a grey pixel");
        }
        const int quiet = QrCode::kQuietModules * code.width() / modules;
        QVERIFY(drawn.rect().marginsRemoved({quiet, quiet, quiet, quiet}).contains(code));
        QCOMPARE(scan(drawn), kKey.toUtf8());

        home.signIn(QString());
        gate.detectAgents();
        QVERIFY(!card->isVisibleTo(&window));
    }
};

QTEST_MAIN(PairingTest)
#include "tst_pairing.moc"
