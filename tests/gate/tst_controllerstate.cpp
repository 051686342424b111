#include "gate/GateController.h"
#include "support/TestHome.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

using namespace SettingsKeys;

// What a controller starts from, what it keeps across runs, and what it tells its views.
class ControllerStateTest : public QObject {
    Q_OBJECT

private slots:
    void startsFromAnEmptyStore() {
        const TestHome home;
        const GateController controller(home.environment());
        QCOMPARE(controller.accountUserId(), std::nullopt);
        QCOMPARE(controller.personalRoom(), std::nullopt);
        QVERIFY(!controller.useExistingGate());
        QVERIFY(!controller.signedIn());
        QVERIFY(!controller.signingIn());
        QCOMPARE(controller.lastError(), std::nullopt);
        QCOMPARE(controller.lastChecked(), QString());
        QVERIFY(controller.registeredAgents().isEmpty());
        QCOMPARE(controller.registrationError(), std::nullopt);
        QCOMPARE(controller.installDir(), home.path(QStringLiteral("bramblekit")));
        QCOMPARE(controller.supportDir(), home.supportDir());
        QVERIFY2(!QFileInfo::exists(home.supportDir()), "creating the controller made supportDir");
    }

    void loadsTheAccountAndModeFromTheStore() {
        const TestHome home;
        home.settings()->setString(QString::fromLatin1(kUserId), QStringLiteral("user-7"));
        home.settings()->setString(QString::fromLatin1(kRoom), QStringLiteral("room-7"));
        home.settings()->setBoolean(QString::fromLatin1(kUseExisting), true);
        home.signIn();
        const GateController controller(home.environment());
        QCOMPARE(controller.accountUserId(), QStringLiteral("user-7"));
        QCOMPARE(controller.personalRoom(), QStringLiteral("room-7"));
        QVERIFY(controller.useExistingGate());
        QVERIFY(controller.signedIn());
    }

    void anEmptyStoredKeyIsSignedOut() {
        const TestHome home;
        home.signIn(QString());
        QVERIFY(!GateController(home.environment()).signedIn());
    }

    // Another program, or a hand edit, may leave values of the wrong type behind.
    void wrongTypesInTheStoreReadAsMissing() {
        const TestHome home;
        QFile file(home.settingsFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[General]\nkv.userId=a, b, c\nkv.personalRoom=@Variant(\\0\\0\\0\\x7f)\n"
                   "kv.useExistingGate=maybe\nkv.apiKey=1, 2\n");
        file.close();
        const GateController controller([&] {
            GateEnvironment environment = home.environment();
            environment.settings = SettingsStore::openFile(home.settingsFile());
            return environment;
        }());
        QCOMPARE(controller.accountUserId(), std::nullopt);
        QCOMPARE(controller.personalRoom(), std::nullopt);
        QVERIFY(!controller.useExistingGate());
        QVERIFY(!controller.signedIn());
    }

    void theSettingsFileIsOwnerOnly() {
        const TestHome home;
        home.signIn();
        const auto permissions = QFileInfo(home.settingsFile()).permissions();
        QVERIFY(permissions & QFile::ReadOwner);
        QVERIFY(!(permissions & (QFile::ReadGroup | QFile::ReadOther)));
    }

    void everyAssignmentAnnouncesAChange() {
        const TestHome home;
        GateController controller(home.environment());
        QSignalSpy changes(&controller, &GateController::changed);
        controller.detectAgents();
        controller.detectAgents();
        QCOMPARE(changes.count(), 2);
    }

    void theModeSurvivesARestart() {
        const TestHome home;
        home.signIn();
        {
            GateController controller(home.environment());
            controller.chooseUseExistingGate();
            controller.chooseUseExistingGate();
            QVERIFY(controller.useExistingGate());
        }
        GateController restarted(home.environment());
        QVERIFY(restarted.useExistingGate());
        restarted.startHelperGate();
        QCOMPARE(restarted.lastError(), std::nullopt);
        QVERIFY(!QFileInfo::exists(restarted.configPath()));
    }

    void choosingTheOwnGateWhileSignedOutAsksToSignIn() {
        const TestHome home;
        home.settings()->setBoolean(QString::fromLatin1(kUseExisting), true);
        GateController controller(home.environment());
        controller.chooseOwnGate();
        QVERIFY(!controller.useExistingGate());
        QVERIFY(!home.settings()->boolean(QString::fromLatin1(kUseExisting)));
        QCOMPARE(controller.lastError(), QStringLiteral("Sign in first to start local approvals."));
    }

    void pairingKey_data() {
        QTest::addColumn<bool>("useExisting");
        QTest::addColumn<std::optional<QString>>("storedKey");
        QTest::addColumn<QByteArray>("existingConfig"); // empty: no file
        QTest::addColumn<std::optional<QString>>("expected");

        const QByteArray existing = R"({"poller": {"api_key": "existing-key"}})";
        const auto stored = std::optional(QStringLiteral("stored-key"));
        QTest::newRow("own gate: the stored key, file ignored")
            << false << stored << existing << stored;
        QTest::newRow("own gate, signed out: the existing gate's key")
            << false << std::optional<QString>() << existing
            << std::optional(QStringLiteral("existing-key"));
        QTest::newRow("existing gate: its key wins")
            << true << stored << existing << std::optional(QStringLiteral("existing-key"));
        QTest::newRow("existing gate without a file: the stored key")
            << true << stored << QByteArray() << stored;
        QTest::newRow("existing gate, empty key in file: the stored empty key")
            << true << std::optional(QString()) << QByteArray(R"({"poller": {"api_key": ""}})")
            << std::optional(QString());
        QTest::newRow("top-level array: the stored key")
            << true << stored << QByteArray(R"([{"poller": {"api_key": "x"}}])") << stored;
        QTest::newRow("malformed: nothing stored, nothing found")
            << true << std::optional<QString>() << QByteArray("{\"poller\": ")
            << std::optional<QString>();
        QTest::newRow("huge file: the stored key")
            << true << stored
            << (QByteArray(R"({"poller": {"api_key": "big"}, "pad": ")") +
                QByteArray(2 * 1024 * 1024, 'x') + "\"}")
            << stored;
    }

    void pairingKey() {
        QFETCH(bool, useExisting);
        QFETCH(std::optional<QString>, storedKey);
        QFETCH(QByteArray, existingConfig);
        QFETCH(std::optional<QString>, expected);
        const TestHome home;
        home.settings()->setBoolean(QString::fromLatin1(kUseExisting), useExisting);
        if (storedKey) {
            home.signIn(*storedKey);
        }
        if (!existingConfig.isEmpty()) {
            home.makeFile(QStringLiteral("bramblekit/bramblekit.json"), existingConfig);
        }
        QCOMPARE(GateController(home.environment()).pairingKey(), expected);
    }

    void launchAtLoginFollowsTheService() {
        const TestHome home;
        home.loginItem->registered = true;
        GateController controller(home.environment());
        QVERIFY(controller.launchAtLogin());

        controller.setLaunchAtLogin(false);
        QVERIFY(!controller.launchAtLogin());
        controller.setLaunchAtLogin(false);
        QCOMPARE(home.loginItem->requests, 2);
        QCOMPARE(controller.lastError(), std::nullopt);

        home.loginItem->heldForApproval = true;
        controller.setLaunchAtLogin(true);
        QVERIFY2(!controller.launchAtLogin(), "a registration awaiting approval is not enabled");
        QCOMPARE(controller.lastError(), std::nullopt);
    }

    void aFailedLoginItemRequestIsShownAndTheToggleFallsBack() {
        const TestHome home;
        GateController controller(home.environment());
        home.loginItem->failure = QStringLiteral("Permission denied");
        controller.setLaunchAtLogin(true);
        QCOMPARE(controller.lastError(), QStringLiteral("Start at login: Permission denied"));
        QVERIFY(!controller.launchAtLogin());

        home.loginItem->failure.reset();
        controller.setLaunchAtLogin(true);
        QVERIFY(controller.launchAtLogin());
        QCOMPARE(controller.lastError(), QStringLiteral("Start at login: Permission denied"));
    }
};

QTEST_GUILESS_MAIN(ControllerStateTest)
#include "tst_controllerstate.moc"
