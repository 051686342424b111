#include "support/Devstack.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

#include <memory>

namespace {

const QString redirectUri = QStringLiteral("com.kestrova.helper:/oauth2redirect");

QString base64Url(const QByteArray& bytes) {
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString challengeOf(const QString& verifier) {
    return base64Url(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256));
}

QString newVerifier() {
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()), 8);
    return base64Url(bytes);
}

bool matches(const QString& pattern, const QString& text) {
    return QRegularExpression(pattern).match(text).hasMatch();
}

} // namespace

// The devstack judges, over real HTTP, what a sign-in and registration client sends.
class TestDevstack : public QObject {
    Q_OBJECT

    std::unique_ptr<Devstack> m_devstack;

    QUrl authorizationUrl(const QString& challenge, const QString& method = "S256") {
        QUrl url = m_devstack->googleAuthUrl();
        url.setQuery(QUrlQuery{{"client_id", m_devstack->clientId()},
                               {"redirect_uri", redirectUri},
                               {"response_type", "code"},
                               {"scope", "openid email profile"},
                               {"code_challenge", challenge},
                               {"code_challenge_method", method},
                               {"prompt", "select_account"}});
        return url;
    }
    QString authorize(const QString& challenge) {
        const auto callback = m_devstack->followAuthorization(authorizationUrl(challenge));
        return callback ? QUrlQuery(*callback).queryItemValue("code", QUrl::FullyDecoded)
                        : QString();
    }
    Devstack::Reply redeem(const QString& code, const QString& verifier,
                           const QString& clientId = {}, const QString& redirect = redirectUri) {
        return m_devstack->postForm(
            m_devstack->googleTokenUrl(),
            QUrlQuery{{"grant_type", "authorization_code"},
                      {"code", code},
                      {"code_verifier", verifier},
                      {"client_id", clientId.isEmpty() ? m_devstack->clientId() : clientId},
                      {"redirect_uri", redirect}});
    }
    QString signIn() {
        const QString verifier = newVerifier();
        return redeem(authorize(challengeOf(verifier)), verifier)
            .json()
            .value("id_token")
            .toString();
    }
    Devstack::Reply relayAuth(const QString& idToken, bool forceNewKey = false) {
        QJsonObject body{{"google_id_token", idToken}, {"device_id", "dev-1"}};
        if (forceNewKey) {
            body.insert("force_new_key", true);
        }
        return m_devstack->postJson(m_devstack->relayUrl("/api/v1/relay/auth"), body);
    }
    Devstack::Reply registerAgent(const QString& key, const QString& kind, const QString& name) {
        return m_devstack->postJson(
            m_devstack->relayUrl("/api/v1/agents/me/owned"),
            {{"kind", kind},
             {"machine_name", "box"},
             {"host_fingerprint", "fp-" + QString(QTest::currentTestFunction())},
             {"display_name", name}},
            key);
    }

private slots:
    void initTestCase() {
        m_devstack = std::make_unique<Devstack>();
        QVERIFY(m_devstack->isRunning());
    }
    void cleanup() { QVERIFY(m_devstack->setFaults({})); }

    void correctPkceGivesIdTokenOnce() {
        const QString verifier = newVerifier();
        const auto callback =
            m_devstack->followAuthorization(authorizationUrl(challengeOf(verifier)));
        QVERIFY(callback);
        QCOMPARE(callback->adjusted(QUrl::RemoveQuery), QUrl(redirectUri));
        const QString code = QUrlQuery(*callback).queryItemValue("code", QUrl::FullyDecoded);
        QVERIFY(!code.isEmpty());
        const auto reply = redeem(code, verifier);
        QCOMPARE(reply.status, 200);
        QVERIFY(!reply.json().value("id_token").toString().isEmpty());
        QCOMPARE(reply.json().value("token_type").toString(), "Bearer");
        const auto reused = redeem(code, verifier);
        QCOMPARE(reused.status, 400);
        QCOMPARE(reused.json().value("error").toString(), "invalid_grant");
    }
    void publishedPkceExampleIsAccepted() {
        // Verifier and challenge from the PKCE RFC's appendix, computed by nobody here.
        const QString code = authorize("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
        QCOMPARE(redeem(code, "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk").status, 200);
    }
    void wrongVerifierSpendsTheCode() {
        const QString verifier = newVerifier();
        const QString code = authorize(challengeOf(verifier));
        const auto wrong = redeem(code, newVerifier());
        QCOMPARE(wrong.status, 400);
        QCOMPARE(wrong.json().value("error").toString(), "invalid_grant");
        QCOMPARE(redeem(code, verifier).status, 400);
    }
    void mismatchedClientOrRedirectIsRejected_data() {
        QTest::addColumn<QString>("clientId");
        QTest::addColumn<QString>("redirect");
        QTest::newRow("client_id") << "other.apps.googleusercontent.com" << redirectUri;
        QTest::newRow("redirect_uri") << QString() << "com.kestrova.helper:/elsewhere";
    }
    void mismatchedClientOrRedirectIsRejected() {
        QFETCH(QString, clientId);
        QFETCH(QString, redirect);
        const QString verifier = newVerifier();
        const auto reply = redeem(authorize(challengeOf(verifier)), verifier, clientId, redirect);
        QCOMPARE(reply.status, 400);
        QVERIFY(!reply.json().value("error").toString().isEmpty());
    }
    void authorizationRejectsPlainPkce() {
        QCOMPARE(m_devstack->get(authorizationUrl(challengeOf(newVerifier()), "plain")).status,
                 400);
    }

    void relayKeepsAccountAndRotatesKey() {
        QCOMPARE(relayAuth("not-a-google-token").status, 401);
        const auto first = relayAuth(signIn()).json();
        const QString oldKey = first.value("api_key").toString();
        QVERIFY(matches("^kv_[0-9a-f]{32}$", oldKey));
        QVERIFY(matches("^usr_[0-9a-f]{12}$", first.value("user_id").toString()));
        QVERIFY(matches("^room-[0-9a-f]{12}$", first.value("personal_room").toString()));
        const auto second = relayAuth(signIn(), true).json();
        QCOMPARE(second.value("user_id"), first.value("user_id"));
        QCOMPARE(second.value("personal_room"), first.value("personal_room"));
        const QString newKey = second.value("api_key").toString();
        QVERIFY(matches("^kv_[0-9a-f]{32}$", newKey) && newKey != oldKey);
        QCOMPARE(registerAgent(oldKey, "codex", "Codex").status, 401);
        QCOMPARE(registerAgent(newKey, "codex", "Codex").status, 200);
        const QJsonArray accounts = m_devstack->state().value("accounts").toArray();
        QCOMPARE(accounts.size(), 1);
        QVERIFY(accounts.at(0)["revoked_keys"].toArray().contains(oldKey));
    }
    void agentRegistrationIsStable() {
        const QString key = relayAuth(signIn()).json().value("api_key").toString();
        const auto created = registerAgent(key, "claude_code", "Claude").json();
        QCOMPARE(created.value("created"), QJsonValue(true));
        const QJsonObject agent = created.value("agent").toObject();
        QVERIFY(matches("^agt_[0-9a-f]{10}$", agent.value("handle").toString()));
        QVERIFY(agent.value("detected_cli").isNull());
        const auto again = registerAgent(key, "claude_code", "Claude Code").json();
        QCOMPARE(again.value("created"), QJsonValue(false));
        QCOMPARE(again["agent"]["handle"], agent.value("handle"));
        QCOMPARE(again["agent"]["display_name"].toString(), "Claude Code");
    }
    void faultsApplyPerKind() {
        const QString key = relayAuth(signIn()).json().value("api_key").toString();
        QVERIFY(m_devstack->setFaults(
            {{"owned",
              QJsonObject{{"claude_code", QJsonObject{{"status", 401}, {"body", "nope"}}}}},
             {"omit_api_key", true}}));
        const auto refused = registerAgent(key, "claude_code", "Claude");
        QCOMPARE(refused.status, 401);
        QCOMPARE(refused.body, "nope");
        QCOMPARE(registerAgent(key, "codex", "Codex").status, 200);
        const auto keyless = relayAuth(signIn());
        QCOMPARE(keyless.status, 200);
        QVERIFY(!keyless.json().contains("api_key"));
        QVERIFY(m_devstack->setFaults({}));
        QCOMPARE(registerAgent(key, "claude_code", "Claude").status, 200);
    }
    void delayKeepsServingOthers() {
        Devstack slow({"--delay-ms", "600"});
        QVERIFY(slow.isRunning());
        QNetworkAccessManager network;
        network.setProxy(QNetworkProxy::NoProxy);
        int answered = 0;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 3; ++i) {
            QNetworkReply* reply = network.get(QNetworkRequest(slow.relayUrl("/devstack/state")));
            connect(reply, &QNetworkReply::finished, this, [&answered, reply] {
                answered += reply->error() == QNetworkReply::NoError;
                reply->deleteLater();
            });
        }
        QTRY_COMPARE_WITH_TIMEOUT(answered, 3, 10'000);
        // One at a time would take 1800 ms.
        QVERIFY(clock.elapsed() >= 600);
        QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_GUILESS_MAIN(TestDevstack)
#include "tst_devstack.moc"
