#include "gate/GateController.h"
#include "support/StubHttpServer.h"
#include "support/TestHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;

namespace {

// Owner, group and other bits; Qt also reports the current user's, which would hide a fault.
constexpr QFileDevice::Permissions ownerGroupOther{0x7077};

constexpr int gateStartMs = 15000;

// A stand-in runtime that records how it was started and then just waits, so launch and exit
// handling can be checked without a real gate binding ports.
constexpr char recordingNode[] = "#!/bin/sh\n"
                                 "printf '%s\\n' \"$PATH\" > \"$PWD/path.txt\"\n"
                                 "printf '%s\\n' \"$@\" > \"$PWD/args.txt\"\n"
                                 "exec sleep 30\n";

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A resource folder holding a daemon script and the given runtime.
void makeBundle(const TestHome& home, const QByteArray& node) {
    home.makeFile(QStringLiteral("bundle/Daemon/bin/bk-mcp-daemon.mjs"), "// stand-in");
    home.makeFile(QStringLiteral("bundle/node"), node, true);
}

GateEnvironment bundledEnvironment(const TestHome& home) {
    GateEnvironment environment = home.environment();
    environment.resourceFolder = home.path(QStringLiteral("bundle"));
    return environment;
}

// Under load node may bind its port after the launch's own probe: probe again until it answers.
bool servesSoon(GateController& controller) {
    controller.refresh();
    return controller.helperRunning();
}

// Ends whatever gate a test left behind.
struct GateReaper {
    QList<qint64> pids;
    ~GateReaper() {
        for (const qint64 pid : pids) {
            killProcess(pid);
        }
    }
};

} // namespace

class GateLaunchTest : public QObject {
    Q_OBJECT

private slots:
    void refusals_data() {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("message");
        QTest::newRow("signed out") << "signed out"
                                    << "Sign in first to start local approvals.";
        QTest::newRow("empty key") << "empty key"
                                   << "Sign in first to start local approvals.";
        QTest::newRow("no daemon script") << "no script"
                                          << "Gate daemon missing from app bundle.";
        QTest::newRow("no runtime") << "no node"
                                    << "Node.js not found (install Node, then retry).";
    }

    // Each refusal says why, launches nothing and writes no config.
    void refusals() {
        QFETCH(QString, state);
        QFETCH(QString, message);
        const TestHome home;
        GateEnvironment environment = home.environmentWithDaemon();
        if (state == u"signed out") {
            home.settings()->remove(QString::fromLatin1(SettingsKeys::kApiKey));
        } else {
            home.signIn(state == u"empty key" ? QString() : QStringLiteral("key-1"));
        }
        if (state == u"no script") {
            environment.resourceFolder.clear();
        }
        if (state == u"no node") {
            environment.systemNodeCandidates = {home.path(QStringLiteral("missing/node"))};
        }
        GateController controller(environment);
        controller.startHelperGate();
        QCOMPARE(controller.lastError(), message);
        QCOMPARE(controller.gateProcessId(), std::nullopt);
        QVERIFY(!QFileInfo::exists(controller.configPath()));
        const QList<QUrl> expectedUrls =
            state == u"no script" ? QList<QUrl>{QUrl(QStringLiteral("http://127.0.0.1:9/"))}
                                  : QList<QUrl>{};
        QCOMPARE(*home.openedUrls, expectedUrls);
    }

    void theExistingGateModeLaunchesNothing() {
        const TestHome home;
        home.signIn();
        home.settings()->setBoolean(QString::fromLatin1(SettingsKeys::kUseExisting), true);
        GateController controller(home.environmentWithDaemon());
        controller.startHelperGate();
        QCOMPARE(controller.lastError(), std::nullopt);
        QCOMPARE(controller.gateProcessId(), std::nullopt);
        QVERIFY(!QFileInfo::exists(controller.supportDir()));
    }

    void aCheckoutInTheHomeStandsInForAMissingBundle() {
        const TestHome home;
        home.makeFile(QStringLiteral("bramblekit/bin/bk-mcp-daemon.mjs"), "// checkout");
        const GateController controller(home.environment());
        QVERIFY(!controller.daemonBundled());
        QCOMPARE(controller.daemonScript(),
                 home.path(QStringLiteral("bramblekit/bin/bk-mcp-daemon.mjs")));
    }

    void anUnwritableSupportFolderIsReported() {
        const TestHome home;
        home.signIn();
        // A file where the data folder should be: no folder can be made under it, even as root.
        home.makeFile(QStringLiteral("blocked"));
        GateEnvironment environment = home.environmentWithDaemon();
        environment.applicationSupportFolder = home.path(QStringLiteral("blocked"));
        GateController controller(environment);
        controller.startHelperGate();
        QVERIFY2(controller.lastError().value_or(QString()).startsWith(
                     QStringLiteral("Could not write gate config: ")),
                 qPrintable(controller.lastError().value_or(QStringLiteral("(none)"))));
        QVERIFY(controller.lastError()->size() >
                QStringLiteral("Could not write gate config: ").size());
        QCOMPARE(controller.gateProcessId(), std::nullopt);
    }

    void theGateStartsWithItsConfigPathAndEnvironment() {
        const TestHome home;
        home.signIn();
        makeBundle(home, recordingNode);
        GateReaper reaper;
        GateController controller(bundledEnvironment(home));
        controller.startHelperGate();
        QVERIFY(controller.gateProcessId());
        reaper.pids << *controller.gateProcessId();
        QCOMPARE(controller.nodePath(), home.path(QStringLiteral("bundle/node")));

        const QString support = controller.supportDir();
        QTRY_VERIFY(QFileInfo::exists(support + QStringLiteral("/args.txt")));
        QTRY_VERIFY(!readFile(support + QStringLiteral("/args.txt")).isEmpty());
        QCOMPARE(readFile(support + QStringLiteral("/args.txt")),
                 (controller.daemonScript() + QStringLiteral("\n--config\n") +
                  controller.configPath() + u'\n')
                     .toUtf8());
        QCOMPARE(readFile(support + QStringLiteral("/path.txt")),
                 QByteArray("/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:") + qgetenv("PATH") +
                     '\n');
        QCOMPARE(QFileInfo(support).permissions() & ownerGroupOther,
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(QFileInfo(controller.configPath()).permissions() & ownerGroupOther,
                 QFile::ReadOwner | QFile::WriteOwner);
    }

    // Stopping one gate and starting the next before the first is seen to end must not make
    // the controller forget the new one.
    void anExitForgetsOnlyTheGateThatEnded() {
        const TestHome home;
        home.signIn();
        makeBundle(home, recordingNode);
        GateReaper reaper;
        GateController controller(bundledEnvironment(home));
        controller.startHelperGate();
        const qint64 first = controller.gateProcessId().value_or(0);
        reaper.pids << first;
        controller.stopHelperGate();
        QCOMPARE(controller.gateProcessId(), std::nullopt);
        controller.startHelperGate();
        const qint64 second = controller.gateProcessId().value_or(0);
        reaper.pids << second;
        QVERIFY(second != first);
        QTRY_VERIFY(!processAlive(first));
        QTest::qWait(200);
        QCOMPARE(controller.gateProcessId(), second);
    }

    void aLaunchThatFailsIsReported() {
        const TestHome home;
        home.signIn();
        makeBundle(home, "#!/nonexistent/interpreter\n");
        GateController controller(bundledEnvironment(home));
        controller.startHelperGate();
        QVERIFY2(controller.lastError().value_or(QString()).startsWith(
                     QStringLiteral("Could not start gate: ")),
                 qPrintable(controller.lastError().value_or(QStringLiteral("(none)"))));
        QCOMPARE(controller.gateProcessId(), std::nullopt);
    }

    // The real daemon on a free port: launched, seen, restarted in place, stopped.
    void aRealGateRunsAndStops() {
        const TestHome home;
        home.signIn();
        GateReaper reaper;
        GateEnvironment environment = home.environmentWithDaemon();
        // The production delay: this test is about the launch's own probe.
        environment.launchProbeDelay = 2000ms;
        GateController controller(environment);
        QVERIFY(controller.daemonBundled());
        controller.startHelperGate();
        QVERIFY(controller.gateProcessId());
        const qint64 pid = *controller.gateProcessId();
        reaper.pids << pid;
        QTRY_VERIFY_WITH_TIMEOUT(controller.helperRunning(), gateStartMs);

        const QJsonObject config =
            QJsonDocument::fromJson(readFile(controller.configPath())).object();
        QCOMPARE(config[u"poller"][u"api_key"].toString(), QStringLiteral("key-123"));

        controller.startHelperGate();
        QCOMPARE(controller.gateProcessId(), pid);

        controller.stopHelperGate();
        QCOMPARE(controller.gateProcessId(), std::nullopt);
        QTRY_VERIFY_WITH_TIMEOUT(!processAlive(pid), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!controller.helperRunning(), 5000);
    }

    void aKilledGateIsForgottenWithoutAMessage() {
        const TestHome home;
        GateReaper reaper;
        GateEnvironment environment = home.environmentWithDaemon();
        environment.launchProbeDelay = 500ms;
        GateController controller(environment);
        controller.startHelperGate();
        const std::optional<QString> earlier = controller.lastError();
        QVERIFY(earlier);
        home.signIn();
        controller.startHelperGate();
        const qint64 pid = controller.gateProcessId().value_or(0);
        reaper.pids << pid;
        QTRY_VERIFY_WITH_TIMEOUT(servesSoon(controller), gateStartMs);

        killProcess(pid);
        QTRY_COMPARE_WITH_TIMEOUT(controller.gateProcessId(), std::nullopt, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!controller.helperRunning(), 5000);
        QCOMPARE(controller.lastError(), earlier);
    }

    void aGateThatCannotListenEndsAndIsForgotten() {
        const TestHome home;
        home.signIn();
        StubHttpServer squatter(home.ownPort, StubHttpServer::Behaviour::Answer, 404);
        QVERIFY(squatter.isListening());
        GateController controller(home.environmentWithDaemon());
        controller.startHelperGate();
        QVERIFY(controller.gateProcessId());
        QTRY_COMPARE_WITH_TIMEOUT(controller.gateProcessId(), std::nullopt, gateStartMs);
        QVERIFY(!controller.helperRunning());
        QCOMPARE(controller.lastError(), std::nullopt);
    }

    // Quitting the helper leaves the gate serving; the next run sees it but holds no handle.
    void theGateOutlivesTheController() {
        const TestHome home;
        home.signIn();
        GateReaper reaper;
        GateEnvironment environment = home.environmentWithDaemon();
        environment.launchProbeDelay = 500ms;
        auto controller = std::make_unique<GateController>(environment);
        controller->startHelperGate();
        const qint64 pid = controller->gateProcessId().value_or(0);
        reaper.pids << pid;
        QTRY_VERIFY_WITH_TIMEOUT(servesSoon(*controller), gateStartMs);
        controller.reset();
        QTest::qWait(100);
        QVERIFY(processAlive(pid));

        GateController next(environment);
        QTRY_VERIFY_WITH_TIMEOUT(next.helperRunning(), 5000);
        QCOMPARE(next.gateProcessId(), std::nullopt);
        next.stopHelperGate();
        QTest::qWait(300);
        QVERIFY(processAlive(pid));
    }
};

QTEST_GUILESS_MAIN(GateLaunchTest)
#include "tst_gatelaunch.moc"
