#include "account/RelayMessages.h"

#include <QTest>

// How each kind of relay answer is read.
class RelayMessagesTest : public QObject {
    Q_OBJECT
private slots:
    void answers() {
        const auto auth =
            RelayMessages::relayAuth({200, R"({"api_key":"k","user_id":"u","personal_room":"r"})"});
        QCOMPARE((QStringList{auth->apiKey, auth->userId, auth->personalRoom.value_or("-")}),
                 (QStringList{"k", "u", "r"}));
        QVERIFY(!RelayMessages::relayAuth({200, R"({"personal_room":""})"})->personalRoom);
        const auto created =
            RelayMessages::ownedAgent({201, R"({"created":true,"agent":{"handle":"agt_1"}})"});
        QVERIFY(created && created->handle == "agt_1" && created->created);
    }

    // The message a user reads: one line, at most 160 characters of the relay's text.
    void failures() {
        const QByteArray pretty = "{\n  \"error\": \"bad key\",\r\n\t\"code\": 7\n}\n";
        const QByteArray spaced = QByteArray("ab \n\n ").repeated(100);
        const QList<std::tuple<int, QByteArray, QString>> rows{
            {500, "\xc3\x28 bad", ""}, // not UTF-8
            {400, pretty, R"({ "error": "bad key", "code": 7 })"},
            {503, spaced, QStringLiteral("ab ").repeated(54).left(160)}};
        for (const auto& [status, body, shown] : rows) {
            for (const auto& error : {RelayMessages::relayAuth({status, body}).error(),
                                      RelayMessages::ownedAgent({status, body}).error()}) {
                QCOMPARE(error.status(), status);
                QCOMPARE(error.body(), shown.isEmpty() ? QString() : QString::fromLatin1(body));
                QCOMPARE(error.errorDescription(),
                         QStringLiteral("Relay sign-in failed (%1): ").arg(status) + shown);
            }
        }
    }
};

QTEST_GUILESS_MAIN(RelayMessagesTest)
#include "tst_relaymessages.moc"
