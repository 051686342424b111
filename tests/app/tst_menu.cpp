#include "app/MenuActions.h"
#include "app/MenuModel.h"
#include "app/TrayMenu.h"
#include "app/WindowManager.h"
#include "gate/GateController.h"
#include "support/StubHttpServer.h"
#include "support/TestHome.h"

#include <QPushButton>
#include <QTest>

#include <functional>

Q_DECLARE_METATYPE(GateSnapshot)
Q_DECLARE_METATYPE(QList<WaitingRequest>)

namespace {

// One entry per line as the menu shows it, joined by "|": "-" a separator, "i:" information,
// "c:" / "d:" an enabled / disabled command, "x:" / "X:" the check entry without / with its mark.
QString describe(const QList<MenuEntry>& entries) {
    QStringList lines;
    for (const MenuEntry& entry : entries) {
        using enum MenuEntry::Kind;
        const char* kind = entry.kind == Info      ? "i:"
                           : entry.kind == Command ? (entry.enabled ? "c:" : "d:")
                                                   : (entry.checked ? "X:" : "x:");
        lines << (entry.kind == Separator ? QStringLiteral("-")
                                          : QString::fromLatin1(kind) + entry.shownText());
    }
    return lines.join(u'|');
}

// The menu's last entries, then the tray icon: its symbol, a badge or none, and its tool tip.
QString tail(const char* icon, bool startAtLogin = false) {
    return QStringLiteral("|c:Refresh status|c:Show pairing QR…|c:Diagnostics…|c:History…|-|") +
           (startAtLogin ? u'X' : u'x') +
           QStringLiteral(":Start at login|c:Open kestrova.example|-|c:Quit Kestrova Helper|") +
           QString::fromUtf8(icon);
}
const char* const kStopped = "shield.lefthalf.filled||Kestrova Helper";

QAction* actionNamed(QMenu& menu, const QString& text) {
    const QList<QAction*> actions = menu.actions();
    const auto found = std::ranges::find(actions, text, &QAction::text);
    return found == actions.end() ? nullptr : *found;
}

// The program's tray and windows over a controller in a temporary home; prepare() runs on the
// home before the controller exists.
struct Desk {
    explicit Desk(const std::function<void(TestHome&)>& prepare)
        : gate((prepare(home), home.environmentWithDaemon())) {
        QObject::connect(&windows, &WindowManager::actionChosen, &actions, &MenuActions::perform);
        QObject::connect(&actions, &MenuActions::quitRequested, [this] { quit = true; });
    }
    void choose(const QString& text) {
        // The menu is rebuilt from the controller's changes: wait for the entry to be offered.
        QAction* action = nullptr;
        if (QTest::qWaitFor([&] { return (action = actionNamed(tray.menu(), text)) != nullptr; })) {
            action->trigger();
        }
    }
    bool shown(const char* id) const {
        const QWidget* window = windows.window(QString::fromLatin1(id));
        return window && window->isVisible();
    }

    TestHome home;
    QList<QUrl> opened;
    WebSite site{QUrl(QStringLiteral("https://kestrova.example")),
                 [this](const QUrl& url) { opened << url; }};
    GateController gate;
    WindowManager windows{gate, site};
    MenuActions actions{gate, windows, site};
    TrayMenu tray{gate, windows, actions, site};
    std::unique_ptr<StubHttpServer> existingGate;
    bool quit = false;
};

void withExistingGate(Desk& desk) {
    desk.existingGate =
        std::make_unique<StubHttpServer>(desk.home.existingPort, StubHttpServer::Behaviour::Answer);
    desk.gate.refresh();
    QTRY_VERIFY(desk.gate.existingGateDetected());
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
        // The requests the open menu showed before the state came; none: the menu is closed.
        QTest::addColumn<QList<WaitingRequest>>("openWith");
        QTest::addColumn<QString>("expected");

        QTest::newRow("signing in, existing gate detected")
            << snapshot([](auto& s) { s.signingIn = s.existingGateDetected = true; })
            << QList<WaitingRequest>()
            << QStringLiteral("i:Signing in…|-|c:Show Kestrova|-|d:Signing in…|-|"
                              "i:Local gate: stopped|d:Start local gate|"
                              "i:Existing dev gate (:8788): detected|"
                              "c:Use that existing gate instead") +
                   tail(kStopped);
        // Shown literally, not as shortcuts; with the warning sign, 81 characters: one too many,
        // so the menu shows 79 and "…".
        const QString longError =
            QStringLiteral("Relay sign-in failed (502): ") + QString(50, u'x');
        QTest::newRow("signed in, start at login, ampersands, a long error")
            << snapshot([&longError](auto& s) {
                   s.accountUserId = QStringLiteral("R&D");
                   s.personalRoom = QStringLiteral("a&&b");
                   s.lastError = longError;
                   s.launchAtLogin = s.signedIn = true;
               })
            << QList<WaitingRequest>()
            << QStringLiteral("i:Signed in: R&&D|i:Room: a&&&&b|i:⚠︎ ") + longError.left(76) +
                   QStringLiteral("…|-|c:Show Kestrova|-|c:Sign out|-|i:Local gate: stopped|"
                                  "c:Start local gate|i:Existing dev gate (:8788): none") +
                   tail(kStopped, true);
        QTest::newRow("own gate running, answers unavailable: the existing one is not offered")
            << snapshot([](auto& s) {
                   s.helperRunning = s.existingGateDetected = s.signedIn = true;
                   s.accountUserId = QStringLiteral("usr_1");
                   s.answersUnavailable = QStringLiteral("the gate failed: HTTP 500");
               })
            << QList<WaitingRequest>()
            << QStringLiteral("i:Signed in: usr_1|-|c:Show Kestrova|-|c:Sign out|-|"
                              "i:Local gate: running (:8789)|"
                              "i:Answers on this desktop: unavailable (the gate failed: HTTP 500)|"
                              "c:Retry answers on this desktop|c:Stop local gate|"
                              "i:Existing dev gate (:8788): detected") +
                   tail("checkmark.shield.fill||Kestrova Helper");
        // The menu was open on r1 and r2: r1 ended on the phone and keeps its place, disabled,
        // the newcomer r3 goes last. Lines are elided like any other, how one ended is not; a
        // tab would start the shortcut's column. The session is offered with what it grants.
        const WaitingRequest r1{.id = QStringLiteral("r1"),
                                .agent = QStringLiteral("Codex"),
                                .title = QStringLiteral("Bash:\t") + QString(80, u'y')};
        const WaitingRequest r2{.id = QStringLiteral("r2"),
                                .title = QStringLiteral("R&D"),
                                .sessionOffer = true,
                                .grant = QStringLiteral("also: `rm -rf R&D` again")};
        const WaitingRequest r3{
            .id = QStringLiteral("r3"), .title = QStringLiteral("three"), .sessionOffer = true};
        QTest::newRow("open on two requests: one answered on the phone, a newcomer, a late answer")
            << snapshot([&](auto& s) {
                   s.waitingRequests = {r3, r2};
                   s.endedRequests = {{.id = QStringLiteral("r1"), .how = Ending::AnsweredOnPhone}};
                   s.decisionNotice = QStringLiteral("Too late");
               })
            << QList<WaitingRequest>{r1, r2}
            << QStringLiteral("i:2 requests waiting|i:Codex: Bash: ") + QString(66, u'y') +
                   QStringLiteral("… — answered on the phone|d:Approve|d:Deny|i:Agent: R&&D|"
                                  "c:Approve|c:Deny|c:Allow for this session|"
                                  "i:↳ also: `rm -rf R&&D` again|i:Agent: three|c:Approve|c:Deny|"
                                  "i:⚠︎ Too late|-|i:Not signed in|-|"
                                  "c:Show Kestrova|-|c:Sign in with Google|-|i:Local gate: stopped|"
                                  "d:Start local gate|i:Existing dev gate (:8788): none") +
                   tail("shield.lefthalf.filled|badge|Kestrova Helper: 2 requests waiting");
    }

    void entriesPerState() {
        QFETCH(GateSnapshot, state);
        QFETCH(QList<WaitingRequest>, openWith);
        const bool open = !openWith.isEmpty();
        const auto requests =
            RequestOrder::arrange(RequestOrder::arrange({}, openWith, {}, open),
                                  state.waitingRequests, state.endedRequests, open);
        const TrayLook icon = MenuModel::trayLook(state);
        QTEST(describe(MenuModel::entries(state, QStringLiteral("kestrova.example"), requests)) +
                  u'|' + icon.symbol + (icon.badge ? "|badge|" : "||") + icon.toolTip,
              "expected");
    }

    // Every command of the real menu reaches the operation its text promises.
    void eachCommandDoesWhatItSays() {
        struct Case {
            QString entry;
            std::function<bool(Desk&)> done;
            std::function<void(TestHome&)> prepare = [](TestHome&) {};
            std::function<void(Desk&)> before = [](Desk&) {};
        };
        const auto signedIn = [](TestHome& home) { home.signIn(); };
        const std::vector<Case> cases{
            {"Start local gate", [](Desk& d) { return d.gate.helperRunning(); }, signedIn},
            {"Stop local gate",
             [](Desk& d) { return !d.gate.helperRunning() && !d.gate.gateProcessId(); }, signedIn,
             [](Desk& d) {
                 d.gate.startHelperGate();
                 QTRY_VERIFY_WITH_TIMEOUT(d.gate.helperRunning(), 20000);
             }},
            {"Use that existing gate instead", [](Desk& d) { return d.gate.useExistingGate(); },
             [](TestHome&) {}, withExistingGate},
            {"Run my own gate instead", [](Desk& d) { return !d.gate.useExistingGate(); },
             [](TestHome& home) {
                 home.settings()->setBoolean(QString::fromLatin1(SettingsKeys::kUseExisting), true);
             }},
            {"Sign out", [](Desk& d) { return !d.gate.signedIn(); }, signedIn},
            {"Refresh status", [](Desk& d) { return !d.gate.existingGateDetected(); },
             [](TestHome&) {},
             [](Desk& d) {
                 withExistingGate(d);
                 d.existingGate.reset();
             }},
            {"Show Kestrova", [](Desk& d) { return d.shown("welcome"); }},
            {"Show pairing QR…", [](Desk& d) { return d.shown("pairing"); }},
            {"Diagnostics…", [](Desk& d) { return d.shown("diagnostics"); }},
            {"History…", [](Desk& d) { return d.shown("history"); }},
            {"Start at login", [](Desk& d) { return d.home.loginItem->registered; }},
            {"Open kestrova.example", [](Desk& d) { return d.opened == QList{d.site.baseUrl}; }},
            {"Quit Kestrova Helper", [](Desk& d) { return d.quit; }},
        };
        for (const Case& test : cases) {
            Desk desk(test.prepare);
            test.before(desk);
            desk.choose(test.entry);
            QVERIFY2(QTest::qWaitFor([&] { return test.done(desk); }, 10000),
                     qPrintable(test.entry));
        }
    }

    // With no tray to hold the menu, the welcome window offers its commands, and they work;
    // once a tray comes, the window drops them.
    void withoutATrayTheWelcomeWindowOffersTheMenu() {
        Desk desk([](TestHome& home) { home.signIn(); });
        desk.windows.reportMissingTray();
        QWidget* welcome = desk.windows.window(QStringLiteral("welcome"));
        // The window's buttons with that text that the user can see.
        const auto offered = [welcome](const QString& text) {
            QList<QPushButton*> buttons = welcome->findChildren<QPushButton*>();
            buttons.removeIf(
                [&](auto* b) { return b->text() != text || !b->isVisibleTo(welcome); });
            return buttons;
        };
        // Once each: the window's own buttons start the gate and refresh.
        for (const char* command : {"Sign out", "Show pairing QR…", "Diagnostics…",
                                    "Quit Kestrova Helper", "Start the helper", "Refresh status"}) {
            QVERIFY2(offered(QString::fromUtf8(command)).size() == 1, command);
        }
        QVERIFY(offered(QStringLiteral("Start local gate")).isEmpty());
        offered(QStringLiteral("Diagnostics…")).first()->click();
        QTRY_VERIFY(desk.shown("diagnostics"));
        desk.windows.setTrayAvailable(true);
        QVERIFY(offered(QStringLiteral("Sign out")).isEmpty());
    }
};

QTEST_MAIN(MenuTest)
#include "tst_menu.moc"
