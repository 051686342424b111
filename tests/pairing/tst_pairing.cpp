#include "app/PairingWindow.h"
#include "app/WebSite.h"
#include "gate/GateController.h"
#include "pairing/QrCode.h"
#include "support/TestHome.h"

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kFallbackText = QStringLiteral(
    "No local gate configured yet. Install it from kestrova.example, then reopen this window.");

// What a scanner reads from an image, byte for byte; nothing when it finds no code.
std::optional<QByteArray> scan(const QImage& image) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("window.png"));
    QProcess zbarimg;
    if (!image.save(file)) {
        return std::nullopt;
    }
    zbarimg.start(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-Sbinary"),
                                              QStringLiteral("--quiet"), file});
    if (!zbarimg.waitForFinished() || zbarimg.exitCode() != 0) {
        return std::nullopt;
    }
    return zbarimg.readAllStandardOutput();
}

std::optional<QByteArray> scan(QWidget& window) {
    QCoreApplication::processEvents(); // as the event loop would: lay out before painting
    return scan(window.grab().toImage());
}

const QString kKey = QStringLiteral("kv_0123456789abcdef0123456789abcdef-ünïcödé");

// Every wrapped text got the height it needs at its width: nothing is cut off.
bool nothingClipped(const QWidget& window) {
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        if (label->isVisibleTo(&window) && label->wordWrap() &&
            label->height() < label->heightForWidth(label->width())) {
            qWarning() << "clipped:" << label->text();
            return false;
        }
    }
    return true;
}

bool showsFallback(const QWidget& window) {
    const auto labels = window.findChildren<QLabel*>();
    return std::ranges::any_of(
        labels, [](const QLabel* l) { return l->isVisible() && l->text() == kFallbackText; });
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

    // The code follows the key as it comes and goes, readable on a dark theme too.
    void theCodeCarriesTheKeyInUse() {
        const TestHome home;
        GateController gate(home.environment());
        PairingWindow window(gate, WebSite{QUrl(QStringLiteral("https://kestrova.example")), {}});
        window.setPalette(QPalette(QColor(30, 30, 30)));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(showsFallback(window));
        QCOMPARE(scan(window), std::nullopt);

        home.signIn(kKey);
        gate.detectAgents();
        QCOMPARE(scan(window), kKey.toUtf8());
        QVERIFY(!showsFallback(window));

        home.signIn(QString());
        gate.detectAgents();
        QVERIFY(showsFallback(window));
    }

    void modulesStayWholeAtEveryScale_data() {
        QTest::addColumn<qreal>("ratio");
        for (const qreal ratio : {1.0, 1.25, 1.5, 2.0, 3.0}) {
            QTest::addRow("%g×", ratio) << ratio;
        }
    }

    // The card as the screen gets it: a whole number of device pixels per module, nothing
    // grey, and at least four modules of white around the code.
    void modulesStayWholeAtEveryScale() {
        QFETCH(qreal, ratio);
        TestHome home;
        home.signIn(kKey);
        GateController gate(home.environment());
        PairingWindow window(gate, WebSite{QUrl(QStringLiteral("https://kestrova.example")), {}});
        QWidget* card = nullptr;
        for (QWidget* child : window.findChildren<QWidget*>()) {
            if (child->accessibleName() == u"Pairing QR code") {
                card = child;
            }
        }
        QVERIFY(card && card->isVisibleTo(&window));
        QImage drawn(card->size() * ratio, QImage::Format_RGB32);
        drawn.fill(Qt::white);
        drawn.setDevicePixelRatio(ratio);
        card->render(&drawn);
        drawn.setDevicePixelRatio(1);

        QRect code;
        for (int y = 0; y < drawn.height(); ++y) {
            for (int x = 0; x < drawn.width(); ++x) {
                const QRgb pixel = drawn.pixel(x, y);
                if (qGray(pixel) < 128) {
                    code |= QRect(x, y, 1, 1);
                }
            }
        }
        const int modules = QrCode::encode(kKey.toUtf8())->modules();
        QCOMPARE(code.width(), code.height());
        QCOMPARE(code.width() % modules, 0);
        const int modulePixels = code.width() / modules;
        for (int y = code.top(); y <= code.bottom(); ++y) {
            for (int x = code.left(); x <= code.right(); ++x) {
                const QRgb pixel = drawn.pixel(x, y);
                QVERIFY2(pixel == qRgb(0, 0, 0) || pixel == qRgb(255, 255, 255),
                         qPrintable(QStringLiteral("grey at %1,%2").arg(x).arg(y)));
            }
        }
        const int quiet = QrCode::kQuietModules * modulePixels;
        QVERIFY(code.left() >= quiet && code.top() >= quiet);
        QVERIFY(drawn.width() - 1 - code.right() >= quiet);
        QVERIFY(drawn.height() - 1 - code.bottom() >= quiet);
        QCOMPARE(scan(drawn), kKey.toUtf8());
    }

    // A 14 pt system font wraps the texts over more lines; the window grows above the code
    // instead of cutting them off.
    void growsToFitItsTexts() {
        const QFont saved = QApplication::font();
        QFont large = saved;
        large.setPointSizeF(14);
        QApplication::setFont(large);
        const auto restore = qScopeGuard([&saved] { QApplication::setFont(saved); });
        TestHome home;
        home.signIn(kKey);
        GateController gate(home.environment());
        PairingWindow window(gate, WebSite{QUrl(QStringLiteral("https://kestrova.example")), {}});
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY(nothingClipped(window));
        QVERIFY(window.height() >= window.layout()->totalHeightForWidth(window.width()));
    }
};

QTEST_MAIN(PairingTest)
#include "tst_pairing.moc"
