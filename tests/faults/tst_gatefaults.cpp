#include "gate/GateController.h"
#include "support/TestHome.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <unistd.h>

namespace {

constexpr int gateStartMs = 20000;
// Descriptors Qt may keep once it has used something (a network thread, a timer).
constexpr int descriptorSlack = 3;

// What this process has open: where each of its descriptors leads.
QStringList openFiles() {
    QStringList targets;
    const QFileInfoList entries =
        QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::Files | QDir::System);
    for (const QFileInfo& entry : entries) {
        targets << entry.symLinkTarget();
    }
    return targets;
}

bool accepts(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(1000);
}

} // namespace

class GateFaultsTest : public QObject {
    Q_OBJECT

private slots:
    // Each gate counts as up once its port accepts connections, and as down once it has ended.
    void manyStartStopCyclesLeaveNothingBehind() {
        const TestHome home;
        home.signIn();
        const qsizetype before = openFiles().size();
        {
            GateController controller(home.environmentWithDaemon());
            for (int cycle = 0; cycle < 30; ++cycle) {
                controller.startHelperGate();
                const qint64 pid = controller.gateProcessId().value_or(0);
                QVERIFY2(pid > 0, qPrintable(controller.lastError().value_or(QString())));
                QVERIFY(QTest::qWaitFor([&home] { return accepts(home.ownPort); }, gateStartMs));
                controller.stopHelperGate();
                QVERIFY(QTest::qWaitFor([pid] { return !processAlive(pid); }, 5000));
            }
            // Every gate seen to end has let go of its process descriptor.
            QTRY_COMPARE(openFiles().filter(QStringLiteral("[pidfd]")).size(), 0);
        }
        // What the controller held is gone with it; anything else open is a leak.
        QTRY_VERIFY2(openFiles().size() <= before + descriptorSlack,
                     qPrintable(openFiles().join(u' ')));
        QCOMPARE(processesMentioning(home.home()), QList<qint64>());
    }

    // The helper ends while its gate serves, without stopping it (a crash does the same): the
    // next helper takes that gate over, so signing out there ends it.
    void aHelperGoneWhileItsGateServes() {
        const TestHome home;
        home.signIn();
        auto first = std::make_unique<GateController>(home.environmentWithDaemon());
        first->startHelperGate();
        QTRY_VERIFY_WITH_TIMEOUT(first->helperRunning(), gateStartMs);
        const qint64 pid = first->gateProcessId().value_or(0);
        first.reset();

        GateController next(home.environmentWithDaemon());
        QCOMPARE(next.gateProcessId(), pid);
        QTRY_VERIFY_WITH_TIMEOUT(next.helperRunning(), 10000);
        next.signOut();
        QCOMPARE(QDir(home.supportDir()).entryList(QDir::Files),
                 QStringList{QStringLiteral("gate-secret")});
        QTRY_VERIFY_WITH_TIMEOUT(!processAlive(pid), gateStartMs);
        QTRY_VERIFY_WITH_TIMEOUT(!next.helperRunning() && !next.gateProcessId(), 10000);
    }

    // The recorded pid now belongs to another process, one whose command line even names our
    // config: only the start time differs, and it is never acted on.
    void aForeignProcessOnTheRecordedPidIsLeftAlone() {
        const TestHome home;
        const QString config = home.supportDir() + QStringLiteral("/bramblekit.json");
        QProcess bystander;
        bystander.start(QStringLiteral("sh"),
                        {QStringLiteral("-c"), QStringLiteral("sleep 30"), config});
        QVERIFY(bystander.waitForStarted());
        home.makeFile(QStringLiteral(".local/share/Kestrova Helper/gate-process.json"),
                      QStringLiteral(R"({"pid": %1, "start_time": "1", "config": "%2"})")
                          .arg(bystander.processId())
                          .arg(config)
                          .toUtf8());
        GateController gate(home.environmentWithDaemon());
        QCOMPARE(gate.gateProcessId(), std::nullopt);
        gate.signOut();
        QVERIFY(!bystander.waitForFinished(300));
        bystander.kill();
        bystander.waitForFinished();
    }

    // Gates that misbehave, each started through a stand-in runtime in front of the real node.
    void misbehavingGates_data() {
        QTest::addColumn<QByteArray>("runtime");
        QTest::addColumn<bool>("portTaken");
        QTest::newRow("binds 3 s late: seen without a refresh")
            << QByteArray("sleep 3; exec node \"$@\"") << false;
        QTest::newRow("port taken: its reason is shown") << QByteArray("exec node \"$@\"") << true;
        QTest::newRow("ignores SIGTERM: killed after the grace")
            << QByteArray("trap '' TERM; exec node -e 'process.on(\"SIGTERM\", () => {}); "
                          "setInterval(() => {}, 1000)'")
            << false;
    }
    void misbehavingGates() {
        QFETCH(QByteArray, runtime);
        QFETCH(bool, portTaken);
        const TestHome home;
        home.signIn();
        // The stand-in's folder comes first on the gate's PATH: the real node is named in full.
        const QByteArray node = QFile::encodeName(QStandardPaths::findExecutable("node"));
        home.makeFile(QStringLiteral("bin/node"),
                      "#!/bin/sh\n" + runtime.replace("node", node) + "\n", true);
        GateEnvironment environment = home.environmentWithDaemon();
        environment.systemNodeCandidates = {home.path(QStringLiteral("bin/node"))};
        QTcpServer squatter;
        if (portTaken) {
            QVERIFY(squatter.listen(QHostAddress::LocalHost, home.ownPort));
        }
        GateController gate(environment);
        gate.startHelperGate();
        const qint64 pid = gate.gateProcessId().value_or(0);
        if (portTaken) {
            QTRY_VERIFY_WITH_TIMEOUT(!gate.gateProcessId(), gateStartMs);
            QCOMPARE(gate.lastError(),
                     QStringLiteral("Gate stopped: bk-mcp-daemon: cannot listen on "
                                    "127.0.0.1:%1: address already in use")
                         .arg(home.ownPort));
        } else if (runtime.startsWith("sleep")) {
            QTRY_VERIFY_WITH_TIMEOUT(gate.helperRunning(), gateStartMs);
        } else {
            QTest::qWait(500);
            gate.stopHelperGate();
            QTest::qWait(3000);
            QVERIFY2(processAlive(pid), "SIGTERM alone does not end this one");
            QTRY_VERIFY_WITH_TIMEOUT(!processAlive(pid), 6000);
        }
    }

    // Whatever another user runs on the gate's port is not this user's gate.
    void anotherUsersListenerIsNoGate() {
        if (::getuid() != 0) {
            QSKIP("needs root to listen as another user (nobody)");
        }
        const TestHome home;
        QProcess listener;
        listener.start(QStringLiteral("setpriv"),
                       {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                        QStringLiteral("--clear-groups"), QStringLiteral("node"),
                        QStringLiteral("-e"),
                        QStringLiteral("require('http').createServer((q, s) => s.end('[]'))"
                                       ".listen(%1, '127.0.0.1', () => console.log('up'))")
                            .arg(home.ownPort)});
        QVERIFY(listener.waitForReadyRead(10000));
        GateController gate(home.environment());
        QTRY_VERIFY_WITH_TIMEOUT(gate.ownPortForeign(), 10000);
        QVERIFY(!gate.helperRunning());
        listener.kill();
        listener.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(GateFaultsTest)
#include "tst_gatefaults.moc"
