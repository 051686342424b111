#include "app/HistoryWindow.h"
#include "app/MenuActions.h"
#include "app/WindowManager.h"
#include "gate/GateController.h"
#include "support/Devstack.h"
#include "support/TestHome.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QPushButton>
#include <QTest>

namespace {

constexpr int kGateStartMs = 20000;

// An agent's hook waiting at the gate, as `kestrova-hook claude-code` sends it.
class Hook {
public:
    Hook(QNetworkAccessManager& network, const TestHome& home, quint16 port, const QString& what) {
        QNetworkRequest request(
            QUrl(QStringLiteral("http://127.0.0.1:%1/hooks/claude-code").arg(port)));
        QFile secret(home.supportDir() + QStringLiteral("/gate-secret"));
        secret.open(QIODevice::ReadOnly);
        request.setRawHeader("Authorization", "Bearer " + secret.readAll().trimmed());
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        const QJsonObject input{{"session_id", "s"},
                                {"cwd", home.home()},
                                {"hook_event_name", "PermissionRequest"},
                                {"tool_name", "Bash"},
                                {"tool_input", QJsonObject{{"command", what}}}};
        m_reply.reset(network.post(request, QJsonDocument(input).toJson()));
    }
    // What the hook prints for the agent, once the gate answered.
    QByteArray answer() const {
        return QTest::qWaitFor([this] { return m_reply->isFinished(); }, 30000)
                   ? m_reply->readAll()
                   : QByteArray("(still waiting)");
    }

private:
    std::unique_ptr<QNetworkReply> m_reply;
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

    GateController gate;
    WebSite site{QUrl(QStringLiteral("https://kestrova.test")), {}};
    WindowManager windows{gate, site};
    MenuActions actions{gate, windows, site};
};

} // namespace

class AnswersTest : public QObject {
    Q_OBJECT

private slots:
    // One request denied in the welcome window, one approved on the phone and then answered too
    // late on the desktop, one left to time out after a gate restart: the agent hears the first
    // answer, the late one is told, and a helper started again lists all three by origin.
    void answersFromEverywhereAndTheirHistory() {
        Devstack devstack;
        const auto account = devstack.signUp();
        QVERIFY(account);
        const TestHome home;
        home.signIn(account->apiKey);
        home.settings()->setString(QString::fromLatin1(SettingsKeys::kRoom), account->room);
        home.settings()->setString(QString::fromLatin1(SettingsKeys::kHookWait),
                                   QStringLiteral("6"));
        GateEnvironment environment = home.environmentWithDaemon();
        environment.relayUrl = QUrl(devstack.baseUrl().toString(QUrl::StripTrailingSlash));
        QNetworkAccessManager network;
        auto helper = std::make_unique<Helper>(environment);
        GateController* gate = &helper->gate;
        gate->startHelperGate();
        QTRY_VERIFY_WITH_TIMEOUT(gate->helperRunning(), kGateStartMs);

        const Hook denied(network, home, home.ownPort, QStringLiteral("rm -rf one"));
        QVERIFY(helper->press(QStringLiteral("Deny")));
        QVERIFY(denied.answer().contains(R"("behavior":"deny")"));

        const Hook approved(network, home, home.ownPort, QStringLiteral("rm -rf two"));
        const QString second = waitingId(*gate, QStringLiteral("rm -rf two"));
        QCOMPARE(devstack.decideAsPhone(*account, second, QStringLiteral("approved")), 200);
        gate->decide(second, Decision::Deny);
        QTRY_VERIFY(gate->published().decisionNotice.value_or(QString()).startsWith("Too late"));
        QVERIFY(approved.answer().contains(R"("behavior":"allow")"));

        // The gate stopped and started again: its stream is followed anew.
        gate->stopHelperGate();
        QTRY_VERIFY_WITH_TIMEOUT(!gate->helperRunning(), kGateStartMs);
        gate->startHelperGate();
        QTRY_VERIFY_WITH_TIMEOUT(gate->helperRunning(), kGateStartMs);
        const Hook expired(network, home, home.ownPort, QStringLiteral("rm -rf three"));
        QVERIFY(!waitingId(*gate, QStringLiteral("rm -rf three")).isEmpty());
        QCOMPARE(expired.answer(), QByteArray());

        helper = std::make_unique<Helper>(environment);
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
};

QTEST_MAIN(AnswersTest)
#include "tst_answers.moc"
