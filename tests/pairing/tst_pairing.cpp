#include "app/PairingWindow.h"
#include "app/WebSite.h"
#include "gate/GateController.h"
#include "pairing/QrCode.h"
#include "support/TestHome.h"

#include <QFile>
#include <QTest>

namespace {
const QString kKey = QStringLiteral("kv_0123456789abcdef0123456789abcdef-ünïcödé");
} // namespace

class PairingTest : public QObject {
    Q_OBJECT
private slots:
    // The code follows the key as it comes and goes. On the screen, at any scale, it is drawn in
    // whole device pixels per module, with four modules of white around it.
    void theCodeCarriesTheKeyInUse() {
        const TestHome home;
        GateController gate(home.environment());
        PairingWindow window(gate, WebSite{QUrl(QStringLiteral("https://kestrova.example")), {}});
        QWidget* card = nullptr;
        for (QWidget* child : window.findChildren<QWidget*>()) {
            card = child->accessibleName() == u"Pairing QR code" ? child : card;
        }
        QVERIFY(card && !card->isVisibleTo(&window));
        // The key is read when the windows redraw, which a change of what they show brings
        // about: here an agent that comes, then goes.
        home.signIn(kKey);
        home.makeFile(QStringLiteral("usr/bin/claude"), "#!/bin/sh\n", true);
        gate.detectAgents();
        QVERIFY(card->isVisibleTo(&window));

        const std::optional<QrCode> key = QrCode::encode(kKey.toUtf8());
        for (const qreal ratio : {1.0, 1.25, 1.5, 2.0, 3.0}) {
            QImage drawn(card->size() * ratio, QImage::Format_RGB32);
            drawn.fill(Qt::white);
            drawn.setDevicePixelRatio(ratio);
            card->render(&drawn);
            drawn.setDevicePixelRatio(1);
            QRect code;
            for (int i = 0; i < drawn.width() * drawn.height(); ++i) {
                const QPoint at(i % drawn.width(), i / drawn.width());
                code |= qGray(drawn.pixel(at)) < 128 ? QRect(at, QSize(1, 1)) : QRect();
            }
            // Exactly the key's code, a whole number of device pixels per module: nothing grey.
            const int modulePixels = code.width() / key->modules();
            QCOMPARE(drawn.copy(code),
                     key->image(modulePixels).convertToFormat(QImage::Format_RGB32));
            const int quiet = QrCode::kQuietModules * modulePixels;
            QVERIFY(drawn.rect().marginsRemoved({quiet, quiet, quiet, quiet}).contains(code));
        }
        home.signIn(QString());
        QVERIFY(QFile::remove(home.path(QStringLiteral("usr/bin/claude"))));
        gate.detectAgents();
        QVERIFY(!card->isVisibleTo(&window));
    }
};

QTEST_MAIN(PairingTest)
#include "tst_pairing.moc"
