#include "app/HistoryWindow.h"
#include "app/MenuActions.h"
#include "app/RequestsPanel.h"
#include "app/TrayMenu.h"
#include "app/WindowManager.h"
#include "gate/GateController.h"
#include "platform/UserDirs.h"
#include "support/Devstack.h"
#include "support/TestHome.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QPushButton>
#include <QTest>

namespace {

constexpr int kGateStartMs = 20000;

// An agent's hook waiting at the gate: the built `kestrova-hook claude-code`, on the home's socket.
class Hook {
public:
    Hook(const TestHome& home, const QString& what) {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.runtimeFolder());
        m_process.setProcessEnvironment(environment);
        m_process.start(QStringLiteral(KESTROVA_HOOK_BINARY), {QStringLiteral("claude-code")});
        const QJsonObject input{{"session_id", "s"},
                                {"cwd", home.home()},
                                {"hook_event_name", "PermissionRequest"},
                                {"tool_name", "Bash"},
                                {"tool_input", QJsonObject{{"command", what}}}};
        m_process.write(QJsonDocument(input).toJson());
        m_process.closeWriteChannel();
    }
    // What the hook prints for the agent, once the gate answered.
    QByteArray answer() const {
        return QTest::qWaitFor([this] { return m_process.state() == QProcess::NotRunning; }, 30000)
                   ? m_process.readAllStandardOutput()
                   : QByteArray("(still waiting)");
    }

private:
    mutable QProcess m_process;
};

// The id of the request about that command, once the controller lists it.
QString waitingId(const GateController& gate, const QString& what) {
    QString id;
    static_cast<void>(QTest::qWaitFor(
        [&] {
            for (const WaitingRequest& request : gate.waitingRequests()) {
                id = request.title.endsWith(what) ? request.id : id;
            }
            return !id.isEmpty();
        },
        15000));
    return id;
}

// Stands in for the gate on its socket, the real one moved aside: passes every connection on to
// it, or answers each with a failure of its own and drops those it passed on.
class SocketStandIn {
public:
    SocketStandIn()
        : m_path(QString::fromStdString(UserDirs::gateSocket().value_or(""))) {
        QFile::rename(m_path, m_path + QStringLiteral(".real"));
        m_server.listen(m_path);
        QObject::connect(&m_server, &QLocalServer::newConnection, &m_server, [this] {
            while (QLocalSocket* client = m_server.nextPendingConnection()) {
                m_failure.isEmpty() ? pass(client) : fail(client);
            }
        });
    }
    ~SocketStandIn() {
        m_server.close();
        QFile::rename(m_path + QStringLiteral(".real"), m_path);
    }
    // "HTTP/1.1 500 …" or the like; empty: passed on. The desktop's connections are cut, the
    // hooks' waits are not.
    void answer(const QByteArray& failure) {
        m_failure = failure;
        for (QLocalSocket* client :
             m_server.findChildren<QLocalSocket*>(Qt::FindDirectChildrenOnly)) {
            if (!client->property("hook").toBool()) {
                delete client;
            }
        }
    }

private:
    void pass(QLocalSocket* client) {
        auto* gate = new QLocalSocket(client);
        gate->connectToServer(m_path + QStringLiteral(".real"));
        QObject::connect(client, &QLocalSocket::readyRead, gate, [client, gate] {
            const QByteArray bytes = client->readAll();
            if (bytes.startsWith("POST /hooks/")) {
                client->setProperty("hook", true);
            }
            gate->write(bytes);
        });
        QObject::connect(gate, &QLocalSocket::readyRead, client,
                         [client, gate] { client->write(gate->readAll()); });
        QObject::connect(gate, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    }
    void fail(QLocalSocket* client) {
        client->write(m_failure + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        client->disconnectFromServer();
    }

    QString m_path;
    QLocalServer m_server;
    QByteArray m_failure;
};

// The program's controller and windows on a desktop with no tray: the welcome window lists the
// waiting requests and offers the menu's commands.
struct Helper {
    explicit Helper(const GateEnvironment& environment)
        : gate(environment) {
        QObject::connect(&windows, &WindowManager::actionChosen, &actions, &MenuActions::perform);
        windows.reportMissingTray();
    }
    // Presses the welcome window's button with that text once it shows.
    bool press(const QString& text) {
        QPushButton* found = nullptr;
        const bool shown = QTest::qWaitFor(
            [&] {
                for (auto* button :
                     windows.window(QStringLiteral("welcome"))->findChildren<QPushButton*>()) {
                    found = button->text() == text && button->isVisible() ? button : found;
                }
                return found != nullptr;
            },
            15000);
        if (shown) {
            found->click();
        }
        return shown;
    }

    // Starts the own gate and waits until it serves.
    bool started() {
        gate.startHelperGate();
        return QTest::qWaitFor([this] { return gate.helperRunning(); }, kGateStartMs);
    }

    GateController gate;
    WebSite site{QUrl(QStringLiteral("https://kestrova.test")), {}};
    WindowManager windows{gate, site};
    MenuActions actions{gate, windows, site};
};

// A devstack account, signed in on a temporary home, its room chosen.
struct SignedIn {
    SignedIn() {
        if (account) {
            home.signIn(account->apiKey);
            home.settings()->setString(QString::fromLatin1(SettingsKeys::kRoom), account->room);
        }
    }
    // The helper's, with the gate polling the devstack.
    GateEnvironment environment() const {
        GateEnvironment environment = home.environmentWithDaemon();
        environment.relayUrl = QUrl(devstack.baseUrl().toString(QUrl::StripTrailingSlash));
        return environment;
    }

    Devstack devstack;
    const std::optional<Devstack::Account> account = devstack.signUp();
    const TestHome home;
};

} // namespace

class AnswersTest : public QObject {
    Q_OBJECT

private slots:
    // One request denied in the welcome window, one approved on the phone and then answered too
    // late on the desktop, one left to time out after a gate restart: the agent hears the first
    // answer, the late one is told, and a helper started again lists all three by origin.
    void answersFromEverywhereAndTheirHistory() {
        SignedIn s;
        QVERIFY(s.account);
        s.home.settings()->setString(QString::fromLatin1(SettingsKeys::kHookWait), "6");
        auto helper = std::make_unique<Helper>(s.environment());
        GateController* gate = &helper->gate;
        QVERIFY(helper->started());

        const Hook denied(s.home, QStringLiteral("rm -rf one"));
        QVERIFY(helper->press(QStringLiteral("Deny")));
        QVERIFY(denied.answer().contains(R"("behavior":"deny")"));

        const Hook approved(s.home, QStringLiteral("rm -rf two"));
        const QString second = waitingId(*gate, QStringLiteral("rm -rf two"));
        QCOMPARE(s.devstack.decideAsPhone(*s.account, second, QStringLiteral("approved")), 200);
        gate->decide(second, Decision::Deny);
        QTRY_VERIFY(gate->published().decisionNotice.value_or(QString()).startsWith("Too late"));
        QVERIFY(approved.answer().contains(R"("behavior":"allow")"));

        // The gate stopped and started again: its stream is followed anew.
        gate->stopHelperGate();
        QTRY_VERIFY_WITH_TIMEOUT(!gate->helperRunning(), kGateStartMs);
        QVERIFY(helper->started());
        const Hook expired(s.home, QStringLiteral("rm -rf three"));
        QVERIFY(!waitingId(*gate, QStringLiteral("rm -rf three")).isEmpty());
        QCOMPARE(expired.answer(), QByteArray());

        helper = std::make_unique<Helper>(s.environment());
        QVERIFY(helper->press(QStringLiteral("History")));
        const auto* history =
            qobject_cast<HistoryWindow*>(helper->windows.window(QStringLiteral("history")));
        QVERIFY(history && history->isVisible());
        QStringList shown;
        for (const HistoryRow& row : history->rows()) {
            shown << row.title + u'|' + row.answer + u'|' + row.where;
        }
        QCOMPARE(shown, (QStringList{"Bash: rm -rf three|Timed out|Time-out",
                                     "Bash: rm -rf two|Approved|Phone",
                                     "Bash: rm -rf one|Denied|Desktop"}));
    }

    // Three requests with markup in their titles wait, the menu is open (then the list under the
    // pointer, where no tray holds the menu), the first is approved on the phone, and the user
    // clicks where the second's Approve was: the second is approved, nothing else.
    void aClickLandsOnTheRequestItWasAimedAt() {
        SignedIn s;
        QVERIFY(s.account);
        Helper helper(s.environment());
        TrayMenu tray(helper.gate, helper.windows, helper.actions, helper.site);
        QVERIFY(helper.started());
        auto* panel = helper.windows.window(QStringLiteral("welcome"))->findChild<RequestsPanel*>();
        const QString markup = QStringLiteral(" <img src=/dev/zero><font size=1>hidden</font>");

        for (const QString view : {"menu", "list"}) {
            std::vector<std::unique_ptr<Hook>> hooks;
            QStringList ids;
            for (const char* name : {" one", " two", " three"}) {
                const QString what = view + QLatin1StringView(name) + markup;
                hooks.push_back(std::make_unique<Hook>(s.home, what));
                ids << waitingId(helper.gate, what);
            }
            QTRY_COMPARE(helper.gate.waitingRequests().size(), 3);
            // Where the second's Approve is, and what is there once the first has gone.
            QWidget* surface = nullptr;
            QPoint aim;
            if (view == u"menu") {
                tray.menu().popup({0, 0});
                const QList<QAction*> actions = tray.menu().actions();
                const auto line = std::ranges::find_if(actions, [&](QAction* a) {
                    return a->text() == "Claude Code: Bash: menu two" + markup;
                });
                QVERIFY(line != actions.end() && line + 1 != actions.end());
                surface = &tray.menu();
                aim = tray.menu().actionGeometry(*(line + 1)).center();
            } else {
                const auto buttons = panel->findChildren<QPushButton*>();
                QWidget* row = buttons.at(2)->parentWidget();
                // Once the window has made room for the list.
                QTRY_VERIFY(panel->isVisible() &&
                            panel->viewport()->height() > row->geometry().bottom());
                surface = panel->widget();
                aim = buttons.at(2)->geometry().center() + row->pos();
                QTest::mouseMove(panel->viewport(), aim);
                QTRY_VERIFY(panel->underMouse());
            }
            QCOMPARE(s.devstack.decideAsPhone(*s.account, ids.at(0), QStringLiteral("approved")),
                     200);
            // The first keeps its place and says how it ended.
            QTRY_VERIFY(std::ranges::any_of(surface->findChildren<QLabel*>(),
                                            [](QLabel* l) {
                                                return l->isVisible() &&
                                                       l->text() == "answered on the phone";
                                            }) ||
                        std::ranges::any_of(tray.menu().actions(), [](QAction* a) {
                            return a->text().endsWith(u" — answered on the phone");
                        }));
            QWidget* target = surface->childAt(aim) ? surface->childAt(aim) : surface;
            QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(surface, aim));
            QVERIFY(hooks.at(1)->answer().contains(R"("behavior":"allow")"));
            QTRY_VERIFY2(helper.gate.waitingRequests().size() == 1 &&
                             helper.gate.waitingRequests().constFirst().id == ids.at(2),
                         qPrintable(view));
        }
    }

    // Fifty requests waiting with no tray: the list keeps to its height and scrolls to the last
    // one's answers.
    void fiftyRequestsScrollTheirAnswersIntoReach() {
        QList<WaitingRequest> waiting;
        for (int i = 0; i < 50; ++i) {
            waiting << WaitingRequest{.id = QString::number(i),
                                      .title = QStringLiteral("Bash: ls")};
        }
        RequestsPanel panel;
        panel.present(waiting, {}, std::nullopt);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QVERIFY(panel.height() <= RequestsPanel::kTallest + 2 * panel.frameWidth());
        QPushButton* last = panel.findChildren<QPushButton*>().constLast();
        panel.ensureWidgetVisible(last);
        QVERIFY(panel.viewport()->rect().contains(
            last->mapTo(panel.viewport(), last->rect().center())));
    }

    // The gate's live list failing, then refused: the menu says answers are unavailable here and
    // why; the request already listed stays listed, so that its notification is not shown again
    // when the list comes back on retry, with what came meanwhile.
    void aFailingOrRefusedListIsShownAndComesBack() {
        const SignedIn s;
        QVERIFY(s.account && Helper(s.environment()).started());
        // A helper started again meets the gate through the stand-in.
        SocketStandIn standIn;
        Helper helper(s.environment());
        const Hook first(s.home, QStringLiteral("rm -rf first"));
        const QString id = waitingId(helper.gate, QStringLiteral("rm -rf first"));
        QVERIFY(!id.isEmpty());
        bool dropped = false;
        QObject::connect(&helper.gate, &GateController::changed, &helper.gate,
                         [&] { dropped = dropped || helper.gate.waitingRequests().isEmpty(); });
        const auto unavailable = [&] {
            QStringList lines;
            for (const MenuEntry& entry :
                 MenuModel::entries(GateSnapshot::of(helper.gate), {}, {})) {
                lines << (entry.text.startsWith(u"Answers on this desktop") ? entry.text
                                                                            : QString());
            }
            return lines.join(QString());
        };
        standIn.answer("HTTP/1.1 500 Internal Server Error");
        QTRY_COMPARE_WITH_TIMEOUT(unavailable(),
                                  QStringLiteral("Answers on this desktop: "
                                                 "unavailable (the gate failed: HTTP 500)"),
                                  15000);
        standIn.answer("HTTP/1.1 403 Forbidden");
        QTRY_COMPARE_WITH_TIMEOUT(unavailable(),
                                  QStringLiteral("Answers on this desktop: "
                                                 "unavailable (the gate refused it: HTTP 403)"),
                                  15000);
        standIn.answer({});
        const Hook second(s.home, QStringLiteral("rm -rf second"));
        QVERIFY(helper.press(QStringLiteral("Retry answers on this desktop")));
        QVERIFY(!waitingId(helper.gate, QStringLiteral("rm -rf second")).isEmpty());
        QCOMPARE(unavailable(), QString());
        QCOMPARE(helper.gate.waitingRequests().constFirst().id, id);
        QVERIFY(!dropped);
    }
};

QTEST_MAIN(AnswersTest)
#include "tst_answers.moc"
