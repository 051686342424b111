#include "gate/GateController.h"
#include "platform/BrowserSignIn.h"
#include "support/Devstack.h"
#include "support/TestHome.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>

using namespace std::chrono_literals;
using namespace SettingsKeys;

namespace {

enum class Break { ResetAfterRequest, ResetMidHeaders, HalfHeadersThenClose, ResetMidBody };

// Sends a TCP reset instead of an orderly close: no lingering, whatever is unsent is dropped.
void reset(QTcpSocket* socket) {
    const linger abortive{.l_onoff = 1, .l_linger = 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive,
                 sizeof(abortive));
    socket->abort();
}

// A relay that reads each whole request and then breaks the connection in one chosen way.
class BrokenRelay final : public QObject {
public:
    explicit BrokenRelay(Break how)
        : m_break(how) {
        connect(&m_server, &QTcpServer::newConnection, this, &BrokenRelay::onConnection);
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    QUrl url() const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()));
    }
    int requests() const { return m_requests; }

private:
    void onConnection() {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            auto request = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket, request] {
                request->append(socket->readAll());
                const qsizetype headerEnd = request->indexOf("\r\n\r\n");
                const qsizetype length = request->toLower().indexOf("content-length:");
                const qsizetype body =
                    length < 0 ? 0
                               : request->mid(length + 15).split('\r').first().trimmed().toInt();
                if (headerEnd >= 0 && request->size() >= headerEnd + 4 + body) {
                    request->clear();
                    answer(socket);
                }
            });
        }
    }

    void answer(QTcpSocket* socket) {
        ++m_requests;
        const auto later = [socket](auto then) { QTimer::singleShot(100ms, socket, then); };
        switch (m_break) {
        case Break::ResetAfterRequest:
            reset(socket);
            break;
        case Break::ResetMidHeaders:
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: appli");
            later([socket] { reset(socket); });
            break;
        case Break::HalfHeadersThenClose:
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: appli");
            later([socket] { socket->disconnectFromHost(); });
            break;
        case Break::ResetMidBody:
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                          "Content-Length: 200\r\n\r\n{\"api_key\":\"stolen\"");
            later([socket] { reset(socket); });
            break;
        }
    }

    QTcpServer m_server;
    Break m_break;
    int m_requests = 0;
};

void addBreaks() {
    QTest::addColumn<Break>("how");
    QTest::newRow("reset after the request") << Break::ResetAfterRequest;
    QTest::newRow("reset in the headers") << Break::ResetMidHeaders;
    QTest::newRow("half the headers, then closed") << Break::HalfHeadersThenClose;
    QTest::newRow("reset in the body") << Break::ResetMidBody;
}

// One short line that names no protocol detail and did not wait for the deadline.
void verifyClearLine(const std::optional<QString>& message) {
    const QString shown = message.value_or(QString());
    QVERIFY2(!shown.isEmpty() && shown.size() < 200 && !shown.contains(u'\n'), qPrintable(shown));
    QVERIFY2(!shown.contains(u"HTTP/") && !shown.contains(u"stolen"), qPrintable(shown));
    QVERIFY2(shown != u"The request timed out.", qPrintable(shown));
}

} // namespace

Q_DECLARE_METATYPE(Break)

class RelayFaultsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestHome> m_home;

    void storeEarlierAccount() const {
        m_home->signIn(QStringLiteral("earlier-key"));
        m_home->settings()->setString(QString::fromLatin1(kUserId), QStringLiteral("earlier-user"));
        m_home->settings()->setString(QString::fromLatin1(kRoom), QStringLiteral("earlier-room"));
    }

    void verifyEarlierAccount(const GateController& controller) const {
        const auto stored = [this](const char* key) {
            return m_home->settings()->string(QString::fromLatin1(key));
        };
        QCOMPARE(stored(kApiKey), QStringLiteral("earlier-key"));
        QCOMPARE(stored(kUserId), QStringLiteral("earlier-user"));
        QCOMPARE(stored(kRoom), QStringLiteral("earlier-room"));
        QCOMPARE(controller.accountUserId(), QStringLiteral("earlier-user"));
        QCOMPARE(controller.personalRoom(), QStringLiteral("earlier-room"));
    }

private slots:
    void init() {
        m_home = std::make_unique<TestHome>();
        storeEarlierAccount();
        // Claude Code on the search path, so a registration has something to send.
        m_home->makeFile(QStringLiteral("usr/bin/claude"), "#!/bin/sh\n", true);
    }

    void cleanup() { m_home.reset(); }

    void aBrokenRelayDuringSignIn_data() { addBreaks(); }

    void aBrokenRelayDuringSignIn() {
        QFETCH(Break, how);
        Devstack devstack;
        QVERIFY(devstack.isRunning());
        BrokenRelay relay(how);
        std::shared_ptr<BrowserSignIn> sheet;
        sheet = std::make_shared<BrowserSignIn>([&devstack, &sheet](const QUrl& url) {
            QTimer::singleShot(0, sheet.get(), [&devstack, &sheet, url] {
                const auto callback = devstack.followAuthorization(url);
                QVERIFY(callback);
                QVERIFY(sheet->deliverCallback(*callback));
            });
            return true;
        });
        GateEnvironment environment = m_home->environment();
        environment.google = {.clientId = devstack.clientId(),
                              .authorizationUrl = devstack.googleAuthUrl(),
                              .tokenUrl = devstack.googleTokenUrl()};
        environment.signInSheet = sheet;
        environment.relayUrl = relay.url();
        environment.relayTimeout = 20s;
        environment.machineName = [] { return QStringLiteral("Studio"); };
        GateController controller(environment);

        controller.signIn();
        QVERIFY(controller.signingIn());
        QTRY_VERIFY_WITH_TIMEOUT(!controller.signingIn(), 10000);
        QVERIFY(relay.requests() >= 1);
        verifyClearLine(controller.lastError());
        verifyEarlierAccount(controller);
        QVERIFY(controller.registeredAgents().isEmpty());
    }

    void aBrokenRelayDuringRegistration_data() { addBreaks(); }

    void aBrokenRelayDuringRegistration() {
        QFETCH(Break, how);
        BrokenRelay relay(how);
        GateEnvironment environment = m_home->environment();
        environment.relayUrl = relay.url();
        environment.relayTimeout = 20s;
        environment.machineName = [] { return QStringLiteral("Studio"); };
        GateController controller(environment);

        controller.registerDetectedAgents();
        QCOMPARE(controller.detectedAgents(), QStringList{QStringLiteral("Claude Code")});
        QTRY_VERIFY_WITH_TIMEOUT(controller.registrationError(), 10000);
        QVERIFY(relay.requests() >= 1);
        verifyClearLine(controller.registrationError());
        QVERIFY(controller.registeredAgents().isEmpty());
        QCOMPARE(controller.lastError(), std::nullopt);
        verifyEarlierAccount(controller);
    }
};

QTEST_GUILESS_MAIN(RelayFaultsTest)
#include "tst_relayfaults.moc"
