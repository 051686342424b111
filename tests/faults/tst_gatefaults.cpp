#include "gate/GateConfig.h"
#include "gate/GateController.h"
#include "gate/GateRecord.h"
#include "platform/ListeningSockets.h"
#include "support/TestHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <unistd.h>

namespace {

using namespace Qt::StringLiterals;

constexpr int gateStartMs = 20000;
constexpr QFileDevice::Permissions ownerGroupOther{0x7077};
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

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
                // The first launch waits for the runtime to say its version.
                QTRY_VERIFY_WITH_TIMEOUT(controller.gateProcessId() || controller.lastError(),
                                         gateStartMs);
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

    // The helper ends while its gate serves, without stopping it (a crash does the same), and
    // its record names another process: the next helper leaves that process alone (one that
    // runs under the recorded pid since, its command line even naming our config, or another
    // program) and takes the gate over by its port, so a new sign-in there restarts it and
    // signing out ends it. A takeover by the record is the lifecycle table's.
    void aHelperGoneWhileItsGateServes_data() {
        QTest::addColumn<QString>("record");
        QTest::newRow("the pid now another process's") << "reused";
        QTest::newRow("another program's pid") << "another program";
    }
    void aHelperGoneWhileItsGateServes() {
        QFETCH(QString, record);
        const TestHome home;
        home.signIn();
        auto first = std::make_unique<GateController>(home.environmentWithDaemon());
        first->startHelperGate();
        QTRY_VERIFY_WITH_TIMEOUT(first->helperRunning(), gateStartMs);
        const qint64 pid = first->gateProcessId().value_or(0);
        first.reset();
        const QString config = home.supportDir() + u"/bramblekit.json"_s;
        QProcess bystander;
        bystander.start(u"sh"_s, {u"-c"_s, u"sleep 30"_s, record == u"reused" ? config : u""_s});
        QVERIFY(bystander.waitForStarted());
        GateProcess::Identity identity = GateProcess::identityOf(bystander.processId());
        identity.startTime += record == u"reused" ? 1 : 0;
        home.makeFile(u".local/share/Kestrova Helper/gate-process.json"_s,
                      GateRecord::write({identity, config}));

        GateController next(home.environmentWithDaemon());
        QTRY_VERIFY_WITH_TIMEOUT(next.helperRunning(), 10000);
        QCOMPARE(next.gateProcessId(), pid);
        // Signed in anew: the gate on the older key gives way to one on the new key, and
        // whoever read the config before the rewrite read all of the older one.
        QFile before(config);
        QVERIFY(before.open(QIODevice::ReadOnly));
        home.signIn(u"key-new"_s);
        next.startHelperGate();
        QCOMPARE(GateConfig::pollerApiKey(before.readAll()), u"key-123"_s);
        QTRY_VERIFY2_WITH_TIMEOUT(!processAlive(pid) && next.helperRunning(),
                                  qPrintable(next.lastError().value_or(QString())), gateStartMs);
        const qint64 renewed = next.gateProcessId().value_or(0);
        QVERIFY(renewed != pid);
        QCOMPARE(GateConfig::readPollerApiKey(config), u"key-new"_s);
        next.signOut();
        QVERIFY(!QFileInfo::exists(home.supportDir()));
        QTRY_VERIFY_WITH_TIMEOUT(!processAlive(renewed), gateStartMs);
        QTRY_VERIFY_WITH_TIMEOUT(!next.helperRunning() && !next.gateProcessId(), 10000);
        QVERIFY(processAlive(bystander.processId()));
        bystander.kill();
        bystander.waitForFinished();
    }

    // Gates that misbehave, each started through a stand-in runtime in front of the real node,
    // after an earlier launch's words in the log.
    void misbehavingGates_data() {
        QTest::addColumn<QByteArray>("runtime");
        QTest::addColumn<bool>("portTaken");
        QTest::addColumn<QString>("reason");
        QTest::newRow("binds 3 s late: seen without a refresh")
            << QByteArray("sleep 3; exec \"$node\" \"$@\"") << false << QString();
        QTest::newRow("port taken: its reason is shown")
            << QByteArray("exec \"$node\" \"$@\"") << true
            << "Gate stopped: bk-mcp-daemon: cannot listen on 127.0.0.1:%1: address already in use";
        QTest::newRow("ends at once, silently: the earlier words are no reason")
            << QByteArray("exit 3") << false << "Gate stopped: it exited at once";
        QTest::newRow("ignores SIGTERM: killed after the grace")
            << QByteArray("trap '' TERM; exec \"$node\" -e 'process.on(\"SIGTERM\", () => {}); "
                          "require(\"fs\").writeFileSync(process.argv[1], \"\"); "
                          "setInterval(() => {}, 1000)' \"$home/ready\"")
            << false << QString();
    }
    void misbehavingGates() {
        QFETCH(QByteArray, runtime);
        QFETCH(bool, portTaken);
        QFETCH(QString, reason);
        const TestHome home;
        home.signIn();
        home.makeFile(QStringLiteral(".local/state/kestrova-helper/gate.log"),
                      "bk-mcp-daemon: cannot read config: EACCES\n");
        const GateEnvironment environment = home.environmentWithRuntime(
            "[ \"$1\" = --version ] && exec \"$node\" --version\n" + runtime + "\n");
        QTcpServer squatter;
        if (portTaken) {
            QVERIFY(squatter.listen(QHostAddress::LocalHost, home.ownPort));
        }
        GateController gate(environment);
        gate.startHelperGate();
        QTRY_VERIFY_WITH_TIMEOUT(gate.gateProcessId() || gate.lastError(), gateStartMs);
        const qint64 pid = gate.gateProcessId().value_or(0);
        if (!reason.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(!gate.gateProcessId(), gateStartMs);
            QCOMPARE(gate.lastError(), reason.replace(u"%1"_s, QString::number(home.ownPort)));
        } else if (runtime.startsWith("sleep")) {
            QTRY_VERIFY_WITH_TIMEOUT(gate.helperRunning(), gateStartMs);
        } else {
            // Once the runtime has its handler: node resets every signal to its default first.
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(home.path(u"ready"_s)), gateStartMs);
            gate.stopHelperGate();
            QTest::qWait(3000);
            QVERIFY2(processAlive(pid), "SIGTERM alone does not end this one");
            QTRY_VERIFY_WITH_TIMEOUT(!processAlive(pid), 6000);
        }
    }

    // The runtime chosen is gone by the time an agent is connected (a version manager removed
    // it): the connect run and the status read after it cannot start, which is said, and
    // nothing is used after its end (the sanitizers watch).
    void aRuntimeGoneAfterItWasChosen() {
        const TestHome home;
        home.makeFile(u"usr/bin/codex"_s, "#!/bin/sh\n", true);
        GateController gate(home.environmentWithRuntime("exec \"$node\" \"$@\"\n"));
        QTRY_COMPARE_WITH_TIMEOUT(gate.nodePath(), home.path(u"bin/node"_s), gateStartMs);
        QVERIFY(QFile::remove(home.path(u"bin/node"_s)));
        gate.connectAgent(u"Codex"_s);
        QTRY_VERIFY(
            gate.lastError().value_or(QString()).startsWith(u"Could not connect Codex: "_s));
        const auto codexState = [&gate] {
            const auto& shown = gate.agentConnections();
            return shown.isEmpty() ? AgentConnection::State::Connecting : shown.constFirst().state;
        };
        QTRY_COMPARE(codexState(), AgentConnection::State::Unknown);
        // Time for the status read that follows to fail as well, under the sanitizers' eyes.
        QTest::qWait(1000);
        QCOMPARE(codexState(), AgentConnection::State::Unknown);
    }

    // The gate writes 3.6 MiB after the helper has gone: its log keeps within the cap and
    // loses no line at the turn to a new file, owner-only. A folder or a link in the log's place
    // is left as it is, and said.
    void theLogWithoutTheHelper_data() {
        QTest::addColumn<QString>("inPlace");
        QTest::newRow("nothing") << QString();
        QTest::newRow("a folder") << "a folder";
        QTest::newRow("a link") << "a link";
    }
    void theLogWithoutTheHelper() {
        QFETCH(QString, inPlace);
        const TestHome home;
        home.signIn();
        const QString log = home.path(u".local/state/kestrova-helper/gate.log"_s);
        home.makeFile(u"elsewhere"_s, "the user's own file");
        QVERIFY(QDir().mkpath(inPlace == u"a folder" ? log : QFileInfo(log).path()));
        QVERIFY(inPlace != u"a link" || QFile::link(home.path(u"elsewhere"_s), log));
        const GateEnvironment environment = home.environmentWithRuntime(
            "[ \"$1\" = --version ] && exec \"$node\" --version\n"
            "exec \"$node\" -e 'for (let i = 0; i < 40000; i++) console.error(`line ${i} ` + "
            "\"x\".repeat(80))'\n");
        {
            GateController gate(environment);
            gate.startHelperGate();
            QTRY_VERIFY_WITH_TIMEOUT(gate.gateProcessId(), gateStartMs);
            QCOMPARE(gate.lastError().value_or(QString()),
                     inPlace.isEmpty()
                         ? QString()
                         : "The gate runs without a log: " + inPlace + " is in its place: " + log);
        }
        QTRY_VERIFY_WITH_TIMEOUT(processesMentioning(home.home()).isEmpty(), gateStartMs);
        QCOMPARE(readAll(home.path(u"elsewhere"_s)), "the user's own file");
        if (!inPlace.isEmpty()) {
            QCOMPARE(QFileInfo(log).isDir(), inPlace == u"a folder");
            return;
        }
        QList<QByteArray> lines;
        for (const QString& path : {log + u".1"_s, log}) {
            QVERIFY(QFileInfo(path).size() <= 1024 * 1024);
            QCOMPARE(QFileInfo(path).permissions() & ownerGroupOther,
                     QFile::ReadOwner | QFile::WriteOwner);
            lines += readAll(path).trimmed().split('\n');
        }
        lines.removeIf([](const QByteArray& line) { return line.startsWith("kestrova-helper:"); });
        const int first = lines.constFirst().split(' ').value(1).toInt();
        for (qsizetype at = 0; at < lines.size(); ++at) {
            QCOMPARE(lines.at(at).split(' ').value(1).toInt(), first + at);
        }
        QCOMPARE(first + lines.size(), 40000);
    }

    // Of the sockets a connection to 127.0.0.1 may reach (the next test listens on each kind of
    // address), the one it lands on is asked who owns it; a table that cannot be read whole
    // leaves the owner unknown. Port 8789 (2255), the owner as uid:inode.
    void theSocketThatAnswers_data() {
        QTest::addColumn<QByteArray>("tcp");
        QTest::addColumn<QByteArray>("tcp6");
        QTest::addColumn<QString>("owner"); // "none", "unknown" or "uid:inode"
        const auto line = [](const char* address, const char* state, int uid, int inode) {
            return QByteArray("   7: ") + address + " 00000000:0000 " + state +
                   " 00000000:00000000 00:00000000 00000000 " + QByteArray::number(uid) +
                   "        0 " + QByteArray::number(inode) + " 1 0000000000000000 100 0 0 10 0\n";
        };
        const QByteArray heading = "  sl  local_address rem_address   st tx_queue rx_queue tr "
                                   "tm->when retrnsmt   uid  timeout inode\n";
        const QByteArray mine = line("0100007F:2255", "0A", 1000, 11);
        const char* any6 = "00000000000000000000000000000000:2255";
        QTest::newRow("127.0.0.1 before 0.0.0.0, 0.0.0.0 before ::")
            << heading + line("00000000:2255", "0A", 7, 21) + mine
            << heading + line(any6, "0A", 7, 23) << "1000:11";
        QTest::newRow("0.0.0.0 before ::") << heading + line("00000000:2255", "0A", 1000, 11)
                                           << heading + line(any6, "0A", 7, 23) << "1000:11";
        QTest::newRow("other ports and states do not count")
            << heading + line("0100007F:2256", "0A", 7, 21) + line("0100007F:2255", "01", 7, 22)
            << heading << "none";
        QTest::newRow("extra fields and no final newline")
            << heading + line("0100007F:2255", "0A", 1000, 11).chopped(1) + " 9 9" << QByteArray()
            << "1000:11";
        QTest::newRow("cut short") << heading + mine + mine.left(40) << heading << "unknown";
        QTest::newRow("not hexadecimal")
            << heading
            << heading + line(any6, "0A", 7, 23).replace("0000000000000000", "000000000000000G")
            << "unknown";
        QTest::newRow("two users on one address")
            << heading + mine + line("0100007F:2255", "0A", 7, 21) << heading << "unknown";
    }
    void theSocketThatAnswers() {
        QFETCH(QByteArray, tcp);
        QFETCH(QByteArray, tcp6);
        QFETCH(QString, owner);
        const auto found = ListeningSockets::loopbackListenerIn(tcp, tcp6, 8789);
        QCOMPARE(!found ? QStringLiteral("unknown")
                 : !found->has_value()
                     ? QStringLiteral("none")
                     : QStringLiteral("%1:%2").arg((*found)->uid).arg((*found)->inode),
                 owner);
    }

    // Whatever another user runs where the probe's connection lands is not this user's gate;
    // what they run on an address the probe never reaches leaves this user's gate serving.
    void anotherUsersListener_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("reached");
        QTest::newRow("127.0.0.1") << "127.0.0.1" << true;
        QTest::newRow("::ffff:127.0.0.1") << "::ffff:127.0.0.1" << true;
        QTest::newRow("127.0.0.2") << "127.0.0.2" << false;
        QTest::newRow(":: for IPv6 only") << "::" << false;
    }
    void anotherUsersListener() {
        QFETCH(QString, host);
        QFETCH(bool, reached);
        if (::getuid() != 0) {
            QSKIP("needs root to listen as another user (nobody)");
        }
        const TestHome home;
        home.signIn();
        QProcess listener;
        listener.start(QStringLiteral("setpriv"),
                       {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                        QStringLiteral("--clear-groups"), QStringLiteral("node"),
                        QStringLiteral("-e"),
                        QStringLiteral("require('http').createServer((q, s) => s.end('[]'))"
                                       ".listen({port: %1, host: '%2', ipv6Only: '%2' === '::'}, "
                                       "() => console.log('up'))")
                            .arg(home.ownPort)
                            .arg(host)});
        QVERIFY(listener.waitForReadyRead(10000));
        GateController gate(home.environmentWithDaemon());
        if (reached) {
            QTRY_VERIFY_WITH_TIMEOUT(gate.ownPortForeign(), 10000);
            QVERIFY(!gate.helperRunning());
        } else {
            gate.startHelperGate();
            QTRY_VERIFY_WITH_TIMEOUT(gate.helperRunning(), gateStartMs);
            QVERIFY(!gate.ownPortForeign());
        }
        listener.kill();
        listener.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(GateFaultsTest)
#include "tst_gatefaults.moc"
