#include "account/GoogleOAuth.h"

#include <QTest>
#include <QUrlQuery>

// Inputs on which a fuzz target (fuzz/) once failed, fed to the function it found wrong.
class FuzzRegressTest : public QObject {
    Q_OBJECT
private slots:
    // fuzz_encoders: a challenge holding "%XX" reached the authorization page changed.
    void challengeSurvivesAuthorizationUrl() {
        const QString challenge = QStringLiteral("J%fCBPVt-dm%41");
        const QUrl url = GoogleOAuth::authorizationUrl(QUrl(QStringLiteral("https://a.example/")),
                                                       "id-1.apps.example.com", challenge, "s");
        QCOMPARE(QUrlQuery(url).queryItemValue("code_challenge", QUrl::FullyDecoded), challenge);
    }
};

QTEST_GUILESS_MAIN(FuzzRegressTest)
#include "tst_fuzzregress.moc"
