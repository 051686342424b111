#include "agents/AgentDetection.h"
#include "gate/GateController.h"
#include "platform/BrowserSignIn.h"
#include "platform/SingleInstance.h"
#include "support/Devstack.h"
#include "support/StubHttpServer.h"
#include "support/TestHome.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;
using namespace SettingsKeys;

namespace {

// What the browser does with the sign-in page: approve it, or leave the user looking at it.
enum class Browser { Approves, Idle };

// Hands the callback to the waiting sign-in the way the desktop does: a second start of the
// real program with the URL as its one argument.
bool deliverThroughSecondStart(const QUrl& callback) {
    QProcess secondStart;
    secondStart.setProgram(QStringLiteral(KESTROVA_HELPER_BINARY));
    secondStart.setArguments({callback.toString(QUrl::FullyEncoded)});
    secondStart.start();
    // The running instance is this test's: its event loop must run to answer.
    return QTest::qWaitFor([&] { return secondStart.state() == QProcess::NotRunning; }, 20000) &&
           secondStart.exitStatus() == QProcess::NormalExit && secondStart.exitCode() == 0;
}

} // namespace

class SignInFlowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_runtime;
    std::unique_ptr<SingleInstance> m_instance;
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<Devstack> m_devstack;
    std::shared_ptr<BrowserSignIn> m_sheet;
    std::unique_ptr<GateController> m_controller;
    Browser m_browser = Browser::Approves;
    int m_pagesOpened = 0;
    QList<qint64> m_gates;

    GateEnvironment environment(bool withDaemon = false) const {
        GateEnvironment environment =
            withDaemon ? m_home->environmentWithDaemon() : m_home->environment();
        environment.google = {.clientId = m_devstack->clientId(),
                              .authorizationUrl = m_devstack->googleAuthUrl(),
                              .tokenUrl = m_devstack->googleTokenUrl()};
        environment.relayUrl = QUrl(m_devstack->baseUrl().toString(QUrl::StripTrailingSlash));
        environment.signInSheet = m_sheet;
        environment.machineName = [] { return QStringLiteral("Studio"); };
        return environment;
    }

    void start(bool withDaemon = false) {
        m_controller = std::make_unique<GateController>(environment(withDaemon));
        QTRY_VERIFY(!m_controller->lastChecked().isEmpty());
    }

    void signInAndWait() {
        m_controller->signIn();
        QVERIFY(m_controller->signingIn());
        QTRY_VERIFY_WITH_TIMEOUT(!m_controller->signingIn(), 30000);
        if (auto pid = m_controller->gateProcessId()) {
            m_gates << *pid;
        }
    }

    QString stored(const char* key) const {
        return m_home->settings()
            ->string(QString::fromLatin1(key))
            .value_or(QStringLiteral("<none>"));
    }

    // Plants Claude Code as an executable in a search folder and Codex as a home marker.
    void plantAgents() const {
        m_home->makeFile(QStringLiteral("usr/bin/claude"), "#!/bin/sh\n", true);
        m_home->makeFile(QStringLiteral(".codex/config.toml"));
    }

    void storeEarlierAccount() const {
        m_home->signIn(QStringLiteral("earlier-key"));
        m_home->settings()->setString(QString::fromLatin1(kUserId), QStringLiteral("earlier-user"));
    }

private slots:
    void initTestCase() {
        m_runtime = std::make_unique<QTemporaryDir>();
        qputenv("XDG_RUNTIME_DIR", m_runtime->path().toLocal8Bit());
        qputenv("QT_QPA_PLATFORM", "offscreen");
        m_instance = std::make_unique<SingleInstance>();
        QVERIFY(m_instance->claim());
    }

    void init() {
        m_home = std::make_unique<TestHome>();
        m_devstack = std::make_unique<Devstack>();
        QVERIFY(m_devstack->isRunning());
        m_browser = Browser::Approves;
        m_pagesOpened = 0;
        m_sheet = std::make_shared<BrowserSignIn>([this](const QUrl& url) {
            ++m_pagesOpened;
            if (m_browser == Browser::Approves) {
                QTimer::singleShot(0, m_sheet.get(), [this, url] {
                    const auto callback = m_devstack->followAuthorization(url);
                    QVERIFY(callback);
                    QVERIFY(deliverThroughSecondStart(*callback));
                });
            }
            return true;
        });
        connect(m_instance.get(), &SingleInstance::urlReceived, m_sheet.get(),
                &BrowserSignIn::deliverCallback);
    }

    void cleanup() {
        m_controller.reset();
        m_sheet.reset();
        for (const qint64 pid : std::exchange(m_gates, {})) {
            killProcess(pid);
        }
        m_devstack.reset();
        m_home.reset();
    }

    void aWholeSignInStoresTheAccountStartsTheGateAndRegistersAgents() {
        plantAgents();
        start(true);
        signInAndWait();
        QCOMPARE(m_controller->lastError(), std::nullopt);

        const QJsonObject account = m_devstack->state()[u"accounts"].toArray().at(0).toObject();
        QCOMPARE(stored(kApiKey), account[u"api_key"].toString());
        QCOMPARE(stored(kUserId), account[u"user_id"].toString());
        QCOMPARE(stored(kRoom), account[u"personal_room"].toString());
        QCOMPARE(m_controller->accountUserId(), account[u"user_id"].toString());
        QCOMPARE(m_controller->personalRoom(), account[u"personal_room"].toString());
        QVERIFY(m_controller->signedIn());

        QVERIFY(m_controller->gateProcessId());
        // Under load node may bind its port after the launch's own probe: probe again.
        QTRY_VERIFY_WITH_TIMEOUT((m_controller->refresh(), m_controller->helperRunning()), 15000);

        QTRY_COMPARE_WITH_TIMEOUT(m_controller->registeredAgents().size(), 2, 15000);
        QCOMPARE(m_controller->registrationError(), std::nullopt);
        const QJsonObject state = m_devstack->state();
        const QJsonObject auth = state[u"auth_requests"].toArray().at(0).toObject();
        QCOMPARE(auth[u"device_id"].toString(), stored(kHostFP));
        QCOMPARE(auth[u"device_name"].toString(), QStringLiteral("Studio"));
        QCOMPARE(auth[u"force_new_key"].toBool(), true);
        const QJsonArray owned = state[u"owned_requests"].toArray();
        QCOMPARE(owned.size(), 2);
        const QJsonObject claude = owned.at(0).toObject()[u"body"].toObject();
        QCOMPARE(claude,
                 QJsonObject({{"kind", "claude_code"},
                              {"machine_name", "Studio"},
                              {"host_fingerprint", stored(kHostFP)},
                              {"display_name", "Claude Code on Studio"},
                              {"detected_cli", m_home->path(QStringLiteral("usr/bin/claude"))}}));
        const QJsonObject codex = owned.at(1).toObject()[u"body"].toObject();
        QCOMPARE(codex[u"display_name"].toString(), QStringLiteral("Codex on Studio"));
        QVERIFY2(!codex.contains(u"detected_cli"), "a marker-only agent has no path");
        QCOMPARE(m_controller->registeredAgents(),
                 QStringList({state[u"agents"][0][u"handle"].toString(),
                              state[u"agents"][1][u"handle"].toString()}));
    }

    // A home as most Linux developers have it: Node.js only through nvm, one agent installed
    // with npm -g into ~/.npm-global, one with nvm's npm; none of it on the desktop's PATH, and
    // the system's node out of reach. Sign-in still ends at a serving gate, and registration
    // sends both agents' command-line paths.
    void aHomeWithNodeOnlyThroughNvm() {
        const QString nvmBin = QStringLiteral(".nvm/versions/node/v22.3.0/bin");
        QVERIFY(QDir().mkpath(m_home->path(nvmBin)));
        QVERIFY(QFile::link(QStandardPaths::findExecutable(QStringLiteral("node")),
                            m_home->path(nvmBin + QStringLiteral("/node"))));
        m_home->makeFile(QStringLiteral(".npm-global/bin/claude"), "#!/bin/sh\n", true);
        m_home->makeFile(nvmBin + QStringLiteral("/codex"), "#!/bin/sh\n", true);
        GateEnvironment environment = this->environment(true);
        environment.systemNodeCandidates = {m_home->path(QStringLiteral("no/system/node"))};
        environment.agentSearchFolders = AgentDetection::searchFolders(m_home->home(), QString());
        m_controller = std::make_unique<GateController>(environment);
        signInAndWait();
        QTRY_VERIFY_WITH_TIMEOUT(m_controller->helperRunning(), 20000);
        QCOMPARE(m_controller->nodeOrigin(), QStringLiteral("nvm"));
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->registeredAgents().size(), 2, 15000);
        QStringList sent;
        for (const QJsonValue request : m_devstack->state()[u"owned_requests"].toArray()) {
            sent << request[u"body"][u"detected_cli"].toString();
        }
        QCOMPARE(sent, QStringList({m_home->path(QStringLiteral(".npm-global/bin/claude")),
                                    m_home->path(nvmBin + QStringLiteral("/codex"))}));
    }

    void cancellingShowsNothingAndKeepsTheAccount() {
        storeEarlierAccount();
        m_browser = Browser::Idle;
        start();
        m_controller->signIn();
        QTRY_VERIFY(m_sheet->isWaiting());
        m_controller->signIn();
        QCOMPARE(m_pagesOpened, 1);
        m_sheet->cancel();
        QTRY_VERIFY(!m_controller->signingIn());
        QCOMPARE(m_controller->lastError(), std::nullopt);
        QCOMPARE(stored(kApiKey), QStringLiteral("earlier-key"));
        QCOMPARE(m_controller->accountUserId(), QStringLiteral("earlier-user"));
    }

    void relayFailures_data() {
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<QString>("message");
        QTest::newRow("no api key")
            << QJsonObject{{"omit_api_key", true}} << "Relay returned no API key.";
        QTest::newRow("401") << QJsonObject{{"relay_auth", QJsonObject{{"status", 401},
                                                                       {"body", "token expired"}}}}
                             << "Relay sign-in failed (401): token expired";
    }

    void relayFailures() {
        QFETCH(QJsonObject, faults);
        QFETCH(QString, message);
        storeEarlierAccount();
        QVERIFY(m_devstack->setFaults(faults));
        start();
        signInAndWait();
        QCOMPARE(m_controller->lastError(), message);
        QCOMPARE(stored(kApiKey), QStringLiteral("earlier-key"));
        QCOMPARE(m_controller->accountUserId(), QStringLiteral("earlier-user"));
        QCOMPARE(m_controller->gateProcessId(), std::nullopt);
    }

    // Sign-out stops the gate and forgets the account, but not the computer or the gate mode;
    // in the existing-gate mode a sign-in starts no gate.
    void signOutForgetsTheAccountButNotTheComputer() {
        plantAgents();
        start(true);
        signInAndWait();
        const qint64 gate = m_gates.value(0);
        QVERIFY(gate > 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->registeredAgents().size(), 2, 15000);
        const QString fingerprint = stored(kHostFP);

        m_controller->signOut();
        QVERIFY(!QFileInfo::exists(m_controller->supportDir()));
        QCOMPARE(stored(kApiKey) + stored(kUserId) + stored(kRoom),
                 QStringLiteral("<none><none><none>"));
        QCOMPARE(stored(kHostFP), fingerprint);
        QCOMPARE(m_controller->accountUserId(), std::nullopt);
        QVERIFY(m_controller->registeredAgents().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!processAlive(gate) && !m_controller->helperRunning(), 10000);

        m_controller->chooseUseExistingGate();
        signInAndWait();
        QCOMPARE(m_controller->gateProcessId(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->registeredAgents().size(), 2, 15000);
        const QJsonArray auths = m_devstack->state()[u"auth_requests"].toArray();
        QCOMPARE(auths.at(1)[u"device_id"].toString(), fingerprint);
        m_controller->signOut();
        start(true);
        QVERIFY(m_controller->useExistingGate());
    }

    // A key that cannot be saved would be gone after a restart: no sign-in, and why.
    void aKeyThatCannotBeSavedIsNoSignIn() {
        QVERIFY(QDir().mkpath(m_home->settingsFile()));
        start();
        signInAndWait();
        QVERIFY(!m_controller->signedIn());
        QVERIFY(m_controller->lastError().value_or(QString()).startsWith(
            QStringLiteral("Could not save settings: ")));
        QCOMPARE(m_controller->gateProcessId(), std::nullopt);
    }

    // Registration runs take their time; one overtaken by a newer run or by a sign-out shows
    // nothing of what it found.
    void anOvertakenRegistrationPublishesNothing() {
        plantAgents();
        start();
        signInAndWait();
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->registeredAgents().size(), 2, 15000);
        // Two runs at once: only the second publishes its two fields.
        m_controller->registerDetectedAgents();
        m_controller->registerDetectedAgents();
        QSignalSpy published(m_controller.get(), &GateController::changed);
        QTRY_VERIFY_WITH_TIMEOUT(published.size() >= 2, 15000);
        QTest::qWait(500);
        QCOMPARE(published.size(), 2);

        m_controller->registerDetectedAgents();
        m_controller->signOut();
        QTest::qWait(500);
        QVERIFY(m_controller->registeredAgents().isEmpty());
        QCOMPARE(m_controller->registrationError(), std::nullopt);
    }

    void registrationKeepsTheFirstFailureOnlyWhenNothingRegistered_data() {
        QTest::addColumn<QJsonObject>("owned");
        QTest::addColumn<int>("registered");
        QTest::addColumn<std::optional<QString>>("error");
        const QJsonObject rejected{{"status", 401}, {"body", "nope"}};
        QTest::newRow("one rejected")
            << QJsonObject{{"claude_code", rejected}} << 1 << std::optional<QString>();
        QTest::newRow("both rejected")
            << QJsonObject{{"claude_code", rejected},
                           {"codex", QJsonObject{{"status", 500}, {"body", "boom"}}}}
            << 0 << std::optional(QStringLiteral("Relay sign-in failed (401): nope"));
    }

    void registrationKeepsTheFirstFailureOnlyWhenNothingRegistered() {
        QFETCH(QJsonObject, owned);
        QFETCH(int, registered);
        QFETCH(std::optional<QString>, error);
        plantAgents();
        QVERIFY(m_devstack->setFaults({{"owned", owned}}));
        start();
        signInAndWait();
        // Either half alone holds before the run ends; both together only after it.
        QTRY_VERIFY_WITH_TIMEOUT(m_controller->registeredAgents().size() == registered &&
                                     m_controller->registrationError() == error,
                                 15000);
        QCOMPARE(m_devstack->state()[u"owned_requests"].toArray().size(), 2);
    }

    // Servers that never answer, answer too much, or hang up: one clear line, nothing lost.
    void brokenServers_data() {
        QTest::addColumn<QString>("endpoint");
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<QString>("message");
        using B = StubHttpServer::Behaviour;
        QTest::newRow("silent relay") << "relay" << int(B::Silent) << "The request timed out.";
        QTest::newRow("dripping token endpoint")
            << "token" << int(B::Drip) << "The request timed out.";
        QTest::newRow("huge relay answer")
            << "relay" << int(B::Answer) << "The answer was too large.";
        QTest::newRow("relay hangs up") << "relay" << int(B::CutOff) << "";
    }

    void brokenServers() {
        QFETCH(QString, endpoint);
        QFETCH(int, behaviour);
        QFETCH(QString, message);
        storeEarlierAccount();
        const quint16 port = freePort();
        const QByteArray body = behaviour == int(StubHttpServer::Behaviour::Answer)
                                    ? QByteArray(6 * 1024 * 1024, 'x')
                                    : QByteArray(R"({"api_key":"stolen"})");
        StubHttpServer stub(port, StubHttpServer::Behaviour(behaviour), 200, body);
        GateEnvironment broken = environment();
        const QUrl stubUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
        if (endpoint == u"relay") {
            broken.relayUrl = stubUrl;
            broken.relayTimeout = 1500ms;
        } else {
            broken.google.tokenUrl = stubUrl.resolved(QUrl(QStringLiteral("/token")));
            broken.google.tokenTimeout = 1500ms;
        }
        m_controller = std::make_unique<GateController>(broken);
        signInAndWait();
        const QString shown = m_controller->lastError().value_or(QString());
        if (message.isEmpty()) {
            QVERIFY2(!shown.isEmpty() && !shown.contains(u'\n'), qPrintable(shown));
        } else {
            QCOMPARE(shown, message);
        }
        QCOMPARE(stored(kApiKey), QStringLiteral("earlier-key"));
        QCOMPARE(m_controller->accountUserId(), QStringLiteral("earlier-user"));
    }
};

QTEST_GUILESS_MAIN(SignInFlowTest)
#include "tst_signinflow.moc"
