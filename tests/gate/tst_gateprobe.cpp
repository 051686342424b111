#include "gate/GateController.h"
#include "gate/GateProbe.h"
#include "support/StubHttpServer.h"
#include "support/TestHome.h"

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTime>

#include <memory>
#include <tuple>

using namespace std::chrono_literals;
using Behaviour = StubHttpServer::Behaviour;

namespace {
// Table values for a gate port besides an HTTP status.
constexpr int kRefused = 0;
constexpr int kSilent = -1;
constexpr int kDrip = -2;

std::unique_ptr<StubHttpServer> serve(quint16 port, int kind) {
    if (kind == kRefused) {
        return nullptr;
    }
    const Behaviour behaviour = kind == kSilent ? Behaviour::Silent
                                : kind == kDrip ? Behaviour::Drip
                                                : Behaviour::Answer;
    auto server = std::make_unique<StubHttpServer>(port, behaviour, kind);
    if (!server->isListening()) {
        qFatal("stub server cannot listen on %u", unsigned(port));
    }
    return server;
}

// (helperRunning, existingGateDetected, lastChecked) as a view sees it on changed().
using Seen = std::tuple<bool, bool, QString>;

std::shared_ptr<QList<Seen>> record(GateController& controller) {
    auto seen = std::make_shared<QList<Seen>>();
    QObject::connect(&controller, &GateController::changed, &controller, [seen, &controller] {
        seen->append({controller.helperRunning(), controller.existingGateDetected(),
                      controller.lastChecked()});
    });
    return seen;
}

// The short format may or may not show seconds, so any moment of the last few seconds counts.
bool isRecentShortTime(const QString& text) {
    const QTime now = QTime::currentTime();
    for (int back = 0; back <= 5; ++back) {
        if (text == QLocale::system().toString(now.addSecs(-back), QLocale::ShortFormat)) {
            return true;
        }
    }
    return false;
}
} // namespace

class TestGateProbe : public QObject {
    Q_OBJECT
private slots:
    void probeUrlIsLoopbackIntents() {
        QCOMPARE(GateProbe::probeUrl(8789).toString(),
                 QStringLiteral("http://127.0.0.1:8789/intents"));
    }

    void pingAcceptsOnly200_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("alive");
        QTest::newRow("200") << 200 << true;
        QTest::newRow("204") << 204 << false;
        QTest::newRow("301 redirect") << 301 << false;
        QTest::newRow("404") << 404 << false;
        QTest::newRow("500") << 500 << false;
    }
    void pingAcceptsOnly200() {
        QFETCH(int, status);
        QFETCH(bool, alive);
        const quint16 port = freePort();
        const auto server = serve(port, status);
        QNetworkAccessManager network;
        QCOMPARE(QCoro::waitFor(GateProbe::ping(network, port, 3000ms)), alive);
        QCOMPARE(server->connections(), 1);
    }

    void pingRefusedEndsQuickly() {
        QNetworkAccessManager network;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!QCoro::waitFor(GateProbe::ping(network, freePort(), 5000ms)));
        QVERIFY2(timer.elapsed() < 2500, qPrintable(QString::number(timer.elapsed())));
    }

    // Qt's transfer time-out never ends a drip; the deadline must. It stays well below the ~2 s
    // after which Qt itself rejects the drip's garbage status line.
    void pingGivesUpAtDeadline_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("deadlineMs");
        QTest::newRow("silent") << kSilent << 500;
        QTest::newRow("drip") << kDrip << 300;
    }
    void pingGivesUpAtDeadline() {
        QFETCH(int, kind);
        QFETCH(int, deadlineMs);
        const quint16 port = freePort();
        const auto server = serve(port, kind);
        QNetworkAccessManager network;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(
            !QCoro::waitFor(GateProbe::ping(network, port, std::chrono::milliseconds(deadlineMs))));
        const qint64 elapsed = timer.elapsed();
        QVERIFY2(elapsed >= deadlineMs - 50 && elapsed < deadlineMs + 1500,
                 qPrintable(QString::number(elapsed)));
        QCOMPARE(server->connections(), 1);
    }

    // A 200 whose body never completes is no working gate either.
    void pingNeedsTheWholeAnswer() {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, &server, [&server] {
            QTcpSocket* socket = server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                socket->readAll();
                socket->write("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
                auto* drip = new QTimer(socket);
                connect(drip, &QTimer::timeout, socket, [socket] { socket->write("x"); });
                drip->start(100);
            });
        });
        QNetworkAccessManager network;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!QCoro::waitFor(GateProbe::ping(network, server.serverPort(), 500ms)));
        QVERIFY2(timer.elapsed() >= 450 && timer.elapsed() < 2000,
                 qPrintable(QString::number(timer.elapsed())));
    }

    void cyclePublishesBothGates_data() {
        QTest::addColumn<int>("own");
        QTest::addColumn<int>("existing");
        QTest::addColumn<bool>("helperRunning");
        QTest::addColumn<bool>("existingDetected");
        QTest::newRow("own up, existing refused") << 200 << kRefused << true << false;
        QTest::newRow("own 404, existing up") << 404 << 200 << false << true;
        QTest::newRow("both up") << 200 << 200 << true << true;
        QTest::newRow("own silent, existing up") << kSilent << 200 << false << true;
        QTest::newRow("both refused") << kRefused << kRefused << false << false;
    }
    void cyclePublishesBothGates() {
        QFETCH(int, own);
        QFETCH(int, existing);
        TestHome home;
        const auto ownServer = serve(home.ownPort, own);
        const auto existingServer = serve(home.existingPort, existing);
        GateEnvironment environment = home.environment();
        environment.probeTimeout = 500ms;
        GateController controller(environment);
        QTRY_VERIFY_WITH_TIMEOUT(!controller.lastChecked().isEmpty(), 5000);
        QTEST(controller.helperRunning(), "helperRunning");
        QTEST(controller.existingGateDetected(), "existingDetected");
        QVERIFY2(isRecentShortTime(controller.lastChecked()), qPrintable(controller.lastChecked()));
    }

    void cycleAssignsInOrderAndKeepsStaleValues() {
        TestHome home;
        auto ownServer = serve(home.ownPort, 200);
        auto existingServer = serve(home.existingPort, 200);
        GateEnvironment environment = home.environment();
        environment.probeTimeout = 2000ms;
        GateController controller(environment);
        const auto seen = record(controller);
        QTRY_VERIFY_WITH_TIMEOUT(!controller.lastChecked().isEmpty(), 5000);
        const QString first = controller.lastChecked();
        QCOMPARE(*seen, (QList<Seen>{{true, false, {}}, {true, true, {}}, {true, true, first}}));

        // The own gate now hangs while the existing one is gone at once: its result still
        // waits until the own gate's result is published.
        ownServer.reset();
        existingServer.reset();
        ownServer = serve(home.ownPort, kSilent);
        QElapsedTimer timer;
        timer.start();
        controller.refresh();
        seen->clear();
        QTest::qWait(500);
        QVERIFY(seen->isEmpty());
        QVERIFY(controller.helperRunning() && controller.existingGateDetected());
        QCOMPARE(controller.lastChecked(), first);
        QTRY_COMPARE_WITH_TIMEOUT(seen->size(), 3, 5000);
        QVERIFY2(timer.elapsed() >= 1850, qPrintable(QString::number(timer.elapsed())));
        const QString second = controller.lastChecked();
        QVERIFY2(isRecentShortTime(second), qPrintable(second));
        QCOMPARE(*seen, (QList<Seen>{
                            {false, true, first}, {false, false, first}, {false, false, second}}));
    }

    void cycleProbesBothPortsAtOnce_data() {
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<int>("atLeastMs");
        QTest::addColumn<int>("belowMs");
        QTest::newRow("real time-out") << 3000 << 2800 << 5000;
        QTest::newRow("short time-out") << 1000 << 900 << 1800;
    }
    void cycleProbesBothPortsAtOnce() {
        QFETCH(int, timeoutMs);
        QFETCH(int, atLeastMs);
        QFETCH(int, belowMs);
        TestHome home;
        GateEnvironment environment = home.environment();
        environment.probeTimeout = std::chrono::milliseconds(timeoutMs);
        GateController controller(environment);
        // Nothing listens yet, so the constructor's cycle ends at once.
        QTRY_VERIFY_WITH_TIMEOUT(!controller.lastChecked().isEmpty(), 5000);
        const auto own = serve(home.ownPort, kSilent);
        const auto existing = serve(home.existingPort, kSilent);

        QElapsedTimer timer;
        timer.start();
        controller.refresh();
        // The cycle's third assignment, lastChecked, ends it.
        int emitted = 0;
        qint64 doneAt = -1;
        connect(&controller, &GateController::changed, this, [&] {
            if (++emitted == 3) {
                doneAt = timer.elapsed();
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(doneAt >= 0, 10000);
        QVERIFY2(doneAt >= atLeastMs && doneAt < belowMs, qPrintable(QString::number(doneAt)));
        QCOMPARE(own->connections(), 1);
        QCOMPARE(existing->connections(), 1);
    }

    void destroyingWhileProbingIsSafe_data() {
        QTest::addColumn<int>("own");
        QTest::addColumn<int>("existing");
        QTest::newRow("both waiting") << kSilent << kSilent;
        QTest::newRow("own answered, existing waiting") << kRefused << kSilent;
        QTest::newRow("own waiting, existing answered") << kSilent << 200;
    }
    void destroyingWhileProbingIsSafe() {
        QFETCH(int, own);
        QFETCH(int, existing);
        TestHome home;
        const auto ownServer = serve(home.ownPort, own);
        const auto existingServer = serve(home.existingPort, existing);
        auto controller = std::make_unique<GateController>(home.environment());
        int emitted = 0;
        connect(controller.get(), &GateController::changed, this, [&] { ++emitted; });
        for (const auto* server : {ownServer.get(), existingServer.get()}) {
            if (server) {
                QTRY_COMPARE_WITH_TIMEOUT(server->connections(), 1, 2000);
            }
        }
        QTest::qWait(100);
        QVERIFY(controller->lastChecked().isEmpty());
        const int before = emitted;
        // Aborted probes resume inside the destructor and must not publish there or later.
        controller.reset();
        QTest::qWait(200);
        QCOMPARE(emitted, before);
    }
};

QTEST_GUILESS_MAIN(TestGateProbe)
#include "tst_gateprobe.moc"
