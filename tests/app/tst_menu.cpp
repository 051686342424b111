#include "app/MenuModel.h"
#include "app/TrayMenu.h"
#include "app/WindowManager.h"
#include "gate/GateController.h"
#include "support/TestHome.h"

#include <QLabel>
#include <QTest>

Q_DECLARE_METATYPE(GateSnapshot)

namespace {

// One entry per string: "-" a separator, "i:" an information line, "c:" an enabled command,
// "d:" a disabled one, "x:" / "X:" the check entry without / with its mark.
QStringList describe(const QList<MenuEntry>& entries) {
    QStringList lines;
    for (const MenuEntry& entry : entries) {
        switch (entry.kind) {
        case MenuEntry::Kind::Separator:
            lines << QStringLiteral("-");
            break;
        case MenuEntry::Kind::Info:
            lines << QStringLiteral("i:") + entry.text;
            break;
        case MenuEntry::Kind::Command:
            lines << (entry.enabled ? QStringLiteral("c:") : QStringLiteral("d:")) + entry.text;
            break;
        case MenuEntry::Kind::Check:
            lines << (entry.checked ? QStringLiteral("X:") : QStringLiteral("x:")) + entry.text;
            break;
        }
    }
    return lines;
}

// The same notation read off a real QMenu, where an information line is a disabled action.
QStringList asShownInMenu(QStringList lines) {
    for (QString& line : lines) {
        if (line.startsWith(u"i:")) {
            line.replace(0, 2, QStringLiteral("d:"));
        }
    }
    return lines;
}

QStringList describe(const QMenu& menu) {
    QStringList lines;
    for (const QAction* action : menu.actions()) {
        if (action->isSeparator()) {
            lines << QStringLiteral("-");
        } else if (action->isCheckable()) {
            lines << (action->isChecked() ? QStringLiteral("X:") : QStringLiteral("x:")) +
                         action->text();
        } else {
            lines << (action->isEnabled() ? QStringLiteral("c:") : QStringLiteral("d:")) +
                         action->text();
        }
    }
    return lines;
}

// The bottom of every menu, after the gate lines.
const QStringList tail{"c:Refresh status",
                       "c:Show pairing QR…",
                       "c:Diagnostics…",
                       "-",
                       "x:Start at login",
                       "c:Open kestrova.example",
                       "-",
                       "c:Quit Kestrova Helper"};

QAction* actionNamed(QMenu& menu, const QString& text) {
    for (QAction* action : menu.actions()) {
        if (action->text() == text) {
            return action;
        }
    }
    return nullptr;
}

} // namespace

class MenuTest : public QObject {
    Q_OBJECT

private slots:
    void entriesPerState_data() {
        QTest::addColumn<GateSnapshot>("state");
        QTest::addColumn<QStringList>("expected");

        const GateSnapshot signedOut;
        QTest::newRow("signed out") << signedOut
                                    << QStringList{"i:Not signed in",
                                                   "-",
                                                   "c:Show Kestrova",
                                                   "-",
                                                   "c:Sign in with Google",
                                                   "-",
                                                   "i:Local gate: stopped",
                                                   "d:Start local gate",
                                                   "i:Existing dev gate (:8788): none"} +
                                           tail;

        GateSnapshot signingIn;
        signingIn.signingIn = true;
        QTest::newRow("signing in") << signingIn
                                    << QStringList{"i:Signing in…",
                                                   "-",
                                                   "c:Show Kestrova",
                                                   "-",
                                                   "d:Signing in…",
                                                   "-",
                                                   "i:Local gate: stopped",
                                                   "d:Start local gate",
                                                   "i:Existing dev gate (:8788): none"} +
                                           tail;

        GateSnapshot signedIn;
        signedIn.signedIn = true;
        signedIn.accountUserId = QStringLiteral("usr_1");
        signedIn.personalRoom = QStringLiteral("room-1");
        QTest::newRow("signed in with room") << signedIn
                                             << QStringList{"i:Signed in: usr_1",
                                                            "i:Room: room-1",
                                                            "-",
                                                            "c:Show Kestrova",
                                                            "-",
                                                            "c:Sign out",
                                                            "-",
                                                            "i:Local gate: stopped",
                                                            "c:Start local gate",
                                                            "i:Existing dev gate (:8788): none"} +
                                                    tail;

        GateSnapshot noRoom = signedIn;
        noRoom.personalRoom = QString();
        noRoom.lastError = QStringLiteral("Node.js not found (install Node, then retry).");
        QTest::newRow("signed in, empty room, error shown")
            << noRoom
            << QStringList{"i:Signed in: usr_1",
                           "i:⚠︎ Node.js not found (install Node, then retry).",
                           "-",
                           "c:Show Kestrova",
                           "-",
                           "c:Sign out",
                           "-",
                           "i:Local gate: stopped",
                           "c:Start local gate",
                           "i:Existing dev gate (:8788): none"} +
                   tail;

        GateSnapshot running = signedIn;
        running.personalRoom.reset();
        running.helperRunning = true;
        running.existingGateDetected = true;
        running.lastError = QString();
        QTest::newRow("own gate running, existing gate not offered")
            << running
            << QStringList{"i:Signed in: usr_1",
                           "-",
                           "c:Show Kestrova",
                           "-",
                           "c:Sign out",
                           "-",
                           "i:Local gate: running (:8789)",
                           "c:Stop local gate",
                           "i:Existing dev gate (:8788): detected"} +
                   tail;

        GateSnapshot detected = signedOut;
        detected.existingGateDetected = true;
        QTest::newRow("existing gate detected")
            << detected
            << QStringList{"i:Not signed in",
                           "-",
                           "c:Show Kestrova",
                           "-",
                           "c:Sign in with Google",
                           "-",
                           "i:Local gate: stopped",
                           "d:Start local gate",
                           "i:Existing dev gate (:8788): detected",
                           "c:Use that existing gate instead"} +
                   tail;

        GateSnapshot chosen = detected;
        chosen.useExistingGate = true;
        QTest::newRow("existing gate chosen")
            << chosen
            << QStringList{"i:Not signed in",
                           "-",
                           "c:Show Kestrova",
                           "-",
                           "c:Sign in with Google",
                           "-",
                           "i:Local gate: using existing (:8788)",
                           "c:Run my own gate instead",
                           "i:Existing dev gate (:8788): detected"} +
                   tail;

        GateSnapshot keyWithoutUser;
        keyWithoutUser.signedIn = true;
        keyWithoutUser.accountUserId = QString();
        keyWithoutUser.launchAtLogin = true;
        QStringList checkedTail = tail;
        checkedTail[4] = QStringLiteral("X:Start at login");
        QTest::newRow("stored key, empty user id, start at login on")
            << keyWithoutUser
            << QStringList{"i:Not signed in",
                           "-",
                           "c:Show Kestrova",
                           "-",
                           "c:Sign out",
                           "-",
                           "i:Local gate: stopped",
                           "c:Start local gate",
                           "i:Existing dev gate (:8788): none"} +
                   checkedTail;
    }

    void entriesPerState() {
        QFETCH(GateSnapshot, state);
        QFETCH(QStringList, expected);
        QCOMPARE(describe(MenuModel::entries(state, QStringLiteral("kestrova.example"))), expected);
    }

    // The real menu follows the controller on every change, and its commands reach it.
    void theTrayMenuFollowsTheController() {
        const TestHome home;
        GateController gate(home.environment());
        const WebSite site{QUrl(QStringLiteral("https://kestrova.example")), {}};
        WindowManager windows(gate, site);
        TrayMenu tray(gate, windows, site);
        QCOMPARE(
            describe(tray.menu()),
            asShownInMenu(describe(MenuModel::entries(GateSnapshot::of(gate), site.hostName()))));

        QAction* startAtLogin = actionNamed(tray.menu(), QStringLiteral("Start at login"));
        QVERIFY(startAtLogin);
        startAtLogin->trigger();
        QTRY_VERIFY(gate.launchAtLogin());
        QTRY_VERIFY(actionNamed(tray.menu(), QStringLiteral("Start at login"))->isChecked());

        home.loginItem->failure = QStringLiteral("Permission denied");
        actionNamed(tray.menu(), QStringLiteral("Start at login"))->trigger();
        QTRY_VERIFY(
            actionNamed(tray.menu(), QStringLiteral("⚠︎ Start at login: Permission denied")));
        QVERIFY2(actionNamed(tray.menu(), QStringLiteral("Start at login"))->isChecked(),
                 "a refused change leaves the mark as the service has it");

        actionNamed(tray.menu(), QStringLiteral("Show pairing QR…"))->trigger();
        QTRY_VERIFY(windows.window(QStringLiteral("pairing")));
        QWidget* pairing = windows.window(QStringLiteral("pairing"));
        QTRY_VERIFY(pairing->isVisible());
        actionNamed(tray.menu(), QStringLiteral("Show pairing QR…"))->trigger();
        QTest::qWait(50);
        QCOMPARE(windows.window(QStringLiteral("pairing")), pairing);
    }

    void theWelcomeWindowIsCentredOnceAndKeepsItsPlace() {
        const TestHome home;
        GateController gate(home.environment());
        WindowManager windows(gate, WebSite{QUrl(QStringLiteral("https://kestrova.example")), {}});
        windows.showWelcome();
        QWidget* welcome = windows.window(QStringLiteral("welcome"));
        QVERIFY(welcome && welcome->isVisible());
        welcome->close();
        welcome->move(17, 23);
        windows.showWelcome();
        QCOMPARE(windows.window(QStringLiteral("welcome")), welcome);
        QVERIFY(welcome->isVisible());
        QCOMPARE(welcome->pos(), QPoint(17, 23));
    }

    void aMissingTrayIsExplainedInTheWelcomeWindow() {
        const TestHome home;
        GateController gate(home.environment());
        WindowManager windows(gate, WebSite{QUrl(QStringLiteral("https://kestrova.example")), {}});
        windows.showWelcome();
        const auto noteShown = [&windows] {
            for (const QLabel* label :
                 windows.window(QStringLiteral("welcome"))->findChildren<QLabel*>()) {
                if (label->isVisible() && label->text().contains(u"no system tray")) {
                    return true;
                }
            }
            return false;
        };
        QVERIFY(!noteShown());
        windows.window(QStringLiteral("welcome"))->close();
        windows.reportMissingTray();
        QVERIFY(windows.window(QStringLiteral("welcome"))->isVisible());
        QVERIFY(noteShown());
    }
};

QTEST_MAIN(MenuTest)
#include "tst_menu.moc"
