#include "gate/GateController.h"
#include "support/Devstack.h"
#include "support/TestHome.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace SettingsKeys;

namespace {

const QRegularExpression
    kUuidShape(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));

// Signs in at the stand-in relay the way the program does, by hand: the browser step, the token
// exchange and the relay exchange. Returns the relay's API key.
QString relayApiKey(Devstack& devstack) {
    const QString verifier(64, u'v');
    const QString challenge = QString::fromLatin1(
        QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    const QString redirect = QStringLiteral("com.example.apps.test:/oauth2redirect");
    QUrl authorization = devstack.googleAuthUrl();
    authorization.setQuery(QUrlQuery{{"client_id", devstack.clientId()},
                                     {"redirect_uri", redirect},
                                     {"response_type", "code"},
                                     {"scope", "openid email"},
                                     {"code_challenge", challenge},
                                     {"code_challenge_method", "S256"},
                                     {"state", "s1"}});
    const auto callback = devstack.followAuthorization(authorization);
    if (!callback) {
        return {};
    }
    const QString code = QUrlQuery(*callback).queryItemValue("code", QUrl::FullyDecoded);
    const QJsonObject token =
        devstack
            .postForm(devstack.googleTokenUrl(), QUrlQuery{{"grant_type", "authorization_code"},
                                                           {"code", code},
                                                           {"code_verifier", verifier},
                                                           {"client_id", devstack.clientId()},
                                                           {"redirect_uri", redirect}})
            .json();
    return devstack
        .postJson(devstack.relayUrl("/api/v1/relay/auth"), {{"google_id_token", token[u"id_token"]},
                                                            {"device_id", "test-device"},
                                                            {"device_name", "Studio"},
                                                            {"force_new_key", true}})
        .json()[u"api_key"]
        .toString();
}

} // namespace

class FingerprintTest : public QObject {
    Q_OBJECT

    std::unique_ptr<Devstack> m_devstack;
    std::unique_ptr<TestHome> m_home;

    std::unique_ptr<GateController> controller() const {
        GateEnvironment environment = m_home->environment();
        environment.relayUrl = QUrl(m_devstack->baseUrl().toString(QUrl::StripTrailingSlash));
        environment.machineName = [] { return QStringLiteral("Studio"); };
        auto made = std::make_unique<GateController>(environment);
        // The start-up probe publishes on its own; let it finish first.
        if (!QTest::qWaitFor([&] { return !made->lastChecked().isEmpty(); }, 10000)) {
            return nullptr;
        }
        return made;
    }

    std::optional<QString> storedFingerprint() const {
        return m_home->settings()->string(QString::fromLatin1(kHostFP));
    }

    void plantAgents() const {
        m_home->makeFile(QStringLiteral("usr/bin/claude"), "#!/bin/sh\n", true);
        m_home->makeFile(QStringLiteral("opt/bin/codex"), "#!/bin/sh\n", true);
        m_home->makeFile(QStringLiteral(".local/bin/gemini"), "#!/bin/sh\n", true);
    }

    QJsonArray ownedRequests() const { return m_devstack->state()[u"owned_requests"].toArray(); }

    // Runs one registration; true once the relay has seen all three agents and the run ended.
    bool registerAll(GateController& gate) const {
        const qsizetype expected = ownedRequests().size() + 3;
        gate.registerDetectedAgents();
        // Each run is a new controller's first: the list fills when the run ends.
        return QTest::qWaitFor([&] { return ownedRequests().size() == expected; }, 15000) &&
               QTest::qWaitFor([&] { return gate.registeredAgents().size() == 3; }, 5000);
    }

    // The fingerprint of every request the relay has seen, in order.
    QStringList sentFingerprints() const {
        QStringList sent;
        for (const QJsonValue& request : ownedRequests()) {
            sent << request[u"body"][u"host_fingerprint"].toString();
        }
        return sent;
    }

private slots:
    void init() {
        m_devstack = std::make_unique<Devstack>();
        QVERIFY(m_devstack->isRunning());
        m_home = std::make_unique<TestHome>();
    }
    void cleanup() {
        m_home.reset();
        m_devstack.reset();
    }

    void aNewFingerprintIsMadeOnceAndKept() {
        plantAgents();
        const QString key = relayApiKey(*m_devstack);
        QVERIFY(key.startsWith(u"kv_"));
        m_home->signIn(key);
        QCOMPARE(storedFingerprint(), std::nullopt);

        auto first = controller();
        QVERIFY(first);
        QVERIFY(registerAll(*first));
        const QString fingerprint = storedFingerprint().value_or(QString());
        QCOMPARE(fingerprint.size(), 36);
        QVERIFY2(kUuidShape.match(fingerprint).hasMatch(), qPrintable(fingerprint));
        QCOMPARE(sentFingerprints(), QStringList(3, fingerprint));

        // A later start reads it back: the relay sees the same computer, not a new one.
        first.reset();
        auto second = controller();
        QVERIFY(second);
        QVERIFY(registerAll(*second));
        QCOMPARE(storedFingerprint(), fingerprint);
        QCOMPARE(sentFingerprints(), QStringList(6, fingerprint));
        QCOMPARE(m_devstack->state()[u"agents"].toArray().size(), 3);
    }

    void aStoredValueIsUsedUnlessEmpty_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("replaced");
        QTest::newRow("empty") << "" << true;
        QTest::newRow("odd value") << "my-box" << false;
        QTest::newRow("lower-case uuid") << "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0" << false;
    }
    void aStoredValueIsUsedUnlessEmpty() {
        QFETCH(QString, stored);
        QFETCH(bool, replaced);
        plantAgents();
        m_home->signIn(relayApiKey(*m_devstack));
        m_home->settings()->setString(QString::fromLatin1(kHostFP), stored);
        auto gate = controller();
        QVERIFY(gate);
        QVERIFY(registerAll(*gate));
        QCOMPARE(gate->registrationError(), std::nullopt);
        const QString used = storedFingerprint().value_or(QString());
        if (replaced) {
            QVERIFY2(kUuidShape.match(used).hasMatch(), qPrintable(used));
        } else {
            QCOMPARE(used, stored);
        }
        QCOMPARE(sentFingerprints(), QStringList(3, used));
    }

    void everyAgentIsRegisteredUnderItsName() {
        plantAgents();
        m_home->signIn(relayApiKey(*m_devstack));
        auto gate = controller();
        QVERIFY(gate);
        QVERIFY(registerAll(*gate));
        QCOMPARE(gate->registrationError(), std::nullopt);
        QStringList names;
        QStringList kinds;
        for (const QJsonValue& request : ownedRequests()) {
            QVERIFY(request[u"authorized"].toBool());
            names << request[u"body"][u"display_name"].toString();
            kinds << request[u"body"][u"kind"].toString();
        }
        QCOMPARE(names,
                 QStringList({"Claude Code on Studio", "Codex on Studio", "Gemini on Studio"}));
        QCOMPARE(kinds, QStringList({"claude_code", "codex", "gemini"}));
        QStringList handles;
        for (const QJsonValue& agent : m_devstack->state()[u"agents"].toArray()) {
            handles << agent[u"handle"].toString();
        }
        QCOMPARE(gate->registeredAgents(), handles);
    }

    void withoutAnApiKeyNothingHappens_data() {
        QTest::addColumn<bool>("emptyKey");
        QTest::newRow("no key") << false;
        QTest::newRow("empty key") << true;
    }
    void withoutAnApiKeyNothingHappens() {
        QFETCH(bool, emptyKey);
        if (emptyKey) {
            m_home->signIn(QString());
        }
        auto gate = controller();
        QVERIFY(gate);
        QVERIFY(gate->detectedAgents().isEmpty());
        // Planted only now, so a detection would change the list.
        plantAgents();

        QSignalSpy changed(gate.get(), &GateController::changed);
        gate->registerDetectedAgents();
        QTest::qWait(500);
        QCOMPARE(changed.count(), 0);
        QVERIFY(gate->detectedAgents().isEmpty());
        QVERIFY(gate->registeredAgents().isEmpty());
        QCOMPARE(gate->registrationError(), std::nullopt);
        QCOMPARE(storedFingerprint(), std::nullopt);
        QCOMPARE(ownedRequests().size(), 0);
    }
};

QTEST_GUILESS_MAIN(FingerprintTest)

#include "tst_fingerprint.moc"
