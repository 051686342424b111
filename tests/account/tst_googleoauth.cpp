#include "account/GoogleOAuth.h"

#include <QTest>

// Google's codes hold a '/' and arrive percent-encoded, which the devstack's never do; a user who
// declines comes back with an error instead of a code.
class GoogleOAuthTest : public QObject {
    Q_OBJECT
private slots:
    void theCallbacksCode() {
        const auto code = [](const char* callback) {
            const auto result = GoogleOAuth::authorizationCode(QUrl(callback));
            return result ? *result : result.error().errorDescription();
        };
        QCOMPARE(code("com.example.apps.id:/oauth2redirect?code=4%2F0A&code=2nd"), "4/0A");
        QCOMPARE(code("s:/r?error=access_denied"), "Sign-in did not complete.");
    }
};

QTEST_GUILESS_MAIN(GoogleOAuthTest)
#include "tst_googleoauth.moc"
