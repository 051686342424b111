#include "FaultSupport.h"
#include "gate/GateController.h"
#include "support/TestHome.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace FaultSupport;

namespace {

constexpr int cycles = 100;
constexpr int gateStartMs = 20000;
// Descriptors Qt may keep once it has used something (a network thread, a timer).
constexpr int descriptorSlack = 3;
constexpr QFileDevice::Permissions ownerGroupOther{0x7077};

// Run as a child of this binary: starts the gate, says so, and waits to be killed.
constexpr char holdGateArgument[] = "--hold-gate";

int holdGate(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    GateEnvironment environment = takeOver();
    GateController controller(environment);
    bool told = false;
    QObject::connect(&controller, &GateController::changed, &app, [&controller, &told] {
        if (!told && controller.helperRunning() && controller.gateProcessId()) {
            told = true;
            std::printf("serving %lld\n", static_cast<long long>(*controller.gateProcessId()));
            std::fflush(stdout);
        }
    });
    controller.startHelperGate();
    // The controller probes once after a launch; a gate slow to start is only seen when asked.
    QTimer asker;
    QObject::connect(&asker, &QTimer::timeout, &controller, &GateController::refresh);
    asker.start(500ms);
    // A child the parent forgot ends by itself; its gate is then the parent's reaper's.
    QTimer::singleShot(60s, &app, [] { QCoreApplication::exit(3); });
    return QCoreApplication::exec();
}

// One start and stop: the gate counts as up once its port accepts connections.
void cycle(GateController& controller, GateReaper& reaper, quint16 port) {
    controller.startHelperGate();
    const qint64 pid = controller.gateProcessId().value_or(0);
    QVERIFY2(pid > 0, qPrintable(controller.lastError().value_or(QStringLiteral("no gate"))));
    reaper.pids << pid;
    QVERIFY(QTest::qWaitFor([port] { return accepts(port); }, gateStartMs));
    controller.stopHelperGate();
    QVERIFY(QTest::qWaitFor([pid] { return !processAlive(pid); }, 5000));
}

} // namespace

class GateFaultsTest : public QObject {
    Q_OBJECT

private slots:
    void manyStartStopCyclesLeaveNothingBehind() {
        const TestHome home;
        home.signIn();
        GateReaper reaper(home.home());

        QElapsedTimer clock;
        clock.start();
        const int before = openDescriptors();
        {
            GateEnvironment environment = home.environmentWithDaemon();
            GateController controller(environment);
            for (int i = 0; i < cycles; ++i) {
                cycle(controller, reaper, home.ownPort);
                if (QTest::currentTestFailed()) {
                    return;
                }
            }
            // Every gate seen to end has let go of its process descriptor.
            QTRY_COMPARE(openPidfds(), 0);
            qInfo("%d gate cycles took %lld ms", cycles, clock.elapsed());
        }
        // What the controller held is gone with it; anything else open is a leak.
        QTRY_VERIFY2(openDescriptors() <= before + descriptorSlack,
                     qPrintable(QStringLiteral("%1 descriptors open, %2 before")
                                    .arg(openDescriptors())
                                    .arg(before)));
        QCOMPARE(processesMentioning(home.home()), QList<qint64>());
        QCOMPARE(home.settings()->string(QString::fromLatin1(SettingsKeys::kApiKey)),
                 QStringLiteral("key-123"));
    }

    // The helper dies hard while its gate serves: the next helper takes that gate over, so Stop
    // and sign-out reach it.
    void aHelperKilledWhileItsGateServes_data() {
        QTest::addColumn<bool>("signOut");
        QTest::newRow("then Stop") << false;
        QTest::newRow("then sign-out") << true;
    }
    void aHelperKilledWhileItsGateServes() {
        QFETCH(bool, signOut);
        const TestHome home;
        home.signIn();
        GateReaper reaper(home.home());
        QProcess helper;
        helper.setProcessEnvironment(handOver(home));
        helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        helper.start(QCoreApplication::applicationFilePath(),
                     {QString::fromLatin1(holdGateArgument)});
        qint64 first = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                while (first == 0 && helper.canReadLine()) {
                    const QByteArray line = helper.readLine().trimmed();
                    first = line.startsWith("serving ") ? line.mid(8).toLongLong() : 0;
                }
                return first > 0;
            },
            30000));
        reaper.pids << first;
        helper.kill();
        QVERIFY(helper.waitForFinished());

        GateController next(home.environmentWithDaemon());
        QCOMPARE(next.gateProcessId(), first);
        QTRY_VERIFY_WITH_TIMEOUT(next.helperRunning(), 10000);
        if (signOut) {
            next.signOut();
            QVERIFY(!QFileInfo::exists(home.supportDir()));
        } else {
            next.stopHelperGate();
        }
        QTRY_VERIFY_WITH_TIMEOUT(!processAlive(first), gateStartMs);
        QTRY_VERIFY_WITH_TIMEOUT(!next.helperRunning() && !next.gateProcessId(), 10000);
    }

    // A record that does not name a gate of ours, garbage or another process, is never acted on.
    void aForeignRecordIsLeftAlone_data() {
        QTest::addColumn<QByteArray>("record");
        QTest::newRow("garbage") << QByteArray("{\"pid\": \"x");
        QTest::newRow("another process") << QByteArray("{\"pid\": %PID, \"start_time\": \"1\", "
                                                       "\"config\": \"%CONFIG\"}");
    }
    void aForeignRecordIsLeftAlone() {
        QFETCH(QByteArray, record);
        const TestHome home;
        QProcess bystander;
        const QString config = home.supportDir() + QStringLiteral("/bramblekit.json");
        // Its command line names the config, as a gate's would: only the start time differs.
        bystander.start(QStringLiteral("sh"),
                        {QStringLiteral("-c"), QStringLiteral("sleep 30"), config});
        QVERIFY(bystander.waitForStarted());
        home.makeFile(
            QStringLiteral(".local/share/Kestrova Helper/gate-process.json"),
            record.replace("%PID", QByteArray::number(bystander.processId()))
                .replace("%CONFIG", QFile::encodeName(home.supportDir() +
                                                      QStringLiteral("/bramblekit.json"))));
        GateController gate(home.environmentWithDaemon());
        QCOMPARE(gate.gateProcessId(), std::nullopt);
        gate.stopHelperGate();
        gate.signOut();
        QVERIFY(!bystander.waitForFinished(300));
        bystander.kill();
        bystander.waitForFinished();
    }

    // As root, permission bits stop nothing: a file or folder where the other must be does.
    void anUnusableHomeLaunchesNothing_data() {
        QTest::addColumn<QString>("blocker");
        QTest::addColumn<bool>("asFolder");
        QTest::addColumn<QString>("message");
        QTest::newRow("data folder is a file")
            << ".local/share" << false << "Could not write gate config: Not a directory";
        QTest::newRow("support folder is a file") << ".local/share/Kestrova Helper" << false
                                                  << "Could not write gate config: Not a directory";
        QTest::newRow("config is a folder")
            << ".local/share/Kestrova Helper/bramblekit.json" << true
            << "Could not write gate config: Is a directory";
    }

    void anUnusableHomeLaunchesNothing() {
        QFETCH(QString, blocker);
        QFETCH(bool, asFolder);
        QFETCH(QString, message);
        const TestHome home;
        home.signIn();
        QVERIFY(QDir(home.path(QStringLiteral(".local/share"))).removeRecursively());
        if (asFolder) {
            QVERIFY(QDir().mkpath(home.path(blocker)));
        } else {
            home.makeFile(blocker, "not a folder");
        }
        GateController controller(home.environmentWithDaemon());
        controller.startHelperGate();
        QCOMPARE(controller.lastError(), message);
        QCOMPARE(controller.gateProcessId(), std::nullopt);
        // A launch is synchronous: had one happened, its process would be listed already.
        QCOMPARE(processesMentioning(home.home()), QList<qint64>());
        QCOMPARE(home.settings()->string(QString::fromLatin1(SettingsKeys::kApiKey)),
                 QStringLiteral("key-123"));
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
        GateReaper reaper(home.home());
        QTcpServer squatter;
        if (portTaken) {
            QVERIFY(squatter.listen(QHostAddress::LocalHost, home.ownPort));
        }
        GateController gate(environment);
        gate.startHelperGate();
        const qint64 pid = gate.gateProcessId().value_or(0);
        reaper.pids << pid;
        if (portTaken) {
            QTRY_VERIFY_WITH_TIMEOUT(!gate.gateProcessId(), gateStartMs);
            const QString error = gate.lastError().value_or(QString());
            QVERIFY2(
                error.startsWith(u"Gate stopped: bk-mcp-daemon: cannot listen on 127.0.0.1:") &&
                    error.endsWith(u": address already in use"),
                qPrintable(error));
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

int main(int argc, char** argv) {
    if (argc == 2 && qstrcmp(argv[1], holdGateArgument) == 0) {
        return holdGate(argc, argv);
    }
    QCoreApplication app(argc, argv);
    GateFaultsTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_gatefaults.moc"
