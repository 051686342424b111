#include "gate/GateController.h"
#include "platform/BrowserSignIn.h"
#include "platform/SingleInstance.h"
#include "support/Devstack.h"
#include "support/StubHttpServer.h"
#include "support/TestHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

using namespace std::chrono_literals;
using namespace SettingsKeys;

namespace {

// Hands the callback to the waiting sign-in the way the desktop does: a second start of the
// real program with the URL as its one argument. Its exit code and what it said on stderr.
// The second start looks for the running instance in the runtime folder that instance claimed,
// not in the test home's, where the gates go.
std::pair<int, QByteArray> deliverThroughSecondStart(const QUrl& callback, const QString& runtime) {
    QProcess secondStart;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    secondStart.setProcessEnvironment(environment);
    secondStart.start(QStringLiteral(KESTROVA_HELPER_BINARY),
                      {callback.toString(QUrl::FullyEncoded)});
    // The running instance is this test's: its event loop must run to answer.
    if (!QTest::qWaitFor([&] { return secondStart.state() == QProcess::NotRunning; }, 20000) ||
        secondStart.exitStatus() != QProcess::NormalExit) {
        return {-1, "did not end"};
    }
    return {secondStart.exitCode(), secondStart.readAllStandardError()};
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
    enum class Browser { Approves, Cancels, Stalls } m_browser = Browser::Approves;
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
        return m_home->settings()->string(QString::fromLatin1(key)).value_or("<none>");
    }

    // No file of this process may grow meanwhile; the write fails instead of raising SIGXFSZ.
    static void onAFullDisk(const std::function<void()>& work) {
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit full{.rlim_cur = 0, .rlim_max = limit.rlim_max};
        const auto handler = std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &full);
        work();
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, handler);
    }

    QByteArray onDisk() const { return contentsOf(m_home->settingsFile()); }

    // Plants Claude Code as an executable in a search folder and Codex as a home marker.
    void plantAgents() const {
        m_home->makeFile(QStringLiteral("usr/bin/claude"), "#!/bin/sh\n", true);
        m_home->makeFile(QStringLiteral(".codex/config.toml"));
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
        m_sheet = std::make_shared<BrowserSignIn>([this](const QUrl& url) {
            QTimer::singleShot(0, m_sheet.get(), [this, url] {
                if (m_browser == Browser::Cancels) {
                    m_sheet->cancel();
                }
                if (m_browser != Browser::Approves) {
                    return;
                }
                const auto callback = m_devstack->followAuthorization(url);
                QVERIFY(callback);
                QCOMPARE(deliverThroughSecondStart(*callback, m_runtime->path()),
                         std::pair(0, QByteArray()));
            });
            return true;
        });
        m_instance->setUrlHandler(
            [this](const QUrl& url) { return m_sheet->deliverCallback(url); });
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

    // The whole round: sign-in stores the account, starts the gate and registers the agents,
    // with their command-line paths, under this computer's fingerprint; sign-out forgets the
    // account but not the computer or the gate mode, and in the existing-gate mode a sign-in starts
    // no gate.
    void signInRegistersAndSignOutForgets() {
        plantAgents();
        start(true);
        signInAndWait();
        QCOMPARE(m_controller->lastError(), std::nullopt);
        const QJsonObject account = m_devstack->state()[u"accounts"][0].toObject();
        QCOMPARE(stored(kApiKey) + u' ' + stored(kUserId) + u' ' + stored(kRoom),
                 account[u"api_key"].toString() + u' ' + account[u"user_id"].toString() + u' ' +
                     account[u"personal_room"].toString());
        const qint64 gate = m_gates.value(0);
        QVERIFY(gate > 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->registeredAgents().size(), 2, 15000);
        const QString fingerprint = stored(kHostFP);
        const QJsonObject state = m_devstack->state();
        QCOMPARE(state[u"auth_requests"][0][u"device_id"].toString(), fingerprint);
        const QJsonValue sent = state[u"owned_requests"][0][u"body"];
        QCOMPARE(sent[u"display_name"].toString() + u' ' + sent[u"detected_cli"].toString(),
                 "Claude Code on Studio " + m_home->path(QStringLiteral("usr/bin/claude")));

        // On a full disk the key stays, so the account does too, its gate stopped, and says why.
        QTRY_VERIFY_WITH_TIMEOUT(m_controller->helperRunning(), 20000);
        onAFullDisk([this] { m_controller->signOut(); });
        QVERIFY(m_controller->lastError().value_or("").startsWith("Could not sign out: "));
        QVERIFY(m_controller->signedIn() && onDisk().contains(stored(kApiKey).toUtf8()));
        QTRY_VERIFY_WITH_TIMEOUT(!processAlive(gate) && !m_controller->helperRunning(), 10000);
        m_controller->signOut();
        QCOMPARE(m_controller->lastError(), std::nullopt);
        // Nothing of the account stays, the gate's key neither: no agent's entry needs it.
        QVERIFY(!QFileInfo::exists(m_controller->supportDir()));
        QCOMPARE(stored(kApiKey) + stored(kUserId) + stored(kRoom),
                 QStringLiteral("<none><none><none>"));
        QCOMPARE(m_controller->accountUserId(), std::nullopt);

        m_controller->chooseUseExistingGate();
        signInAndWait();
        QCOMPARE(m_controller->gateProcessId(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->registeredAgents().size(), 2, 15000);
        QCOMPARE(m_devstack->state()[u"auth_requests"][1][u"device_id"].toString(), fingerprint);
        start(true); // registrations are not remembered: a signed-in start registers again
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->registeredAgents().size(), 2, 15000);
        m_controller->signOut();
        start(true);
        QVERIFY(m_controller->useExistingGate());
    }

    // A sign-in that ends without an account: cancelled (nothing shown), or a relay or token
    // endpoint that refuses, never answers, answers too much or hangs up (one clear line; "*":
    // any). The earlier account stays and no gate starts.
    void aFailedSignInKeepsTheEarlierAccount_data() {
        QTest::addColumn<QString>("broken"); // "cancel", "devstack", "relay" or "token"
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<QString>("message");
        using B = StubHttpServer::Behaviour;
        const auto row = [](const char* name, const char* broken, const QJsonObject& faults,
                            B behaviour, const char* message) {
            QTest::newRow(name) << QString(broken) << faults << int(behaviour) << QString(message);
        };
        row("cancelled", "cancel", {}, B::Answer, "");
        row("no api key", "devstack", {{"omit_api_key", true}}, B::Answer,
            "Relay returned no API key.");
        row("401", "devstack",
            {{"relay_auth", QJsonObject{{"status", 401}, {"body", "token expired"}}}}, B::Answer,
            "Relay sign-in failed (401): token expired");
        row("silent relay", "relay", {}, B::Silent, "The request timed out.");
        row("dripping token endpoint", "token", {}, B::Drip, "The request timed out.");
        row("huge relay answer", "relay", {}, B::Answer, "The answer was too large.");
        row("relay hangs up", "relay", {}, B::CutOff, "*");
    }

    void aFailedSignInKeepsTheEarlierAccount() {
        QFETCH(QString, broken);
        QFETCH(QJsonObject, faults);
        QFETCH(int, behaviour);
        QFETCH(QString, message);
        m_home->signIn(QStringLiteral("earlier-key"));
        m_home->settings()->setString(QString::fromLatin1(kUserId), QStringLiteral("earlier-user"));
        QVERIFY(m_devstack->setFaults(faults));
        const quint16 port = freePort();
        const StubHttpServer stub(port, StubHttpServer::Behaviour(behaviour), 200,
                                  behaviour == int(StubHttpServer::Behaviour::Answer)
                                      ? QByteArray(6 * 1024 * 1024, 'x')
                                      : QByteArray(R"({"api_key":"stolen"})"));
        GateEnvironment environment = this->environment();
        const QUrl stubUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
        if (broken == u"relay") {
            environment.relayUrl = stubUrl;
            environment.relayTimeout = 1500ms;
        } else if (broken == u"token") {
            environment.google.tokenUrl = stubUrl.resolved(QUrl(QStringLiteral("/token")));
            environment.google.tokenTimeout = 1500ms;
        }
        m_controller = std::make_unique<GateController>(environment);
        m_browser = broken == u"cancel" ? Browser::Cancels : Browser::Approves;
        signInAndWait();
        const QString shown = m_controller->lastError().value_or(QString());
        QVERIFY2(message == u"*" ? !shown.isEmpty() && !shown.contains(u'\n') : shown == message,
                 qPrintable(shown));
        QCOMPARE(stored(kApiKey), QStringLiteral("earlier-key"));
        QCOMPARE(m_controller->accountUserId(), QStringLiteral("earlier-user"));
        QCOMPARE(m_controller->gateProcessId(), std::nullopt);
    }

    // A key that cannot be saved would be gone after a restart: no sign-in, and why. Once the
    // file can be written again, the next sign-in holds.
    void aKeyThatCannotBeSavedIsNoSignIn() {
        QVERIFY(QDir().mkpath(m_home->settingsFile()));
        start(true);
        signInAndWait();
        QVERIFY(!m_controller->signedIn() && !m_controller->gateProcessId());
        QVERIFY(m_controller->lastError().value_or("").startsWith("Could not save settings: "));
        QVERIFY(QDir(m_home->settingsFile()).removeRecursively());
        signInAndWait();
        QCOMPARE(m_controller->lastError(), std::nullopt);
        QVERIFY(onDisk().contains(stored(kApiKey).toUtf8()));
        QTRY_VERIFY(m_controller->gateProcessId());
    }

    // Registration goes on past a refused agent: with none registered it reports the first
    // refusal; a kind the relay refuses beside one it takes is named with the reason. Runs take
    // their time: one overtaken by a newer run or by a sign-out shows nothing of what it found.
    void registrationFailuresAndOvertakenRuns() {
        plantAgents();
        const QJsonObject refused{{"status", 401}, {"body", "nope"}};
        QVERIFY(m_devstack->setFaults(
            {{"owned", QJsonObject{{"claude_code", refused},
                                   {"codex", QJsonObject{{"status", 500}, {"body", "boom"}}}}}}));
        start();
        signInAndWait();
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->registrationError(),
                                  QStringLiteral("Relay sign-in failed (401): nope"), 15000);
        QVERIFY(m_controller->registeredAgents().isEmpty());
        // Two runs at once, the older one answered last: only the newer one's outcome shows.
        QVERIFY(m_devstack->setFaults(
            {{"delay_ms", 1500},
             {"owned",
              QJsonObject{{"claude_code", QJsonObject{{"status", 401}, {"body", "older"}}}}}}));
        m_controller->registerDetectedAgents();
        QVERIFY(m_devstack->setFaults({{"owned", QJsonObject{{"claude_code", refused}}}}));
        m_controller->registerDetectedAgents();
        const QStringList newer{QStringLiteral("Claude Code: Relay sign-in failed (401): nope")};
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->registrationRefusals(), newer, 15000);
        QTest::qWait(3000); // the older run's answers have come by now
        QCOMPARE(m_controller->registrationRefusals(), newer);
        QCOMPARE(m_controller->registeredAgents().size(), 1);
        QCOMPARE(m_controller->registrationError(), std::nullopt);

        m_controller->registerDetectedAgents();
        m_controller->signOut();
        QTest::qWait(500);
        QCOMPARE(m_controller->registrationRefusals(), QStringList());
    }
};

QTEST_GUILESS_MAIN(SignInFlowTest)
#include "tst_signinflow.moc"
