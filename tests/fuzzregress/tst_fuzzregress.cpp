#include "account/GoogleOAuth.h"

#include <QTest>
#include <QUrlQuery>

// Inputs on which a fuzz target (fuzz/) once failed, fed to the function it found wrong.
class FuzzRegressTest : public QObject {
    Q_OBJECT

private slots:
    // fuzz_encoders: QUrlQuery reads "%" in a value as the start of an escape, so a challenge
    // holding "%XX" reached the authorization page as a different challenge.
    void challengeSurvivesAuthorizationUrl_data() {
        QTest::addColumn<QString>("challenge");
        QTest::newRow("fuzz_encoders crash") << QStringLiteral("J%fCBPVt-dm");
        QTest::newRow("escaped letter") << QStringLiteral("a%41b");
        QTest::newRow("escaped percent") << QStringLiteral("a%25b");
    }

    void challengeSurvivesAuthorizationUrl() {
        QFETCH(QString, challenge);
        const QUrl url = GoogleOAuth::authorizationUrl(
            QUrl(QStringLiteral("https://accounts.example/o/oauth2/v2/auth")),
            QStringLiteral("id-1.apps.example.com"), challenge, QStringLiteral("s"));
        QCOMPARE(
            QUrlQuery(url).queryItemValue(QStringLiteral("code_challenge"), QUrl::FullyDecoded),
            challenge);
    }
};

QTEST_GUILESS_MAIN(FuzzRegressTest)
#include "tst_fuzzregress.moc"
