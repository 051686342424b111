#include "app/DiagnosticsWindow.h"
#include "app/HistoryWindow.h"
#include "app/PairingWindow.h"
#include "app/WelcomeContent.h"
#include "app/WelcomeWindow.h"
#include "gate/GateController.h"
#include "support/StubHttpServer.h"
#include "support/TestHome.h"

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

using NextStep = WelcomeContent::NextStep;

Q_DECLARE_METATYPE(GateSnapshot)
Q_DECLARE_METATYPE(NextStep)

namespace {

const QString kNotSignedInWarning =
    QStringLiteral("⚠︎ Sign in first to start local approvals.");

// A state changed from another, for the few fields a case is about.
template <typename Adjust> GateSnapshot with(GateSnapshot state, Adjust adjust) {
    adjust(state);
    return state;
}

GateSnapshot signedIn(bool helperRunning) {
    return with(GateSnapshot(), [&](GateSnapshot& s) {
        s.helperRunning = helperRunning;
        s.signedIn = true;
        s.pairingKey = QStringLiteral("k");
    });
}

// The content as one line: "+" before a done row, "-" before one still to do, the connect
// buttons in brackets, the warning if any, then the next step's text, marked when it cannot be
// pressed.
QString describe(const WelcomeContent& content) {
    QStringList lines;
    for (const auto& row : content.rows) {
        lines << (row.done ? QStringLiteral("+") : QStringLiteral("-")) + row.text;
    }
    for (const auto& offer : content.connectOffers) {
        lines << u'[' + offer.label + (offer.enabled ? "]" : " (disabled)]");
    }
    if (content.warning) {
        lines << *content.warning;
    }
    return (lines << content.nextStepText + (content.nextStepEnabled ? "" : " (disabled)"))
        .join(u'|');
}

// The label or button with that text the user can see in the window, if any.
template <typename Widget = QLabel> Widget* shown(const QWidget& window, const QString& text) {
    for (Widget* widget : window.findChildren<Widget*>()) {
        if (widget->text() == text && widget->isVisibleTo(&window)) {
            return widget;
        }
    }
    return nullptr;
}

// The texts under a window that do not read at 4.5:1 on its background, with their ratio. A
// translucent text colour is laid over the background first, as the eye sees it.
QStringList unreadableTexts(const QWidget& window) {
    const QColor background = window.palette().color(QPalette::Window);
    QStringList unreadable;
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        if (!label->isVisibleTo(&window) || label->text().isEmpty()) {
            continue;
        }
        QImage seen(1, 1, QImage::Format_RGB32);
        seen.fill(background);
        QPainter(&seen).fillRect(seen.rect(), label->palette().color(label->foregroundRole()));
        const double ratio = contrastRatio(seen.pixelColor(0, 0), background);
        if (ratio < 4.5) {
            unreadable << QStringLiteral("%1 (%2:1)").arg(label->text()).arg(ratio, 0, 'f', 2);
        }
    }
    return unreadable;
}

} // namespace

class WelcomeTest : public QObject {
    Q_OBJECT

private slots:
    void contentFollowsTheState_data() {
        QTest::addColumn<GateSnapshot>("state");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<NextStep>("step");
        const QString allSet =
            QStringLiteral("You're set. Pair your phone from the tray icon > \"Show pairing QR\".");
        const QString noAgent = QStringLiteral("-No coding agent detected on this computer");

        QTest::newRow("signing in, an agent, an error: nothing to register")
            << with(GateSnapshot(),
                    [](GateSnapshot& s) {
                        s.signingIn = true;
                        s.detectedAgents = {QStringLiteral("Codex")};
                        s.lastError = QStringLiteral("x");
                    })
            << QStringLiteral(
                   "-Not signed in yet|-Helper gate stopped|-Sign in to enable pairing|"
                   "+Agent detected: Codex|[Connect Codex]|⚠︎ x|Signing in… (disabled)")
            << NextStep::SignIn;
        QTest::newRow("signed in, gate stopped")
            << signedIn(false)
            << QStringLiteral("+Signed in|-Helper gate stopped|+Ready to pair with your phone|") +
                   noAgent + QStringLiteral("|Start the helper")
            << NextStep::StartHelper;
        QTest::newRow("existing gate, own not running")
            << with(signedIn(false), [](GateSnapshot& s) { s.useExistingGate = true; })
            << QStringLiteral("+Signed in|+Using existing gate|+Ready to pair with your phone|") +
                   noAgent + u'|' + allSet
            << NextStep::AllSet;

        const GateSnapshot detected = with(signedIn(true), [](GateSnapshot& s) {
            s.accountUserId = QStringLiteral("user-7");
            s.detectedAgents = {QStringLiteral("Claude Code"), QStringLiteral("Codex")};
        });
        const QString signedInRows = QStringLiteral(
            "+Signed in: user-7|+Helper gate running|+Ready to pair with your phone|");
        const QString found = signedInRows + QStringLiteral("+Agent detected: Claude Code, Codex|");
        const QString offers = QStringLiteral("[Connect Claude Code]|[Connect Codex]|");
        QTest::newRow("registering")
            << detected
            << found + QStringLiteral("-Registering your agent to Kestrova…|") + offers + allSet
            << NextStep::AllSet;
        // Each agent's settings as the connect script found them: connected ones need no button.
        // What OpenCode does beside the phone is said once it is connected.
        using Connection = AgentConnection::State;
        QTest::newRow("two connected, one connecting, one out of date")
            << with(detected,
                    [](GateSnapshot& s) {
                        s.detectedAgents << QStringLiteral("Gemini") << QStringLiteral("OpenCode");
                        s.registeredAgents = {QStringLiteral("a")};
                        s.agentConnections = {
                            {QStringLiteral("Claude Code"), Connection::Connected, {}},
                            {QStringLiteral("Codex"), Connection::Connecting, {}},
                            {QStringLiteral("Gemini"), Connection::Outdated, {}},
                            {QStringLiteral("OpenCode"), Connection::Connected, {}}};
                    })
            << signedInRows +
                   QStringLiteral("+Agent detected: Claude Code (connected), Codex (connecting…), "
                                  "Gemini (reconnect needed), OpenCode (connected; it asks at its "
                                  "own prompt too; the first answer counts)|+Added to your "
                                  "Kestrova account: a|[Connecting Codex… (disabled)]|[Reconnect "
                                  "Gemini]|") +
                   allSet
            << NextStep::AllSet;
        QTest::newRow("registered two, two refused")
            << with(detected,
                    [](GateSnapshot& s) {
                        s.registeredAgents = {QStringLiteral("a"), QStringLiteral("b")};
                        s.registrationRefusals = {QStringLiteral("Codex: refused"),
                                                  QStringLiteral("OpenCode: unknown kind")};
                    })
            << found +
                   QStringLiteral("+Added to your Kestrova account: a, b|-Not added: Codex: "
                                  "refused; OpenCode: unknown kind|") +
                   offers + allSet
            << NextStep::AllSet;
        QTest::newRow("registration failed")
            << with(detected, [](GateSnapshot& s) { s.registrationError = QStringLiteral("no"); })
            << found + QStringLiteral("-Couldn't register agent yet: no|") + offers + allSet
            << NextStep::AllSet;
    }

    // In the Linux words: the texts name the tray.
    void contentFollowsTheState() {
        QFETCH(GateSnapshot, state);
        const WelcomeContent content = WelcomeContent::of(state, PlaceWords::linuxDesktop());
        QTEST(describe(content), "shown");
        QTEST(content.nextStep, "step");
    }

    // A checklist row whose text grows to two lines while the window is open (here: the
    // registration a signed-in start runs, refused by the relay at length) is shown whole.
    void aRowThatWrapsWhileOpenIsShownWhole() {
        const TestHome home;
        home.signIn();
        home.makeFile(QStringLiteral("usr/bin/claude"), "#!/bin/sh\n", true);
        const StubHttpServer relay(home.ownPort, StubHttpServer::Behaviour::Answer, 503,
                                   QByteArray("The relay is down for maintenance. ").repeated(3));
        GateEnvironment environment = home.environment();
        environment.relayUrl = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(home.ownPort));
        GateController gate(environment);
        WelcomeWindow welcome(gate, WebSite{QUrl(QStringLiteral("https://kestrova.test")), {}});
        welcome.show();
        QVERIFY(QTest::qWaitForWindowExposed(&welcome));
        QTRY_VERIFY(gate.registrationError());
        const auto cutOff = [&welcome] {
            return std::ranges::count_if(welcome.findChildren<QLabel*>(), [](const QLabel* l) {
                return l->isVisible() && l->wordWrap() &&
                       l->height() < l->heightForWidth(l->width());
            });
        };
        QTRY_COMPARE(cutOff(), 0);
        QTest::qWait(100); // and stays so once every layout has passed the change on
        QCOMPARE(cutOff(), 0);
    }

    // The button connects a detected agent for real: the script writes the agent's settings,
    // the row says so once the script has read them back, and what the script asks the user
    // to do (Codex's trust step) shows in the window, as it does on the command line.
    void aConnectButtonConnectsTheAgent() {
        const TestHome home;
        home.makeFile(QStringLiteral("usr/bin/codex"), "#!/bin/sh\n", true);
        GateController gate(home.environmentWithDaemon());
        WelcomeWindow welcome(gate, WebSite{QUrl(QStringLiteral("https://kestrova.test")), {}});
        welcome.show();
        QPushButton* connectCodex = nullptr;
        QTRY_VERIFY((connectCodex = shown<QPushButton>(welcome, QStringLiteral("Connect Codex"))));
        QTest::mouseClick(connectCodex, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(
            shown(welcome, QStringLiteral("Agent detected: Codex (connected)")), 20000);
        QVERIFY(!shown<QPushButton>(welcome, QStringLiteral("Connect Codex")));
        QVERIFY(shown(welcome,
                      QStringLiteral("⚠︎ Connected Codex. Codex: run /hooks in Codex once and "
                                     "trust the kestrova-hook command; Codex skips hooks "
                                     "it has not been told to trust")));
        QVERIFY(contentsOf(home.path(QStringLiteral(".codex/config.toml")))
                    .contains("args = [\"mcp\"]"));
    }

    // A Mac build names its own places: the Mac, and the menu-bar icon for the tray; with no
    // tray there is no icon to point at.
    void otherPlacesHaveTheirOwnWords() {
        QCOMPARE(
            describe(WelcomeContent::of(signedIn(true), PlaceWords::macOS())),
            QStringLiteral("+Signed in|+Helper gate running|+Ready to pair with your phone|-No "
                           "coding agent detected on this Mac|You're set. Pair your phone "
                           "from the menu-bar icon (top-right) > \"Show pairing QR\"."));
        QCOMPARE(WelcomeContent::of(signedIn(true), PlaceWords::linuxDesktop(), false).nextStepText,
                 QStringLiteral("You're set. Pair your phone with \"Show pairing QR…\" above."));
    }

    // Secondary, warning and error texts in all four windows, in one theme and again after the
    // desktop switched to the other while the windows were open. The themes are as Qt derives
    // them from a window colour: black or white text, placeholder text half transparent.
    void everyTextReadsInLightAndDark() {
        const QPalette light(QColor(0xEF, 0xEF, 0xEF), QColor(0xEF, 0xEF, 0xEF));
        const QPalette dark(QColor(0x20, 0x23, 0x26), QColor(0x20, 0x23, 0x26));
        for (const auto& [first, then] : {std::pair(light, dark), std::pair(dark, light)}) {
            const auto restore =
                qScopeGuard([saved = QApplication::palette()] { QApplication::setPalette(saved); });
            QApplication::setPalette(first);
            const TestHome home;
            GateController gate(home.environment());
            QTRY_VERIFY(!gate.lastChecked().isEmpty());
            gate.chooseOwnGate(); // signed out: a warning, and an error line in diagnostics
            const WebSite site{QUrl(QStringLiteral("https://kestrova.test")), {}};
            WelcomeWindow welcome(gate, site);
            welcome.setTrayMissing(true);
            DiagnosticsWindow diagnostics(gate);
            PairingWindow pairing(gate, site);
            HistoryWindow history(gate);
            const QList<QWidget*> windows{&welcome, &diagnostics, &pairing, &history};
            QVERIFY(shown(welcome, kNotSignedInWarning));

            for (QWidget* window : windows) {
                // Shown: a theme change reaches the windows on screen.
                window->show();
                QVERIFY(QTest::qWaitForWindowExposed(window));
                QCOMPARE(unreadableTexts(*window), QStringList());
            }
            QApplication::setPalette(then);
            for (QWidget* window : windows) {
                QTRY_COMPARE(window->palette().color(QPalette::Window),
                             then.color(QPalette::Window));
                QCOMPARE(unreadableTexts(*window), QStringList());
            }
        }
    }

    // Shown, a window probes again: an agent installed since shows up without a click, and
    // diagnostics opened again shows fresh values. While open, both follow the controller and
    // grow with their texts.
    // The gate's first look waits for the welcome window's first frame, but not for a window
    // the desktop never draws.
    void theFirstLookWaitsForNoUndrawnWindow() {
        const TestHome home;
        GateEnvironment environment = home.environment();
        environment.lookAtStart = false;
        GateController gate(environment);
        const QSignalSpy probed(&gate, &GateController::probed);
        WelcomeWindow welcome(gate, WebSite{QUrl(QStringLiteral("https://kestrova.test")), {}});
        struct NeverDrawn : QObject {
            bool eventFilter(QObject*, QEvent* event) override {
                return event->type() == QEvent::Paint;
            }
        } neverDrawn;
        welcome.installEventFilter(&neverDrawn);
        welcome.show();
        QTRY_VERIFY(!probed.isEmpty());
    }

    void windowsProbeWhenShownAndFollowTheController() {
        const TestHome home;
        GateController gate(home.environment());
        QTRY_VERIFY(!gate.lastChecked().isEmpty());
        WelcomeWindow welcome(gate, WebSite{QUrl(QStringLiteral("https://kestrova.test")), {}});
        DiagnosticsWindow diagnostics(gate);
        diagnostics.show();
        diagnostics.hide();
        const QSignalSpy probed(&gate, &GateController::probed);
        diagnostics.show();
        QTRY_VERIFY(!probed.isEmpty());
        home.makeFile(QStringLiteral("usr/bin/claude"), "#!/bin/sh\n", true);
        welcome.show();
        QTRY_VERIFY(shown(welcome, QStringLiteral("Agent detected: Claude Code")));

        const QSize before(welcome.height(), diagnostics.height());
        gate.chooseOwnGate();
        QVERIFY(shown(welcome, kNotSignedInWarning));
        QTRY_VERIFY(welcome.height() > before.width() && diagnostics.height() > before.height());
    }
};

QTEST_MAIN(WelcomeTest)
#include "tst_welcome.moc"
