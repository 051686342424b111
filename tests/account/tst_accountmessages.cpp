#include "account/GoogleOAuth.h"
#include "account/RelayMessages.h"

#include <QTest>

// What Google and the relay send back, as the user gets to read it.
class AccountMessagesTest : public QObject {
    Q_OBJECT
private slots:
    // Google's codes hold a '/' and arrive percent-encoded, which the devstack's never do; a user
    // who declines comes back with an error instead of a code. A relay's error page can be long
    // and spread over many lines: the user reads one line, at most 160 characters of it,
    // whichever request failed.
    void whatTheUserReads() {
        const auto code = [](const char* callback) {
            const auto result = GoogleOAuth::authorizationCode(QUrl(callback));
            return result ? *result : result.error().errorDescription();
        };
        QCOMPARE(code("com.example.apps.id:/oauth2redirect?code=4%2F0A&code=2nd"), "4/0A");
        QCOMPARE(code("s:/r?error=access_denied"), "Sign-in did not complete.");
        const HttpExchange::Answer answer{503, QByteArray("ab \n\n ").repeated(100)};
        for (const auto& error : {RelayMessages::relayAuth(answer).error(),
                                  RelayMessages::ownedAgent(answer).error()}) {
            QCOMPARE(error.errorDescription(), QStringLiteral("Relay sign-in failed (503): ") +
                                                   QStringLiteral("ab ").repeated(54).left(160));
        }
    }
};

QTEST_GUILESS_MAIN(AccountMessagesTest)
#include "tst_accountmessages.moc"
