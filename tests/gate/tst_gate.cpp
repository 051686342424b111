#include "gate/GateConfig.h"
#include "gate/GateController.h"
#include "gate/GateProbe.h"
#include "support/StubHttpServer.h"
#include "support/TestHome.h"

#include <QCoro/QCoroTask>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {
constexpr int gateStartMs = 20000;
const QString noScript = QStringLiteral("Gate daemon missing from app bundle.");
} // namespace

class GateTest : public QObject {
    Q_OBJECT

private slots:
    // Account first, then the script, then the runtime, then the config; the existing-gate mode
    // says nothing. Only a missing script sends the user to the web site.
    void launchRefusals_data() {
        QTest::addColumn<QString>("has"); // of "signed in", "script", "node", "existing mode"
        QTest::addColumn<QString>("message");
        QTest::newRow("nothing at all") << ""
                                        << "Sign in first to start local approvals.";
        QTest::newRow("no script, no node") << "signed in" << noScript;
        QTest::newRow("no node") << "signed in, script"
                                 << "Node.js not found (install Node, then retry).";
        QTest::newRow("existing gate, signed out") << "script, node, existing mode" << QString();
        QTest::newRow("a folder where the config goes")
            << "signed in, script, node"
            << "Could not write gate config: Is a directory";
    }
    void launchRefusals() {
        QFETCH(QString, has);
        QFETCH(QString, message);
        const TestHome home;
        GateEnvironment environment = home.environmentWithDaemon();
        if (has.contains(u"signed in")) {
            home.signIn();
        }
        if (!has.contains(u"script")) {
            environment.resourceFolder.clear();
        }
        if (!has.contains(u"node")) {
            environment.systemNodeCandidates = {home.path(QStringLiteral("missing/node"))};
        }
        home.settings()->setBoolean(QString::fromLatin1(SettingsKeys::kUseExisting),
                                    has.contains(u"existing mode"));
        GateController gate(environment);
        if (has == u"signed in, script, node") {
            QVERIFY(QDir().mkpath(gate.configPath()));
        }
        gate.startHelperGate();
        QTRY_COMPARE(gate.lastError().value_or(QString()), message);
        QCOMPARE(gate.gateProcessId(), std::nullopt);
        QVERIFY(!QFileInfo(gate.configPath()).isFile());
        QCOMPARE(home.openedUrls->size(), qsizetype(message == noScript));
    }

    // The own gate runs on a config holding the key, starts again after it died, and ends when
    // the existing gate is chosen instead.
    void theOwnGate() {
        const TestHome home;
        home.signIn(QStringLiteral("key-live"));
        QVERIFY(home.settings()->setString(QStringLiteral("kv.hookWaitSeconds"),
                                           QStringLiteral("5000")));
        const GateEnvironment environment = home.environmentWithDaemon();
        auto gate = std::make_unique<GateController>(environment);
        const auto started = [&gate] {
            gate->startHelperGate();
            return QTest::qWaitFor([&gate] { return gate->helperRunning(); }, gateStartMs)
                       ? gate->gateProcessId().value_or(0)
                       : 0;
        };
        // What the helper holds, its standard input and a descriptor left without
        // close-on-exec, stays with it: the gate reads /dev/null.
        home.makeFile(QStringLiteral("held"));
        const int held = ::open(QFile::encodeName(home.path(QStringLiteral("held"))), O_RDONLY);
        const int input = ::dup(STDIN_FILENO);
        ::dup2(held, STDIN_FILENO);
        const qint64 first = started();
        ::dup2(input, STDIN_FILENO);
        ::close(input);
        ::close(held);
        QVERIFY2(first > 0, qPrintable(gate->lastError().value_or(QString())));
        QCOMPARE(GateConfig::readPollerApiKey(gate->configPath()), QStringLiteral("key-live"));
        // The gate is told where the agents' key is and how long to hold a hook (at most an hour).
        const QJsonObject config = QJsonDocument::fromJson(contentsOf(gate->configPath())).object();
        const QString secretPath = home.supportDir() + QStringLiteral("/gate-secret");
        QCOMPARE(config[u"mcp"][u"confirmations"][u"secret_path"].toString(), secretPath);
        QCOMPARE(config[u"hooks"][u"wait_s"].toInt(), 3600);
        const QByteArray key = contentsOf(secretPath);
        QVERIFY(QRegularExpression(QStringLiteral("^[A-Za-z0-9_-]{43}\n$"))
                    .match(QString::fromLatin1(key))
                    .hasMatch());
        const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(first));
        QCOMPARE(QFile::symLinkTarget(descriptors.filePath(QStringLiteral("0"))), "/dev/null");
        for (const QString& entry : descriptors.entryList(QDir::Files | QDir::System)) {
            QVERIFY(QFile::symLinkTarget(descriptors.filePath(entry)) !=
                    home.path(QStringLiteral("held")));
        }

        killProcess(first);
        QTRY_VERIFY_WITH_TIMEOUT(!gate->gateProcessId() && !gate->helperRunning(), gateStartMs);
        const qint64 second = started();
        QVERIFY(second > 0 && second != first);
        QCOMPARE(contentsOf(secretPath), key);
        gate->chooseUseExistingGate();
        QTRY_VERIFY_WITH_TIMEOUT(!processAlive(second), gateStartMs);
    }

    // The own gate's life, one path through the supervisor's table a row. The runtime is a
    // stand-in in front of the real node that waits for the test at each step: saying its
    // version, letting the gate listen, ending after SIGTERM. Steps: start, stop, "re-sign"
    // (a new key, then start), "new helper" (this one ends, the gate runs on; "forgotten": its
    // record lost too), version, listen, end, broken (says no version), kill; "=state" waits for
    // that state, and "=launching" for the stand-in of that launch to run as well: a stop or a
    // kill sent before it runs would end it unseen.
    void theLifecycle_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<int>("launches");
        QTest::addColumn<QString>("error");
        const auto row = [](const char* name, const char* steps, int launches,
                            const char* error = "") {
            QTest::newRow(name) << QString::fromLatin1(steps).split(u',') << launches
                                << QString::fromLatin1(error);
        };
        row("start: the version, then the port",
            "start,=choosing a runtime,version,=launching,listen,=serving", 1);
        row("stopped while choosing: nothing launched",
            "start,=choosing a runtime,stop,=stopped,version,chosen", 0);
        row("no runtime says its version", "broken,version,start,=failed", 0,
            "Node.js not found (install Node, then retry).");
        row("ended before it answered", "version,start,=launching,kill,=failed", 1,
            "Gate stopped: it exited at once");
        row("failed, then started again",
            "version,start,=launching,kill,=failed,start,=launching,listen,=serving", 2,
            "Gate stopped: it exited at once");
        row("stopped while launching", "version,start,=launching,stop,=stopped", 1);
        row("a new sign-in while launching",
            "version,start,=launching,re-sign,=launching,listen,=serving", 2);
        row("serving, then killed: no error", "version,listen,start,=serving,kill,=stopped", 1);
        row("serving, then stopped", "version,listen,start,=serving,stop,=stopping,end,=stopped",
            1);
        row("a new sign-in: the old gate ends before the new one starts",
            "version,listen,start,=serving,re-sign,=restarting,end,=serving", 2);
        row("started again while stopping: after the end",
            "version,listen,start,=serving,stop,=stopping,start,=restarting,end,=serving", 2);
        row("stopped while restarting: no new gate",
            "version,listen,start,=serving,re-sign,=restarting,stop,=stopping,end,=stopped", 1);
        row("a new helper takes the gate over by its record",
            "version,listen,start,=serving,new helper,=taken over,re-sign,=restarting,end,"
            "=serving",
            2);
        row("a new helper takes the gate over by its port",
            "version,listen,start,=serving,forgotten,=taken over,stop,=stopped", 1);
    }
    void theLifecycle() {
        QFETCH(QStringList, steps);
        const TestHome home;
        home.signIn();
        const GateEnvironment environment = home.environmentWithRuntime(
            "step() { until [ -e \"$home/$1\" ]; do sleep 0.02; done; }\n"
            "if [ \"$1\" = --version ]; then\n"
            "    step version; [ -e \"$home/broken\" ] && exit 1; exec \"$node\" --version\n"
            "fi\n"
            "echo >>\"$home/launched\"\nstep listen\n"
            "trap 'step end; kill $gate; wait $gate; exit 0' TERM\n"
            "\"$node\" \"$@\" & gate=$!\nwait $gate\n");
        auto gate = std::make_unique<GateController>(environment);
        // The stand-in writes a line as it runs.
        const auto launchesSeen = [&home] {
            return int(QFileInfo(home.path(u"launched"_s)).size());
        };
        int launching = 0;
        for (const QString& step : steps) {
            if (step.startsWith(u'=')) {
                QTRY_COMPARE_WITH_TIMEOUT(GateLifecycle::nameOf(gate->gateLifecycle()), step.mid(1),
                                          gateStartMs);
                if (step == u"=launching") {
                    ++launching;
                    QTRY_COMPARE_WITH_TIMEOUT(launchesSeen(), launching, gateStartMs);
                }
            } else if (step == u"start" || step == u"re-sign") {
                home.signIn(step == u"re-sign" ? u"key-new"_s : u"key-123"_s);
                gate->startHelperGate();
            } else if (step == u"stop") {
                gate->stopHelperGate();
            } else if (step == u"new helper" || step == u"forgotten") {
                gate.reset();
                QVERIFY(step == u"new helper" ||
                        QFile::remove(home.supportDir() + u"/gate-process.json"_s));
                gate = std::make_unique<GateController>(environment);
            } else if (step == u"chosen") {
                QTRY_VERIFY_WITH_TIMEOUT(gate->nodePath(), gateStartMs);
            } else if (step == u"kill") {
                for (const qint64 pid : processesMentioning(gate->configPath())) {
                    killProcess(pid);
                }
            } else {
                home.makeFile(step);
            }
        }
        QTEST(launchesSeen(), "launches");
        QTEST(gate->lastError().value_or(QString()), "error");
    }

    // The phone pairs with the gate in use; a key the existing gate's file does not hold as a
    // string is none.
    void thePairingKeyIsTheGateInUse_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<bool>("existingMode");
        QTest::addColumn<QString>("expected");
        const QByteArray theirs = R"({"poller": {"api_key": "theirs"}})";
        QTest::newRow("own gate") << "own" << theirs << false << "own";
        QTest::newRow("existing gate") << "own" << theirs << true << "theirs";
        QTest::newRow("signed out") << "" << theirs << false << "theirs";
        QTest::newRow("key not a string")
            << "own" << QByteArray(R"({"poller": {"api_key": 42}})") << true << "own";
    }
    void thePairingKeyIsTheGateInUse() {
        QFETCH(QString, stored);
        QFETCH(QByteArray, existing);
        QFETCH(bool, existingMode);
        QFETCH(QString, expected);
        const TestHome home;
        home.signIn(stored);
        home.makeFile(QStringLiteral("bramblekit/bramblekit.json"), existing);
        home.settings()->setBoolean(QString::fromLatin1(SettingsKeys::kUseExisting), existingMode);
        QCOMPARE(GateController(home.environment()).pairingKey(), expected);
    }

    // A probe cycle that finds something new redraws the windows once, however many of the
    // things it looked at changed.
    void aProbeCycleRedrawsOnce() {
        const TestHome home;
        GateController gate(home.environment());
        QSignalSpy probed(&gate, &GateController::probed);
        QVERIFY(probed.wait(gateStartMs));
        const auto redrawsOfACycle = [&gate, &probed] {
            const QSignalSpy redraws(&gate, &GateController::changed);
            probed.clear();
            gate.refresh();
            return probed.wait(gateStartMs) ? redraws.size() : -1;
        };
        auto existing =
            std::make_unique<StubHttpServer>(home.existingPort, StubHttpServer::Behaviour::Answer);
        QCOMPARE(redrawsOfACycle(), 1);
        QVERIFY(gate.existingGateDetected());
        existing.reset();
        QCOMPARE(redrawsOfACycle(), 1);
        QVERIFY(!gate.existingGateDetected());
    }

    // Only a whole 200 within the deadline is a working gate.
    void theProbe_data() {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("alive");
        using B = StubHttpServer::Behaviour;
        QTest::newRow("200") << int(B::Answer) << 200 << true;
        QTest::newRow("500") << int(B::Answer) << 500 << false;
        QTest::newRow("silent") << int(B::Silent) << 200 << false;
        QTest::newRow("dripping") << int(B::Drip) << 200 << false;
    }
    void theProbe() {
        QFETCH(int, behaviour);
        QFETCH(int, status);
        const quint16 port = freePort();
        const StubHttpServer server(port, StubHttpServer::Behaviour(behaviour), status);
        QNetworkAccessManager network;
        QTEST(QCoro::waitFor(GateProbe::ping(network, port, 500ms)), "alive");
    }
};

QTEST_MAIN(GateTest)
#include "tst_gate.moc"
