#include "gate/GateConfig.h"
#include "gate/GateController.h"
#include "gate/GateProbe.h"
#include "support/StubHttpServer.h"
#include "support/TestHome.h"

#include <QCoro/QCoroTask>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace std::chrono_literals;

namespace {

// Owner, group and other bits; Qt also reports the current user's, which would hide a fault.
constexpr QFileDevice::Permissions ownerGroupOther{0x7077};
constexpr int gateStartMs = 20000;

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Ends whatever gate a test left behind.
struct GateReaper {
    const GateController& gate;
    ~GateReaper() {
        if (const auto pid = gate.gateProcessId()) {
            killProcess(*pid);
        }
    }
};

void existingGateConfig(const TestHome& home, const QByteArray& key) {
    home.makeFile(QStringLiteral("bramblekit/bramblekit.json"),
                  R"({"poller": {"api_key": ")" + key + R"("}})");
}

} // namespace

class GateTest : public QObject {
    Q_OBJECT

private slots:
    void theStoreIsReadForgivingly() {
        const TestHome home;
        home.settings()->setString(QString::fromLatin1(SettingsKeys::kUserId),
                                   QStringLiteral("usr_1"));
        home.settings()->setBoolean(QString::fromLatin1(SettingsKeys::kUseExisting), true);
        home.signIn(QString());
        const GateController gate(home.environment());
        QCOMPARE(gate.accountUserId(), QStringLiteral("usr_1"));
        QVERIFY(gate.useExistingGate());
        QVERIFY2(!gate.signedIn(), "an empty stored key is no account");
        QCOMPARE(QFileInfo(home.settingsFile()).permissions() & ownerGroupOther,
                 QFile::ReadOwner | QFile::WriteOwner);
    }

    // Account first, then the script, then the runtime; the existing-gate mode says nothing.
    void launchRefusals_data() {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<bool>("script");
        QTest::addColumn<bool>("node");
        QTest::addColumn<bool>("existingMode");
        QTest::addColumn<QString>("message");
        const QString signIn = QStringLiteral("Sign in first to start local approvals.");
        const QString noScript = QStringLiteral("Gate daemon missing from app bundle.");
        const QString noNode = QStringLiteral("Node.js not found (install Node, then retry).");
        QTest::newRow("nothing at all") << false << false << false << false << signIn;
        QTest::newRow("no script, no node") << true << false << false << false << noScript;
        QTest::newRow("no node") << true << true << false << false << noNode;
        QTest::newRow("existing gate, signed out") << false << true << true << true << QString();
    }
    void launchRefusals() {
        QFETCH(bool, signedIn);
        QFETCH(bool, script);
        QFETCH(bool, node);
        QFETCH(bool, existingMode);
        QFETCH(QString, message);
        const TestHome home;
        GateEnvironment environment = home.environmentWithDaemon();
        if (signedIn) {
            home.signIn();
        }
        if (!script) {
            environment.resourceFolder.clear();
        }
        if (!node) {
            environment.systemNodeCandidates = {home.path(QStringLiteral("missing/node"))};
        }
        home.settings()->setBoolean(QString::fromLatin1(SettingsKeys::kUseExisting), existingMode);
        GateController gate(environment);
        gate.startHelperGate();
        QCOMPARE(gate.lastError().value_or(QString()), message);
        QCOMPARE(gate.gateProcessId(), std::nullopt);
        QVERIFY(!QFileInfo::exists(gate.configPath()));
        QCOMPARE(home.openedUrls->size(),
                 qsizetype(message == u"Gate daemon missing from app bundle."));
    }

    // The own gate runs with an owner-only config holding the key, is seen running, stops on
    // Stop, and can be started again after it died.
    void theOwnGateRunsStopsAndRestarts() {
        const TestHome home;
        home.signIn(QStringLiteral("key-live"));
        GateEnvironment environment = home.environmentWithDaemon();
        GateController gate(environment);
        const GateReaper reaper{gate};
        gate.startHelperGate();
        QTRY_VERIFY_WITH_TIMEOUT(gate.helperRunning(), gateStartMs);
        QCOMPARE(QFileInfo(gate.configPath()).permissions() & ownerGroupOther,
                 QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(GateConfig::pollerApiKey(readFile(gate.configPath())), QStringLiteral("key-live"));

        const qint64 first = *gate.gateProcessId();
        killProcess(first);
        QTRY_VERIFY_WITH_TIMEOUT(!gate.gateProcessId() && !gate.helperRunning(), gateStartMs);
        QVERIFY2(!gate.lastError(), "a gate that ended is no error");
        gate.startHelperGate();
        QTRY_VERIFY_WITH_TIMEOUT(gate.helperRunning(), gateStartMs);
        QVERIFY(*gate.gateProcessId() != first);

        const qint64 second = *gate.gateProcessId();
        gate.stopHelperGate();
        QTRY_VERIFY_WITH_TIMEOUT(!gate.helperRunning() && !processAlive(second), gateStartMs);
    }

    // Choosing the existing gate stops the own one; the choice survives a restart.
    void theExistingGateReplacesTheOwn() {
        const TestHome home;
        home.signIn();
        GateEnvironment environment = home.environmentWithDaemon();
        auto gate = std::make_unique<GateController>(environment);
        gate->startHelperGate();
        QTRY_VERIFY_WITH_TIMEOUT(gate->helperRunning(), gateStartMs);
        const qint64 pid = *gate->gateProcessId();
        gate->chooseUseExistingGate();
        QTRY_VERIFY_WITH_TIMEOUT(!processAlive(pid), gateStartMs);
        gate.reset();
        QVERIFY(GateController(environment).useExistingGate());
    }

    void thePairingKeyIsTheGateInUse_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<bool>("existingMode");
        QTest::addColumn<QString>("expected");
        QTest::newRow("own gate") << "own" << QByteArray("theirs") << false << "own";
        QTest::newRow("existing gate") << "own" << QByteArray("theirs") << true << "theirs";
        QTest::newRow("existing gate without key") << "own" << QByteArray() << true << "own";
        QTest::newRow("signed out") << "" << QByteArray("theirs") << false << "theirs";
    }
    void thePairingKeyIsTheGateInUse() {
        QFETCH(QString, stored);
        QFETCH(QByteArray, existing);
        QFETCH(bool, existingMode);
        QFETCH(QString, expected);
        const TestHome home;
        home.signIn(stored);
        existingGateConfig(home, existing);
        home.settings()->setBoolean(QString::fromLatin1(SettingsKeys::kUseExisting), existingMode);
        QCOMPARE(GateController(home.environment()).pairingKey(), expected);
    }

    // Only a whole 200 within the deadline is a working gate.
    void theProbe_data() {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("alive");
        using B = StubHttpServer::Behaviour;
        QTest::newRow("200") << int(B::Answer) << 200 << true;
        QTest::newRow("500") << int(B::Answer) << 500 << false;
        QTest::newRow("301") << int(B::Answer) << 301 << false;
        QTest::newRow("silent") << int(B::Silent) << 200 << false;
        QTest::newRow("dripping") << int(B::Drip) << 200 << false;
    }
    void theProbe() {
        QFETCH(int, behaviour);
        QFETCH(int, status);
        QFETCH(bool, alive);
        const quint16 port = freePort();
        const StubHttpServer server(port, StubHttpServer::Behaviour(behaviour), status);
        QNetworkAccessManager network;
        QCOMPARE(QCoro::waitFor(GateProbe::ping(network, port, 500ms)), alive);
    }

    void aRefusedLoginItemIsShown() {
        const TestHome home;
        home.loginItem->failure = QStringLiteral("Permission denied");
        GateController gate(home.environment());
        gate.setLaunchAtLogin(true);
        QCOMPARE(gate.lastError(), QStringLiteral("Start at login: Permission denied"));
        QVERIFY(!gate.launchAtLogin());
    }
};

QTEST_MAIN(GateTest)
#include "tst_gate.moc"
