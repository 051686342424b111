#include "account/GoogleOAuth.h"
#include "account/Pkce.h"

#include <QTest>

// The pieces of the Google sign-in a wrong byte would break.
class GoogleOAuthTest : public QObject {
    Q_OBJECT
private slots:
    void challengeMatchesTheRfcExample() {
        // RFC 7636, Appendix B.
        QCOMPARE(Pkce::codeChallenge(QStringLiteral("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk")),
                 QStringLiteral("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
    }

    // The code, or the message the user reads.
    void callbacksAndTokenAnswers() {
        const auto code = [](const char* callback) {
            const auto result = GoogleOAuth::authorizationCode(QUrl(callback));
            return result ? *result : result.error().errorDescription();
        };
        QCOMPARE(code("com.example.apps.id:/oauth2redirect?code=4%2F0A&code=2nd"), "4/0A");
        QCOMPARE(code("s:/r?error=access_denied"), "Sign-in did not complete.");
        QCOMPARE(code("s:/r?code="), "Sign-in did not complete.");
        const auto token = [](int status, const QByteArray& body) {
            const auto result = GoogleOAuth::idToken({status, body});
            return result ? *result : result.error().errorDescription();
        };
        QCOMPARE(token(200, R"({"id_token":"t.k.n","x":1})"), "t.k.n");
        QCOMPARE(token(200, R"({"id_token":5})"), "Google did not return an ID token.");
        QCOMPARE(token(400, "{\n  \"error\": \"invalid_grant\",\n  \"d\": \"B\u2028r\"\n}"),
                 R"(Google token exchange failed: { "error": "invalid_grant", "d": "B r" })");
        QCOMPARE(token(500, "\xff\xfe\xfd"), "Google token exchange failed: ");
    }
};

QTEST_GUILESS_MAIN(GoogleOAuthTest)
#include "tst_googleoauth.moc"
