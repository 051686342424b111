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
#include <QTest>

using namespace std::chrono_literals;

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
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<bool>("script");
        QTest::addColumn<bool>("node");
        QTest::addColumn<bool>("existingMode");
        QTest::addColumn<QString>("message");
        QTest::newRow("nothing at all")
            << false << false << false << false << "Sign in first to start local approvals.";
        QTest::newRow("no script, no node") << true << false << false << false << noScript;
        QTest::newRow("no node") << true << true << false << false
                                 << "Node.js not found (install Node, then retry).";
        QTest::newRow("existing gate, signed out") << false << true << true << true << QString();
        QTest::newRow("a folder where the config goes")
            << true << true << true << false << "Could not write gate config: Is a directory";
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
        if (signedIn && script && node) {
            QVERIFY(QDir().mkpath(gate.configPath()));
        }
        gate.startHelperGate();
        QCOMPARE(gate.lastError().value_or(QString()), message);
        QCOMPARE(gate.gateProcessId(), std::nullopt);
        QVERIFY(!QFileInfo(gate.configPath()).isFile());
        QCOMPARE(home.openedUrls->size(), qsizetype(message == noScript));
    }

    // The own gate runs on a config holding the key, starts again after it died, and ends when
    // the existing gate is chosen instead, a choice that outlives the program.
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
        const qint64 first = started();
        QVERIFY(first > 0);
        QCOMPARE(GateConfig::readPollerApiKey(gate->configPath()), QStringLiteral("key-live"));
        // The gate is told where the agents' key is and how long to hold a hook (at most an hour).
        const auto config = [&gate] {
            QFile file(gate->configPath());
            return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                                  : QJsonObject();
        };
        const QString secretPath = home.supportDir() + QStringLiteral("/gate-secret");
        QCOMPARE(config()[u"mcp"][u"confirmations"][u"secret_path"].toString(), secretPath);
        QCOMPARE(config()[u"hooks"][u"wait_s"].toInt(), 3600);
        const auto secret = [&secretPath] {
            QFile file(secretPath);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        const QByteArray key = secret();
        QVERIFY(QRegularExpression(QStringLiteral("^[A-Za-z0-9_-]{43}\n$"))
                    .match(QString::fromLatin1(key))
                    .hasMatch());

        killProcess(first);
        QTRY_VERIFY_WITH_TIMEOUT(!gate->gateProcessId() && !gate->helperRunning(), gateStartMs);
        QVERIFY2(!gate->lastError(), "a gate that ended is no error");
        const qint64 second = started();
        QVERIFY(second > 0 && second != first);
        QCOMPARE(secret(), key);
        gate->chooseUseExistingGate();
        QTRY_VERIFY_WITH_TIMEOUT(!processAlive(second), gateStartMs);
        gate.reset();
        QVERIFY(GateController(environment).useExistingGate());
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
        QFETCH(bool, alive);
        const quint16 port = freePort();
        const StubHttpServer server(port, StubHttpServer::Behaviour(behaviour), status);
        QNetworkAccessManager network;
        QCOMPARE(QCoro::waitFor(GateProbe::ping(network, port, 500ms)), alive);
    }
};

QTEST_MAIN(GateTest)
#include "tst_gate.moc"
