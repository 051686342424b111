#include "app/PairingWindow.h"
#include "app/WebSite.h"
#include "gate/GateController.h"
#include "support/TestHome.h"

#include <QLabel>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kFallbackText = QStringLiteral(
    "No local gate configured yet. Install it from kestrova.example, then reopen this window.");

// What a scanner reads from the window, byte for byte; nothing when it finds no code.
std::optional<QByteArray> scan(QWidget& window) {
    QCoreApplication::processEvents(); // as the event loop would: lay out before painting
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("window.png"));
    QProcess zbarimg;
    if (!window.grab().save(file)) {
        return std::nullopt;
    }
    zbarimg.start(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-Sbinary"),
                                              QStringLiteral("--quiet"), file});
    if (!zbarimg.waitForFinished() || zbarimg.exitCode() != 0) {
        return std::nullopt;
    }
    return zbarimg.readAllStandardOutput();
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

        const QString key = QStringLiteral("kv_0123456789abcdef0123456789abcdef-ünïcödé");
        home.signIn(key);
        gate.detectAgents();
        QCOMPARE(scan(window), key.toUtf8());
        QVERIFY(!showsFallback(window));

        home.signIn(QString());
        gate.detectAgents();
        QVERIFY(showsFallback(window));
    }
};

QTEST_MAIN(PairingTest)
#include "tst_pairing.moc"
