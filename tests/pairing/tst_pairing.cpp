#include "app/PairingWindow.h"
#include "app/WebSite.h"
#include "gate/GateController.h"
#include "pairing/QrCode.h"
#include "support/TestHome.h"

#include <QCryptographicHash>
#include <QLabel>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

namespace {

const QString kFallbackText = QStringLiteral(
    "No local gate configured yet. Install it from kestrova.example, then reopen this window.");

WebSite site() {
    return WebSite{QUrl(QStringLiteral("https://kestrova.example")), {}};
}

QString apiKey() {
    return QStringLiteral("kv_") +
           QString::fromLatin1(
               QCryptographicHash::hash("pairing", QCryptographicHash::Md5).toHex());
}

QWidget* card(const QWidget& window) {
    for (QWidget* child : window.findChildren<QWidget*>()) {
        if (child->accessibleName() == QLatin1String("Pairing QR code")) {
            return child;
        }
    }
    return nullptr;
}

bool canScan() {
    return !QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty();
}

QImage grab(QWidget& window) {
    QCoreApplication::processEvents(); // as the event loop would: lay out before painting
    return window.grab().toImage();
}

// What zbarimg reads from the image, byte for byte; nothing when it finds no code.
std::optional<QByteArray> scan(const QImage& image) {
    const QString zbarimg = QStandardPaths::findExecutable(QStringLiteral("zbarimg"));
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("window.png"));
    if (!image.save(file)) {
        return std::nullopt;
    }
    QProcess process;
    process.start(zbarimg, {QStringLiteral("--raw"), QStringLiteral("-Sbinary"),
                            QStringLiteral("--quiet"), file});
    if (!process.waitForFinished() || process.exitCode() != 0) {
        return std::nullopt;
    }
    // With -Sbinary zbarimg prints the bytes alone, without a newline of its own.
    return process.readAllStandardOutput();
}

// The error correction level's two bits from both copies of the format information; the
// copies must agree, else the modules were not read where they are.
std::optional<int> levelBits(const QImage& image, int modules) {
    const auto dark = [&](int x, int y) {
        const int half = QrCode::kModulePixels / 2;
        return qGray(image.pixel(x * QrCode::kModulePixels + half,
                                 y * QrCode::kModulePixels + half)) < 128;
    };
    int first = 0;
    int second = 0;
    for (int bit = 0; bit < 15; ++bit) {
        const QPoint a = bit < 6    ? QPoint(8, bit)
                         : bit < 8  ? QPoint(8, bit + 1)
                         : bit == 8 ? QPoint(7, 8)
                                    : QPoint(14 - bit, 8);
        const QPoint b = bit < 8 ? QPoint(modules - 1 - bit, 8) : QPoint(8, modules - 15 + bit);
        first |= int(dark(a.x(), a.y())) << bit;
        second |= int(dark(b.x(), b.y())) << bit;
    }
    if (first != second) {
        return std::nullopt;
    }
    return ((first ^ 0x5412) >> 13) & 3; // the format mask undone; 0 is level M
}

} // namespace

class PairingTest : public QObject {
    Q_OBJECT
private slots:
    // The image alone: ten pixel modules, level M, and no code for what has none.
    void imageHasTenPixelModulesAtLevelM() {
        const QByteArray bytes = apiKey().toUtf8();
        const auto code = QrCode::encode(bytes);
        const auto image = QrCode::render(bytes);
        QVERIFY(code && image);
        QCOMPARE(image->width(), code->modules() * 10);
        QCOMPARE(image->height(), image->width());
        // Top-left finder: dark ring, light ring, dark centre, one module each, 10 px each.
        for (int px = 0; px < 70; ++px) {
            const int ring = std::min({px, 69 - px}) / 10;
            QCOMPARE(qGray(image->pixel(px, px)) < 128, ring != 1);
        }
        QCOMPARE(levelBits(*image, code->modules()), 0);
    }
    void emptyOrOversizedKeyHasNoCode() {
        QVERIFY(!QrCode::render({}));
        QVERIFY(QrCode::render(QByteArray(2300, 'x')));
        QVERIFY(!QrCode::render(QByteArray(2400, 'x')));
    }

    void windowIsFixedSizeAndEscapeCloses() {
        TestHome home;
        GateController gate(home.environment());
        PairingWindow window(gate, site());
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QCOMPARE(window.size(), QSize(360, 420));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        QCOMPARE(window.windowTitle(), QStringLiteral("Kestrova Pairing"));
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(!window.isVisible());
    }

    // What a phone sees on screen decodes to the stored key, byte for byte.
    void windowShowsKey_data() {
        QTest::addColumn<QString>("key");
        QTest::newRow("one char") << QStringLiteral("k");
        QTest::newRow("api key") << apiKey();
        QTest::newRow("non-ascii") << QStringLiteral("ключ-🔑-clé");
        QTest::newRow("300 chars") << QString(300, u'k');
    }
    void windowShowsKey() {
        if (!canScan()) {
            QSKIP("zbarimg (zbar-tools) is not installed");
        }
        QFETCH(QString, key);
        TestHome home;
        home.signIn(key);
        GateController gate(home.environment());
        PairingWindow window(gate, site());
        // A dark theme around: the card alone must give the scanner its light quiet zone.
        window.setPalette(QPalette(QColor(30, 30, 30)));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QWidget* qr = card(window);
        QVERIFY(qr && qr->isVisible());
        QCOMPARE(qr->size(), QSize(264, 264));
        QVERIFY(window.rect().contains(QRect(qr->mapTo(&window, QPoint()), qr->size())));
        QCOMPARE(scan(grab(window)), key.toUtf8());
        // The code fills 240 x 240 inside 12 px of white, its finders' outer corners at the
        // edges; unsmoothed scaling leaves only black and white.
        const QImage face = qr->grab().toImage();
        QCOMPARE(face.size(), QSize(264, 264));
        const QRect code(12, 12, 240, 240);
        for (const QPoint corner : {code.topLeft(), code.topRight(), code.bottomLeft()}) {
            QCOMPARE(qGray(face.pixel(corner)), 0);
        }
        for (int y = 6; y < 258; ++y) {
            for (int x = 6; x < 258; ++x) {
                const int gray = qGray(face.pixel(x, y));
                const bool allowed = code.contains(x, y) ? gray == 0 || gray == 255 : gray == 255;
                QVERIFY2(allowed,
                         qPrintable(QStringLiteral("%1 at %2,%3").arg(gray).arg(x).arg(y)));
            }
        }
    }

    void withoutKeyShowsWhereToGetGate() {
        TestHome home;
        GateController gate(home.environment());
        PairingWindow window(gate, site());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QWidget* qr = card(window);
        QVERIFY(qr && !qr->isVisible());
        const auto labels = window.findChildren<QLabel*>();
        QVERIFY(std::ranges::any_of(
            labels, [](QLabel* l) { return l->isVisible() && l->text() == kFallbackText; }));
        if (canScan()) {
            QCOMPARE(scan(grab(window)), std::nullopt);
        }
    }

    // A key stored while the window is open appears on the next change, without reopening.
    void keyAppearsOnChange() {
        if (!canScan()) {
            QSKIP("zbarimg (zbar-tools) is not installed");
        }
        TestHome home;
        GateController gate(home.environment());
        PairingWindow window(gate, site());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QWidget* qr = card(window);
        QVERIFY(qr && !qr->isVisible());
        home.signIn(apiKey());
        gate.detectAgents();
        QVERIFY(qr->isVisible());
        QCOMPARE(scan(grab(window)), apiKey().toUtf8());
        home.signIn(QString());
        gate.detectAgents();
        QVERIFY(!qr->isVisible());
    }
    // Showing asks again too: a key stored while the window was closed is there when it opens.
    void keyAppearsOnShow() {
        TestHome home;
        GateController gate(home.environment());
        PairingWindow window(gate, site());
        QWidget* qr = card(window);
        QVERIFY(qr && !qr->isVisibleTo(&window));
        home.signIn(apiKey());
        window.show(); // checked at once: the controller publishes by itself once events run
        QVERIFY(qr->isVisible());
    }
};

QTEST_MAIN(PairingTest)
#include "tst_pairing.moc"
