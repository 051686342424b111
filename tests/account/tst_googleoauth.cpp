#include "account/GoogleOAuth.h"
#include "account/Pkce.h"

#include <QRegularExpression>
#include <QTest>
#include <QUrlQuery>

// The pieces of the Google sign-in a wrong byte would break: PKCE, the URLs, the form body,
// and how the callback and the token endpoint's answers are read.
class GoogleOAuthTest : public QObject {
    Q_OBJECT

private slots:
    void challengeMatchesTheRfcExample() {
        // RFC 7636, Appendix B.
        QCOMPARE(Pkce::codeChallenge(QStringLiteral("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk")),
                 QStringLiteral("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
    }

    void authorizationUrlCarriesEightItemsInOrder() {
        const QUrl url = GoogleOAuth::authorizationUrl(
            QUrl(QStringLiteral("https://accounts.example/o/oauth2/v2/auth")),
            QStringLiteral("id-1.apps.example.com"), QStringLiteral("CHALLENGE"),
            QStringLiteral("STATE"));
        const QString encoded = QString::fromLatin1(url.toEncoded());
        QCOMPARE(encoded, QStringLiteral("https://accounts.example/o/oauth2/v2/auth"
                                         "?client_id=id-1.apps.example.com"
                                         "&redirect_uri=com.example.apps.id-1:/oauth2redirect"
                                         "&response_type=code"
                                         "&scope=openid%20email%20profile"
                                         "&code_challenge=CHALLENGE"
                                         "&code_challenge_method=S256"
                                         "&prompt=select_account"
                                         "&state=STATE"));
    }

    void callbacks_data() {
        QTest::addColumn<QString>("callback");
        QTest::addColumn<QString>("code"); // empty: badCallback
        QTest::newRow("code") << "com.example.apps.id:/oauth2redirect?code=abc&scope=x"
                              << "abc";
        QTest::newRow("two codes: the first") << "s:/r?code=first&code=second"
                                              << "first";
        QTest::newRow("encoded code") << "s:/r?code=4%2F0A"
                                      << "4/0A";
        QTest::newRow("error item") << "s:/r?error=access_denied"
                                    << "";
        QTest::newRow("no query") << "s:/r"
                                  << "";
        QTest::newRow("empty code") << "s:/r?code="
                                    << "";
    }

    void callbacks() {
        QFETCH(QString, callback);
        QFETCH(QString, code);
        const auto result = GoogleOAuth::authorizationCode(QUrl(callback));
        if (code.isEmpty()) {
            QVERIFY(!result);
            QCOMPARE(result.error().errorDescription(),
                     QStringLiteral("Sign-in did not complete."));
        } else {
            QCOMPARE(result.value_or(QString()), code);
        }
    }

    void tokenAnswers_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("token");   // when it succeeds
        QTest::addColumn<QString>("message"); // when it fails
        QTest::newRow("id token") << 200 << QByteArray(R"({"id_token":"t.k.n","x":1})") << "t.k.n"
                                  << "";
        QTest::newRow("empty id token") << 200 << QByteArray(R"({"id_token":""})") << ""
                                        << "";
        QTest::newRow("number") << 200 << QByteArray(R"({"id_token":5})") << ""
                                << "Google did not return an ID token.";
        QTest::newRow("not json") << 200 << QByteArray("<html>") << ""
                                  << "Google did not return an ID token.";
        QTest::newRow("400 empty") << 400 << QByteArray() << ""
                                   << "Google token exchange failed: ";
        QTest::newRow("400 google error")
            << 400 << QByteArray(R"({"error":"invalid_grant"})") << ""
            << R"(Google token exchange failed: {"error":"invalid_grant"})";
        QTest::newRow("not utf-8") << 500 << QByteArray("\xff\xfe\xfd") << ""
                                   << "Google token exchange failed: ";
    }

    void tokenAnswers() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, token);
        QFETCH(QString, message);
        const auto result = GoogleOAuth::idToken({status, body});
        QCOMPARE(result.has_value(), message.isEmpty());
        if (result) {
            QCOMPARE(*result, token);
        } else {
            QCOMPARE(result.error().errorDescription(), message);
        }
    }
};

QTEST_GUILESS_MAIN(GoogleOAuthTest)
#include "tst_googleoauth.moc"
