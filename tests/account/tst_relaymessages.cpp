#include "account/GoogleAuthError.h"
#include "account/RelayMessages.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {
QJsonObject parsed(const QByteArray& json) {
    return QJsonDocument::fromJson(json).object();
}
} // namespace

// What the relay is sent, and how each kind of answer is read.
class RelayMessagesTest : public QObject {
    Q_OBJECT

private slots:
    void authBodyLeavesOutWhatIsNotGiven() {
        QCOMPARE(
            parsed(RelayMessages::authBody(QStringLiteral("tok"), false, std::nullopt, QString())),
            QJsonObject({{"google_id_token", "tok"}}));
        QCOMPARE(parsed(RelayMessages::authBody(QStringLiteral("tok"), true,
                                                QStringLiteral("DEV-1"), QStringLiteral("Studio"))),
                 QJsonObject({{"google_id_token", "tok"},
                              {"force_new_key", true},
                              {"device_id", "DEV-1"},
                              {"device_name", "Studio"}}));
        QVERIFY(!RelayMessages::authBody(QStringLiteral("a/b"), false, {}, {}).contains('\n'));
    }

    void ownedAgentBodySendsEmptyTextButNoEmptyPath() {
        OwnedAgentRequest request{.apiKey = QStringLiteral("key"),
                                  .kind = QStringLiteral("codex"),
                                  .machineName = QString(),
                                  .hostFingerprint = QStringLiteral("FP"),
                                  .detectedCli = QString(),
                                  .displayName = QStringLiteral("Codex on ")};
        QCOMPARE(parsed(RelayMessages::ownedAgentBody(request)),
                 QJsonObject({{"kind", "codex"},
                              {"machine_name", ""},
                              {"host_fingerprint", "FP"},
                              {"display_name", "Codex on "}}));
        request.detectedCli = QStringLiteral("/usr/bin/codex");
        QCOMPARE(parsed(RelayMessages::ownedAgentBody(request)).value(u"detected_cli").toString(),
                 QStringLiteral("/usr/bin/codex"));
    }

    void authAnswers_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("apiKey");
        QTest::addColumn<QString>("userId");
        QTest::addColumn<std::optional<QString>>("room");
        QTest::newRow("complete") << QByteArray(
                                         R"({"api_key":"k","user_id":"u","personal_room":"r"})")
                                  << "k"
                                  << "u" << std::optional(QStringLiteral("r"));
        QTest::newRow("empty room is none")
            << QByteArray(R"({"api_key":"k","user_id":"u","personal_room":""})") << "k"
            << "u" << std::optional<QString>();
    }

    void authAnswers() {
        QFETCH(QByteArray, body);
        QFETCH(QString, apiKey);
        QFETCH(QString, userId);
        QFETCH(std::optional<QString>, room);
        const auto auth = RelayMessages::relayAuth({200, body});
        QVERIFY(auth);
        QCOMPARE(auth->apiKey, apiKey);
        QCOMPARE(auth->userId, userId);
        QCOMPARE(auth->personalRoom, room);
    }

    void ownedAgentAnswers() {
        const auto created =
            RelayMessages::ownedAgent({201, R"({"created":true,"agent":{"handle":"agt_1"}})"});
        QCOMPARE(created->handle, QStringLiteral("agt_1"));
        QVERIFY(created->created);
        const auto odd = RelayMessages::ownedAgent({200, R"({"agent":"agt_1"})"});
        QCOMPARE(odd->handle, QString());
        QVERIFY(!odd->created);
    }

    void failures_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("keptBody");
        QTest::addColumn<QString>("message");
        const QByteArray html = "<html>" + QByteArray(1987, 'x') + "</html>";
        QTest::newRow("401") << 401 << QByteArray("nope") << "nope"
                             << "Relay sign-in failed (401): nope";
        QTest::newRow("503 html cut at 160")
            << 503 << html << QString::fromLatin1(html)
            << "Relay sign-in failed (503): " + QString::fromLatin1(html.left(160));
        QTest::newRow("500 not utf-8") << 500 << QByteArray("\xc3\x28 bad") << ""
                                       << "Relay sign-in failed (500): ";
        QTest::newRow("no http answer") << -1 << QByteArray() << ""
                                        << "Relay sign-in failed (-1): ";
        const QByteArray pretty = "{\n  \"error\": \"bad key\",\r\n\t\"code\": 7\n}\n";
        QTest::newRow("pretty-printed json on one line")
            << 400 << pretty << QString::fromLatin1(pretty)
            << R"(Relay sign-in failed (400): { "error": "bad key", "code": 7 })";
        // Collapsed first, then cut: the message keeps 160 characters of text.
        const QByteArray spaced = QByteArray("ab \n\n ").repeated(100);
        QTest::newRow("whitespace collapsed before the cut")
            << 500 << spaced << QString::fromLatin1(spaced)
            << "Relay sign-in failed (500): " + QStringLiteral("ab ").repeated(54).left(160);
    }

    void failures() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, keptBody);
        QFETCH(QString, message);
        for (const auto& error : {RelayMessages::relayAuth({status, body}).error(),
                                  RelayMessages::ownedAgent({status, body}).error()}) {
            QCOMPARE(error.status(), status);
            QCOMPARE(error.body(), keptBody);
            QCOMPARE(error.errorDescription(), message);
        }
    }

    void googleTextOnOneLine() {
        const QString body =
            QStringLiteral("{\n  \"error\": \"invalid_grant\",\n  \"error_description\""
                           ": \"Bad\u2028request\"\n}");
        QCOMPARE(GoogleAuthError::tokenExchangeFailed(body).errorDescription(),
                 QStringLiteral(R"(Google token exchange failed: { "error": "invalid_grant", )"
                                R"("error_description": "Bad request" })"));
    }
};

QTEST_GUILESS_MAIN(RelayMessagesTest)
#include "tst_relaymessages.moc"
