#include "app/MenuActions.h"
#include "app/MenuModel.h"
#include "app/TrayMenu.h"
#include "app/WindowManager.h"
#include "gate/GateController.h"
#include "support/StubHttpServer.h"
#include "support/TestHome.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <functional>

Q_DECLARE_METATYPE(GateSnapshot)

using namespace std::chrono_literals;

namespace {

// One entry per line as the menu shows it, joined by "|": "-" a separator, "i:" information,
// "c:" an enabled command, "d:" a disabled one, "x:" / "X:" the check entry without / with its
// mark.
QString describe(const QList<MenuEntry>& entries) {
    QStringList lines;
    for (const MenuEntry& entry : entries) {
        switch (entry.kind) {
        case MenuEntry::Kind::Separator:
            lines << QStringLiteral("-");
            break;
        case MenuEntry::Kind::Info:
            lines << QStringLiteral("i:") + entry.shownText();
            break;
        case MenuEntry::Kind::Command:
            lines << (entry.enabled ? QStringLiteral("c:") : QStringLiteral("d:")) +
                         entry.shownText();
            break;
        case MenuEntry::Kind::Check:
            lines << (entry.checked ? QStringLiteral("X:") : QStringLiteral("x:")) +
                         entry.shownText();
            break;
        }
    }
    return lines.join(u'|');
}

const QString tail = QStringLiteral("|c:Refresh status|c:Show pairing QR…|c:Diagnostics…|-|"
                                    "x:Start at login|c:Open kestrova.example|-|"
                                    "c:Quit Kestrova Helper");

QAction* actionNamed(QMenu& menu, const QString& text) {
    for (QAction* action : menu.actions()) {
        if (action->text() == text) {
            return action;
        }
    }
    return nullptr;
}

// The program's tray and windows over a controller in a temporary home; prepare() runs on the
// home before the controller exists.
struct Desk {
    explicit Desk(const std::function<void(TestHome&)>& prepare) {
        prepare(home);
        gate = std::make_unique<GateController>(home.environmentWithDaemon());
        windows = std::make_unique<WindowManager>(*gate, site);
        actions = std::make_unique<MenuActions>(*gate, *windows, site);
        QObject::connect(windows.get(), &WindowManager::actionChosen, actions.get(),
                         &MenuActions::perform);
        tray = std::make_unique<TrayMenu>(*gate, *windows, *actions, site);
    }
    ~Desk() {
        if (const auto pid = gate->gateProcessId()) {
            killProcess(*pid);
        }
    }
    Desk(const Desk&) = delete;
    Desk& operator=(const Desk&) = delete;

    bool choose(const QString& text) {
        // The menu is rebuilt from the controller's changes: wait for the entry to be offered.
        QAction* action = nullptr;
        if (!QTest::qWaitFor(
                [&] { return (action = actionNamed(tray->menu(), text)) != nullptr; }) ||
            !action->isEnabled()) {
            return false;
        }
        action->trigger();
        return true;
    }
    bool shown(const QString& id) const {
        const QWidget* window = windows->window(id);
        return window && window->isVisible();
    }

    TestHome home;
    QList<QUrl> opened;
    WebSite site{QUrl(QStringLiteral("https://kestrova.example")),
                 [this](const QUrl& url) { opened << url; }};
    std::unique_ptr<GateController> gate;
    std::unique_ptr<WindowManager> windows;
    std::unique_ptr<MenuActions> actions;
    std::unique_ptr<TrayMenu> tray;
    std::unique_ptr<StubHttpServer> existingGate;
};

void signedIn(TestHome& home) {
    home.signIn();
}

void withExistingGate(Desk& desk) {
    desk.existingGate =
        std::make_unique<StubHttpServer>(desk.home.existingPort, StubHttpServer::Behaviour::Answer);
    desk.gate->refresh();
    QTRY_VERIFY(desk.gate->existingGateDetected());
}

GateSnapshot snapshot(const std::function<void(GateSnapshot&)>& fill) {
    GateSnapshot state;
    fill(state);
    return state;
}

} // namespace

class MenuTest : public QObject {
    Q_OBJECT

private slots:
    void entriesPerState_data() {
        QTest::addColumn<GateSnapshot>("state");
        QTest::addColumn<QString>("expected");

        QTest::newRow("signed out, existing gate detected")
            << snapshot([](auto& s) { s.existingGateDetected = true; })
            << QStringLiteral("i:Not signed in|-|c:Show Kestrova|-|c:Sign in with Google|-|"
                              "i:Local gate: stopped|d:Start local gate|"
                              "i:Existing dev gate (:8788): detected|"
                              "c:Use that existing gate instead") +
                   tail;
        QTest::newRow("signing in") << snapshot([](auto& s) { s.signingIn = true; })
                                    << QStringLiteral("i:Signing in…|-|c:Show Kestrova|-|"
                                                      "d:Signing in…|-|i:Local gate: stopped|"
                                                      "d:Start local gate|"
                                                      "i:Existing dev gate (:8788): none") +
                                           tail;
        QTest::newRow("signed in, error, start at login")
            << snapshot([](auto& s) {
                   s.accountUserId = QStringLiteral("usr_1");
                   s.personalRoom = QStringLiteral("room-1");
                   s.lastError = QStringLiteral("Node.js not found.");
                   s.launchAtLogin = s.signedIn = true;
               })
            << QStringLiteral("i:Signed in: usr_1|i:Room: room-1|i:⚠︎ Node.js not found.|-|"
                              "c:Show Kestrova|-|c:Sign out|-|i:Local gate: stopped|"
                              "c:Start local gate|i:Existing dev gate (:8788): none|"
                              "c:Refresh status|c:Show pairing QR…|c:Diagnostics…|-|"
                              "X:Start at login|c:Open kestrova.example|-|"
                              "c:Quit Kestrova Helper");
        QTest::newRow("own gate running: the existing one is not offered")
            << snapshot([](auto& s) {
                   s.helperRunning = s.existingGateDetected = s.signedIn = true;
                   s.accountUserId = QStringLiteral("usr_1");
               })
            << QStringLiteral("i:Signed in: usr_1|-|c:Show Kestrova|-|c:Sign out|-|"
                              "i:Local gate: running (:8789)|c:Stop local gate|"
                              "i:Existing dev gate (:8788): detected") +
                   tail;
        QTest::newRow("existing gate in use")
            << snapshot([](auto& s) { s.existingGateDetected = s.useExistingGate = true; })
            << QStringLiteral("i:Not signed in|-|c:Show Kestrova|-|c:Sign in with Google|-|"
                              "i:Local gate: using existing (:8788)|c:Run my own gate instead|"
                              "i:Existing dev gate (:8788): detected") +
                   tail;
        // With the warning sign, 81 characters: one too many, so the menu shows 79 and "…".
        const QString longError =
            QStringLiteral("Relay sign-in failed (502): ") + QString(50, u'x');
        QTest::newRow("ampersands, a long error")
            << snapshot([&longError](auto& s) {
                   s.accountUserId = QStringLiteral("R&D");
                   s.personalRoom = QStringLiteral("a&&b");
                   s.lastError = longError;
               })
            << QStringLiteral("i:Signed in: R&&D|i:Room: a&&&&b|i:⚠︎ ") + longError.left(76) +
                   QStringLiteral("…|-|c:Show Kestrova|-|c:Sign in with Google|-|"
                                  "i:Local gate: stopped|d:Start local gate|"
                                  "i:Existing dev gate (:8788): none") +
                   tail;
        QTest::newRow("a line of 80 characters is whole")
            << snapshot([](auto& s) { s.lastError = QString(77, u'e'); })
            << QStringLiteral("i:Not signed in|i:⚠︎ ") + QString(77, u'e') +
                   QStringLiteral("|-|c:Show Kestrova|-|c:Sign in with Google|-|"
                                  "i:Local gate: stopped|d:Start local gate|"
                                  "i:Existing dev gate (:8788): none") +
                   tail;
    }

    void entriesPerState() {
        QFETCH(GateSnapshot, state);
        QFETCH(QString, expected);
        QCOMPARE(describe(MenuModel::entries(state, QStringLiteral("kestrova.example"))), expected);
    }

    // Every command of the real menu reaches the operation its text promises.
    void eachCommandDoesWhatItSays() {
        struct Case {
            QString entry;
            std::function<void(TestHome&)> prepare;
            std::function<void(Desk&)> before;
            std::function<bool(Desk&)> done;
        };
        const auto nothing = [](auto&) {};
        const std::vector<Case> cases{
            {"Start local gate", signedIn, nothing,
             [](Desk& desk) { return desk.gate->helperRunning(); }},
            {"Stop local gate", signedIn,
             [](Desk& desk) {
                 desk.gate->startHelperGate();
                 QTRY_VERIFY_WITH_TIMEOUT(desk.gate->helperRunning(), 20000);
             },
             [](Desk& desk) { return !desk.gate->helperRunning() && !desk.gate->gateProcessId(); }},
            {"Use that existing gate instead", nothing, withExistingGate,
             [](Desk& desk) { return desk.gate->useExistingGate(); }},
            {"Run my own gate instead",
             [](TestHome& home) {
                 home.settings()->setBoolean(QString::fromLatin1(SettingsKeys::kUseExisting), true);
             },
             nothing, [](Desk& desk) { return !desk.gate->useExistingGate(); }},
            {"Sign out", signedIn, nothing, [](Desk& desk) { return !desk.gate->signedIn(); }},
            {"Refresh status", nothing,
             [](Desk& desk) {
                 withExistingGate(desk);
                 desk.existingGate.reset();
             },
             [](Desk& desk) { return !desk.gate->existingGateDetected(); }},
            {"Show Kestrova", nothing, nothing,
             [](Desk& desk) { return desk.shown(QStringLiteral("welcome")); }},
            {"Show pairing QR…", nothing, nothing,
             [](Desk& desk) { return desk.shown(QStringLiteral("pairing")); }},
            {"Diagnostics…", nothing, nothing,
             [](Desk& desk) { return desk.shown(QStringLiteral("diagnostics")); }},
            {"Start at login", nothing, nothing,
             [](Desk& desk) { return desk.home.loginItem->registered; }},
            {"Open kestrova.example", nothing, nothing,
             [](Desk& desk) { return desk.opened == QList{desk.site.baseUrl}; }},
        };
        for (const Case& test : cases) {
            Desk desk(test.prepare);
            test.before(desk);
            QVERIFY2(desk.choose(test.entry), qPrintable(test.entry));
            QVERIFY2(QTest::qWaitFor([&] { return test.done(desk); }, 10000),
                     qPrintable(test.entry));
            QVERIFY2(!desk.shown(QStringLiteral("pairing")) ||
                         test.entry == QStringLiteral("Show pairing QR…"),
                     qPrintable(test.entry + QStringLiteral(" opened the pairing window")));
        }
        Desk desk(nothing);
        QSignalSpy quit(desk.actions.get(), &MenuActions::quitRequested);
        QVERIFY(desk.choose(QStringLiteral("Quit Kestrova Helper")));
        QTRY_COMPARE(quit.size(), 1);
    }

    // With no tray to hold the menu, the welcome window offers its commands, and they work;
    // once a tray comes, the window drops them.
    void withoutATrayTheWelcomeWindowOffersTheMenu() {
        Desk desk([](TestHome& home) { home.signIn(); });
        desk.windows->reportMissingTray();
        QWidget* welcome = desk.windows->window(QStringLiteral("welcome"));
        const auto offered = [welcome](const QString& text) -> QPushButton* {
            for (QPushButton* button : welcome->findChildren<QPushButton*>()) {
                if (button->text() == text && button->isVisibleTo(welcome)) {
                    return button;
                }
            }
            return nullptr;
        };
        for (const char* command : {"Sign out", "Start local gate", "Show pairing QR…",
                                    "Diagnostics…", "Quit Kestrova Helper"}) {
            QVERIFY2(offered(QString::fromUtf8(command)), command);
        }
        offered(QStringLiteral("Diagnostics…"))->click();
        QTRY_VERIFY(desk.shown(QStringLiteral("diagnostics")));
        desk.windows->setTrayAvailable(true);
        QVERIFY(!offered(QStringLiteral("Sign out")));
    }

    void theTrayIconFollowsTheGate() {
        Desk desk([](TestHome&) {});
        const QImage stopped = desk.tray->trayIcon().icon().pixmap(32).toImage();
        const StubHttpServer ownGate(desk.home.ownPort, StubHttpServer::Behaviour::Answer);
        desk.gate->refresh();
        QTRY_VERIFY(desk.gate->helperRunning());
        QVERIFY(desk.tray->trayIcon().icon().pixmap(32).toImage() != stopped);
    }
};

QTEST_MAIN(MenuTest)
#include "tst_menu.moc"
