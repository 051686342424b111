#include "gate/GateController.h"
#include "platform/BrowserSignIn.h"
#include "support/Devstack.h"
#include "support/TestHome.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>

#include <cstdio>

using namespace std::chrono_literals;

namespace {

constexpr QFileDevice::Permissions ownerGroupOther{0x7077};
constexpr char signInArgument[] = "--sign-in";
constexpr char devstackVariable[] = "KESTROVA_FAULTS_DEVSTACK";
constexpr char handlerMarker[] = "secrets-child: Qt messages reach standard error";

// Run as a child of this binary: a whole sign-in against the parent's devstack, which approves
// without a page, so the "browser" is one request whose redirect is the callback. The callback
// is kept in the home, for the parent to know the code.
int signInChild(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    qWarning("%s", handlerMarker);
    const auto home = TestHome::inherited();
    const QUrl devstack(qEnvironmentVariable(devstackVariable));
    QNetworkAccessManager browser;
    std::shared_ptr<BrowserSignIn> sheet;
    sheet = std::make_shared<BrowserSignIn>([&](const QUrl& url) {
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply* reply = browser.get(request);
        QObject::connect(reply, &QNetworkReply::finished, sheet.get(), [&, reply] {
            reply->deleteLater();
            QFile kept(home->path(QStringLiteral("callback")));
            if (kept.open(QIODevice::WriteOnly)) {
                kept.write(reply->rawHeader("Location"));
            }
            sheet->deliverCallback(QUrl::fromEncoded(reply->rawHeader("Location")));
        });
        return true;
    });
    GateEnvironment environment = home->environmentWithDaemon();
    environment.google = {.clientId = QStringLiteral("devstack-desktop.apps.googleusercontent.com"),
                          .authorizationUrl = devstack.resolved(QUrl("/o/oauth2/v2/auth")),
                          .tokenUrl = devstack.resolved(QUrl("/token"))};
    environment.relayUrl = QUrl(devstack.toString(QUrl::StripTrailingSlash));
    environment.signInSheet = sheet;
    environment.machineName = [] { return QStringLiteral("Studio"); };
    GateController controller(environment);
    QObject::connect(&controller, &GateController::changed, &app, [&controller] {
        const bool registered =
            !controller.registeredAgents().isEmpty() || controller.registrationError();
        if (!controller.signingIn() && controller.lastError()) {
            std::printf("failed: %s\n", qPrintable(*controller.lastError()));
            QCoreApplication::exit(1);
        } else if (!controller.signingIn() && controller.helperRunning() && registered) {
            QCoreApplication::exit(0);
        }
    });
    controller.signIn();
    // The controller probes once after a launch; a gate slow to start is only seen when asked.
    QTimer asker;
    QObject::connect(&asker, &QTimer::timeout, &controller, &GateController::refresh);
    asker.start(500ms);
    QTimer::singleShot(60s, &app, [] { QCoreApplication::exit(3); });
    return QCoreApplication::exec();
}

} // namespace

class SecretsTest : public QObject {
    Q_OBJECT

private slots:
    void aWholeSignInPrintsNoSecret() {
        const TestHome home;
        home.makeFile(QStringLiteral("usr/bin/claude"), "#!/bin/sh\n", true);
        Devstack devstack({QStringLiteral("--auto-approve")});
        QVERIFY(devstack.isRunning());

        QProcess child;
        QProcessEnvironment environment = home.handOver();
        environment.insert(QString::fromLatin1(devstackVariable), devstack.baseUrl().toString());
        // Every category on, so a debug line added anywhere later is covered too.
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*=true"));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(signInArgument)});
        QVERIFY(child.waitForFinished(90000));
        const QByteArray out = child.readAllStandardOutput();
        const QByteArray err = child.readAllStandardError();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, out + err);

        const QJsonObject state = devstack.state();
        QFile callback(home.path(QStringLiteral("callback")));
        QVERIFY(callback.open(QIODevice::ReadOnly));
        const QStringList secrets{
            state[u"accounts"][0][u"api_key"].toString(),
            // The devstack keeps a prefix and an ellipsis.
            state[u"auth_requests"][0][u"google_id_token"].toString().chopped(1),
            QUrlQuery(QUrl::fromEncoded(callback.readAll()))
                .queryItemValue(QStringLiteral("code"))};
        QVERIFY2(secrets[0].size() >= 16 && secrets[1].size() >= 8 && secrets[2].size() >= 8,
                 qPrintable(secrets.join(u' ')));
        // The capture is real: Qt's handler, the gate's own log and its arguments are all in it.
        QVERIFY(err.contains(handlerMarker));
        QFile gateLog(home.path(QStringLiteral(".local/state/kestrova-helper/gate.log")));
        QVERIFY(gateLog.open(QIODevice::ReadOnly));
        const QByteArray gateSaid = gateLog.readAll();
        QVERIFY(gateSaid.contains("bk-mcp-daemon: listening on"));
        const QList<qint64> gates = processesMentioning(home.home());
        QCOMPARE(gates.size(), 1);
        QVERIFY(commandLine(gates[0]).contains("--config"));
        const QByteArray seen = out + err + gateSaid + commandLine(gates[0]);
        for (const QString& secret : secrets) {
            QVERIFY2(!seen.contains(secret.toUtf8()),
                     "a secret in the output, the gate's log or the gate's arguments");
        }
        // The files that hold the key are the user's alone.
        for (const QString& path : {home.settingsFile(), home.supportDir() + "/bramblekit.json"}) {
            QCOMPARE(QFileInfo(path).permissions() & ownerGroupOther,
                     QFile::ReadOwner | QFile::WriteOwner);
        }
    }
};

int main(int argc, char** argv) {
    if (argc == 2 && qstrcmp(argv[1], signInArgument) == 0) {
        return signInChild(argc, argv);
    }
    QCoreApplication app(argc, argv);
    SecretsTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_secrets.moc"
