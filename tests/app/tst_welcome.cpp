#include "app/DiagnosticsWindow.h"
#include "app/PairingWindow.h"
#include "app/WelcomeContent.h"
#include "app/WelcomeWindow.h"
#include "gate/GateController.h"
#include "support/TestHome.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <cmath>

using namespace SettingsKeys;
using Row = WelcomeContent::Row;
using NextStep = WelcomeContent::NextStep;

Q_DECLARE_METATYPE(GateSnapshot)
Q_DECLARE_METATYPE(WelcomeContent)
Q_DECLARE_METATYPE(PlaceWords)

char* toString(const Row& row) {
    return QTest::toString(QStringLiteral("{%1, %2}").arg(row.done).arg(row.text));
}

namespace {

// The tests run on Linux, where the texts name the tray instead of a Mac's menu bar.
const QString kAllSet =
    QStringLiteral("You're set. Pair your phone from the tray icon > \"Show pairing QR\".");
const QString kHeader =
    QStringLiteral("This helper connects your coding agents to Kestrova, so agent approvals "
                   "show up on your phone - no terminal needed.");
const QString kClosingNote =
    QStringLiteral("Kestrova keeps running in your system tray. Closing this window won't quit "
                   "it - reopen it any time from the tray icon > \"Show Kestrova\".");

WelcomeContent expected(QList<Row> rows, NextStep step, QString text, bool enabled,
                        std::optional<QString> warning = std::nullopt) {
    return {.header = kHeader,
            .rows = std::move(rows),
            .warning = std::move(warning),
            .nextStep = step,
            .nextStepText = std::move(text),
            .nextStepEnabled = enabled,
            .closingNote = kClosingNote};
}

// A state changed from another, for the few fields a case is about.
template <typename Adjust> GateSnapshot with(GateSnapshot state, Adjust adjust) {
    adjust(state);
    return state;
}

GateSnapshot signedIn(bool helperRunning = true) {
    return with(GateSnapshot(), [&](GateSnapshot& s) {
        s.helperRunning = helperRunning;
        s.signedIn = true;
        s.pairingKey = QStringLiteral("k");
    });
}

const Row kSignedOut{false, QStringLiteral("Not signed in yet")};
const Row kSignedIn{true, QStringLiteral("Signed in")};
const Row kGateStopped{false, QStringLiteral("Helper gate stopped")};
const Row kGateRunning{true, QStringLiteral("Helper gate running")};
const Row kNoPairing{false, QStringLiteral("Sign in to enable pairing")};
const Row kPairing{true, QStringLiteral("Ready to pair with your phone")};
const Row kNoAgent{false, QStringLiteral("No coding agent detected on this computer")};

// Records what the window asks the browser to open.
struct RecordedSite {
    std::shared_ptr<QList<QUrl>> opened = std::make_shared<QList<QUrl>>();
    WebSite site{QUrl(QStringLiteral("https://kestrova.test")),
                 [urls = opened](const QUrl& url) { urls->append(url); }};
};

// Ends every sign-in at once, as if the user closed the page, and counts how often it was shown.
class CancellingSheet final : public SignInSheet {
public:
    int presented = 0;
    QCoro::Task<Outcome> present(QUrl, QString) override {
        ++presented;
        co_return std::unexpected(Failure{.cancelled = true, .description = {}});
    }
    void cancel() override {}
};

QLabel* visibleLabel(const QWidget& window, const QString& text) {
    for (QLabel* label : window.findChildren<QLabel*>()) {
        if (label->text() == text && label->isVisibleTo(&window)) {
            return label;
        }
    }
    return nullptr;
}

QPushButton* visibleButton(const QWidget& window, const QString& text) {
    for (QPushButton* button : window.findChildren<QPushButton*>()) {
        if (button->text() == text && button->isVisibleTo(&window)) {
            return button;
        }
    }
    return nullptr;
}

// WCAG 2 relative luminance and contrast, worked out here rather than taken from the code
// under test.
double luminance(const QColor& color) {
    const auto channel = [](double c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) +
           0.0722 * channel(color.blueF());
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
        const QColor text = label->palette().color(label->foregroundRole());
        const double a = text.alphaF();
        const QColor seen =
            QColor::fromRgbF(float(text.redF() * a + background.redF() * (1 - a)),
                             float(text.greenF() * a + background.greenF() * (1 - a)),
                             float(text.blueF() * a + background.blueF() * (1 - a)));
        const double lt = luminance(seen);
        const double lb = luminance(background);
        const double ratio = (std::max(lt, lb) + 0.05) / (std::min(lt, lb) + 0.05);
        if (ratio < 4.5) {
            unreadable << QStringLiteral("%1 (%2:1)").arg(label->text()).arg(ratio, 0, 'f', 2);
        }
    }
    return unreadable;
}

// A desktop theme's palette: window and text colours, with the translucent placeholder text
// Qt derives from them.
QPalette themePalette(const QColor& window, const QColor& text) {
    QPalette palette(text, window, window.lighter(), window.darker(), window.darker(120), text,
                     text, window, window);
    QColor placeholder = text;
    placeholder.setAlpha(128);
    palette.setColor(QPalette::PlaceholderText, placeholder);
    return palette;
}

// Puts the application's palette back however the test ends.
struct PaletteGuard {
    QPalette saved = QApplication::palette();
    ~PaletteGuard() { QApplication::setPalette(saved); }
};

} // namespace

Q_DECLARE_METATYPE(QPalette)

class WelcomeTest : public QObject {
    Q_OBJECT

private slots:
    void contentFollowsTheState_data() {
        QTest::addColumn<GateSnapshot>("state");
        QTest::addColumn<WelcomeContent>("content");
        QTest::addColumn<PlaceWords>("words");
        const QList<Row> signedOutRows{kSignedOut, kGateStopped, kNoPairing, kNoAgent};
        const QString signIn = QStringLiteral("Sign in with Google");
        const GateSnapshot out;
        const PlaceWords onLinux = PlaceWords::linuxDesktop();

        QTest::newRow("signed out, nothing found")
            << out << expected(signedOutRows, NextStep::SignIn, signIn, true) << onLinux;
        QTest::newRow("signing in")
            << with(out, [](GateSnapshot& s) { s.signingIn = true; })
            << expected(signedOutRows, NextStep::SignIn, QStringLiteral("Signing in…"), false)
            << onLinux;
        QTest::newRow("signed in, no user id")
            << signedIn()
            << expected({kSignedIn, kGateRunning, kPairing, kNoAgent}, NextStep::AllSet, kAllSet,
                        true)
            << onLinux;
        const GateSnapshot detected = with(signedIn(), [](GateSnapshot& s) {
            s.accountUserId = QStringLiteral("user-7");
            s.detectedAgents = {QStringLiteral("Claude Code"), QStringLiteral("Codex")};
        });
        const QList<Row> detectedRows{{true, QStringLiteral("Signed in: user-7")},
                                      kGateRunning,
                                      kPairing,
                                      {true, QStringLiteral("Agent detected: Claude Code, Codex")}};
        const auto withRow = [&detectedRows](bool done, const QString& text) {
            return expected(detectedRows + QList{Row{done, text}}, NextStep::AllSet, kAllSet, true);
        };
        QTest::newRow("registering")
            << detected << withRow(false, QStringLiteral("Registering your agent to Kestrova…"))
            << onLinux;
        QTest::newRow("registered two")
            << with(detected,
                    [](GateSnapshot& s) {
                        s.registeredAgents = {QStringLiteral("a"), QStringLiteral("b")};
                        s.registrationError = QStringLiteral("Codex: refused");
                    })
            << withRow(true, QStringLiteral("Added to your Kestrova account: a, b")) << onLinux;
        QTest::newRow("both failed")
            << with(detected,
                    [](GateSnapshot& s) {
                        s.registrationError = QStringLiteral("Relay sign-in failed (401): nope");
                    })
            << withRow(false, QStringLiteral(
                                  "Couldn't register agent yet: Relay sign-in failed (401): nope"))
            << onLinux;

        QTest::newRow("existing gate, own not running")
            << with(signedIn(false), [](GateSnapshot& s) { s.useExistingGate = true; })
            << expected(
                   {kSignedIn, {true, QStringLiteral("Using existing gate")}, kPairing, kNoAgent},
                   NextStep::AllSet, kAllSet, true)
            << onLinux;
        QTest::newRow("signed in, gate stopped")
            << signedIn(false)
            << expected({kSignedIn, kGateStopped, kPairing, kNoAgent}, NextStep::StartHelper,
                        QStringLiteral("Start the helper"), true)
            << onLinux;
        QTest::newRow("signed out with an agent: nothing to register")
            << with(out, [](GateSnapshot& s) { s.detectedAgents = {QStringLiteral("Codex")}; })
            << expected({kSignedOut,
                         kGateStopped,
                         kNoPairing,
                         {true, QStringLiteral("Agent detected: Codex")}},
                        NextStep::SignIn, signIn, true)
            << onLinux;
        QTest::newRow("error") << with(out,
                                       [](GateSnapshot& s) { s.lastError = QStringLiteral("x"); })
                               << expected(signedOutRows, NextStep::SignIn, signIn, true,
                                           QStringLiteral("⚠︎ x"))
                               << onLinux;

        // A Mac build keeps its own words, in every text that names the place.
        WelcomeContent onAMac = expected(
            {kSignedIn,
             kGateRunning,
             kPairing,
             {false, QStringLiteral("No coding agent detected on this Mac")}},
            NextStep::AllSet,
            QStringLiteral("You're set. Pair your phone from the menu-bar icon (top-right) > "
                           "\"Show pairing QR\"."),
            true);
        onAMac.header = QStringLiteral("This Mac helper connects your coding agents to Kestrova, "
                                       "so agent approvals show up on your phone - no terminal "
                                       "needed.");
        onAMac.closingNote = QStringLiteral(
            "Kestrova keeps running in your menu bar (top-right). Closing this window won't quit "
            "it - reopen it any time from the menu-bar icon > \"Show Kestrova\".");
        QTest::newRow("macOS words") << signedIn() << onAMac << PlaceWords::macOS();
    }

    void contentFollowsTheState() {
        QFETCH(GateSnapshot, state);
        QFETCH(WelcomeContent, content);
        QFETCH(PlaceWords, words);
        const WelcomeContent actual = WelcomeContent::of(state, words);
        QCOMPARE(actual.header, content.header);
        QCOMPARE(actual.rows, content.rows);
        QCOMPARE(actual.warning, content.warning);
        QCOMPARE(actual.nextStep, content.nextStep);
        QCOMPARE(actual.nextStepText, content.nextStepText);
        QCOMPARE(actual.nextStepEnabled, content.nextStepEnabled);
        QCOMPARE(actual.closingNote, content.closingNote);
    }

    void everyTextReadsInLightAndDark_data() {
        QTest::addColumn<QPalette>("first");
        QTest::addColumn<QPalette>("then");
        const QPalette light = themePalette(QColor(0xEF, 0xEF, 0xEF), Qt::black);
        const QPalette dark = themePalette(QColor(0x20, 0x23, 0x26), QColor(0xFC, 0xFC, 0xFC));
        QTest::newRow("light, then dark") << light << dark;
        QTest::newRow("dark, then light") << dark << light;
    }

    // Secondary, warning and error texts in all three windows, in one theme and again after the
    // desktop switched to the other while the windows were open.
    void everyTextReadsInLightAndDark() {
        QFETCH(QPalette, first);
        QFETCH(QPalette, then);
        const PaletteGuard guard;
        QApplication::setPalette(first);
        TestHome home;
        GateController gate(home.environment());
        QTRY_VERIFY(!gate.lastChecked().isEmpty());
        gate.chooseOwnGate(); // signed out: a warning, and an error line in diagnostics
        RecordedSite recorded;
        WelcomeWindow welcome(gate, recorded.site);
        welcome.setTrayMissing(true);
        DiagnosticsWindow diagnostics(gate);
        PairingWindow pairing(gate, recorded.site);
        const QList<QWidget*> windows{&welcome, &diagnostics, &pairing};
        QVERIFY(visibleLabel(welcome,
                             QStringLiteral("⚠︎ Sign in first to start local approvals.")));

        for (QWidget* window : windows) {
            // Shown: a theme change reaches the windows on screen.
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window));
            // And each has the application's icon, not the platform's blank one.
            QVERIFY(!window->windowIcon().pixmap(32).isNull());
            QCOMPARE(unreadableTexts(*window), QStringList());
        }
        QApplication::setPalette(then);
        for (QWidget* window : windows) {
            QTRY_COMPARE(window->palette().color(QPalette::Window), then.color(QPalette::Window));
            QCOMPARE(unreadableTexts(*window), QStringList());
        }
    }

    void signedOutWindowSignsInAndFollowsTheController() {
        TestHome home;
        auto sheet = std::make_shared<CancellingSheet>();
        GateEnvironment environment = home.environment();
        environment.signInSheet = sheet;
        environment.google = {.clientId = QStringLiteral("test-client"),
                              .authorizationUrl = QUrl(QStringLiteral("http://127.0.0.1:9/auth")),
                              .tokenUrl = QUrl(QStringLiteral("http://127.0.0.1:9/token"))};
        GateController gate(environment);
        QTRY_VERIFY(!gate.lastChecked().isEmpty());
        RecordedSite recorded;
        WelcomeWindow window(gate, recorded.site);
        QCOMPARE(window.windowTitle(), QStringLiteral("Kestrova"));

        // Showing the window probes again: an agent installed since shows up without a click.
        home.makeFile(QStringLiteral("usr/bin/claude"), "#!/bin/sh\n", true);
        QSignalSpy changed(&gate, &GateController::changed);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QVERIFY(!changed.isEmpty());
        QVERIFY(visibleLabel(window, QStringLiteral("Agent detected: Claude Code")));
        QVERIFY(visibleLabel(window, kHeader));
        QVERIFY(visibleLabel(window, kClosingNote));
        QLabel* account = visibleLabel(window, QStringLiteral("Not signed in yet"));
        QVERIFY(account);
        QCOMPARE(account->accessibleName(), QStringLiteral("Not signed in yet (not done)"));
        QCOMPARE(window.width(), 440);

        // Return presses the next step, which holds the focus.
        QPushButton* signIn = visibleButton(window, QStringLiteral("Sign in with Google"));
        QVERIFY(signIn);
        QCOMPARE(signIn->accessibleName(), QStringLiteral("Sign in with Google"));
        QTRY_COMPARE(QApplication::focusWidget(), signIn);
        QTest::keyClick(window.windowHandle(), Qt::Key_Return);
        QCOMPARE(sheet->presented, 1);
        QTRY_VERIFY(!gate.signingIn());
        // Cancelled: the button is back, holding the focus again.
        QTRY_COMPARE(QApplication::focusWidget(), signIn);
        QTest::keyClick(window.windowHandle(), Qt::Key_Return);
        QCOMPARE(sheet->presented, 2);
        QTRY_VERIFY(!gate.signingIn());

        QPushButton* instructions = visibleButton(window, QStringLiteral("Setup instructions"));
        QVERIFY(instructions);
        instructions->click();
        QCOMPARE(*recorded.opened, QList{QUrl(QStringLiteral("https://kestrova.test/download"))});

        // The window follows changed() while open, and its height follows the new text.
        const QString warning = QStringLiteral("⚠︎ Sign in first to start local approvals.");
        QVERIFY(!visibleLabel(window, warning));
        const int heightBefore = window.height();
        gate.chooseOwnGate();
        QVERIFY(visibleLabel(window, warning));
        QCOMPARE(window.width(), 440);
        QTRY_VERIFY(window.height() > heightBefore);

        // Escape closes the window, which only hides it.
        QTest::keyClick(window.windowHandle(), Qt::Key_Escape);
        QTRY_VERIFY(!window.isVisible());
    }
};

QTEST_MAIN(WelcomeTest)
#include "tst_welcome.moc"
