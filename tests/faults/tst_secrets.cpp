#include "gate/GateController.h"
#include "platform/BrowserSignIn.h"
#include "support/Devstack.h"
#include "support/TestHome.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutex>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>

namespace {

constexpr QFileDevice::Permissions ownerGroupOther{0x7077};

// Every message logged anywhere in the process, on any thread.
QMutex loggedLock;
QByteArray logged;

void keepMessage(QtMsgType, const QMessageLogContext& context, const QString& message) {
    const QMutexLocker lock(&loggedLock);
    logged += QByteArray(context.category) + ": " + message.toUtf8() + '\n';
}

} // namespace

class SecretsTest : public QObject {
    Q_OBJECT

private slots:
    void aWholeSignInLogsNoSecret() {
        const TestHome home;
        home.makeFile(QStringLiteral("usr/bin/claude"), "#!/bin/sh\n", true);
        Devstack devstack({QStringLiteral("--auto-approve")});
        QVERIFY(devstack.isRunning());
        // The devstack approves without a page: the "browser" is one request whose redirect is
        // the callback, kept for its code.
        QUrl callback;
        std::shared_ptr<BrowserSignIn> sheet;
        sheet = std::make_shared<BrowserSignIn>([&](const QUrl& url) {
            QTimer::singleShot(0, sheet.get(), [&, url] {
                callback = devstack.followAuthorization(url).value_or(QUrl());
                sheet->deliverCallback(callback);
            });
            return true;
        });
        GateEnvironment environment = home.environmentWithDaemon();
        environment.google = {.clientId = devstack.clientId(),
                              .authorizationUrl = devstack.googleAuthUrl(),
                              .tokenUrl = devstack.googleTokenUrl()};
        environment.relayUrl = QUrl(devstack.baseUrl().toString(QUrl::StripTrailingSlash));
        environment.signInSheet = sheet;
        environment.machineName = [] { return QStringLiteral("Studio"); };

        // Every category on, so a debug line added anywhere later is covered too.
        QLoggingCategory::setFilterRules(QStringLiteral("*=true"));
        const QtMessageHandler previous = qInstallMessageHandler(keepMessage);
        GateController controller(environment);
        controller.signIn();
        QTRY_VERIFY_WITH_TIMEOUT(!controller.signingIn(), 30000);
        QCOMPARE(controller.lastError(), std::nullopt);
        QTRY_VERIFY_WITH_TIMEOUT(
            controller.helperRunning() &&
                (!controller.registeredAgents().isEmpty() || controller.registrationError()),
            30000);
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());

        const QJsonObject state = devstack.state();
        QFile gateKey(home.supportDir() + QStringLiteral("/gate-secret"));
        QVERIFY(gateKey.open(QIODevice::ReadOnly));
        const QStringList secrets{
            state[u"accounts"][0][u"api_key"].toString(),
            // The devstack keeps a prefix and an ellipsis.
            state[u"auth_requests"][0][u"google_id_token"].toString().chopped(1),
            QUrlQuery(callback).queryItemValue(QStringLiteral("code")),
            QString::fromLatin1(gateKey.readAll()).trimmed()};
        QVERIFY2(secrets[0].size() >= 16 && secrets[1].size() >= 8 && secrets[2].size() >= 8 &&
                     secrets[3].size() == 43,
                 qPrintable(secrets.join(u' ')));
        // The capture is real: the account's own lines, the gate's log and its arguments.
        QVERIFY(logged.contains("kestrova.account: signed in"));
        QFile gateLog(home.path(QStringLiteral(".local/state/kestrova-helper/gate.log")));
        QVERIFY(gateLog.open(QIODevice::ReadOnly));
        const QByteArray gateSaid = gateLog.readAll();
        QVERIFY(gateSaid.contains("bk-mcp-daemon: listening on"));
        QList<qint64> gates = processesMentioning(home.supportDir());
        // The agents' settings may be being read at this moment, by a process of its own.
        gates.removeIf([](qint64 pid) { return !commandLine(pid).contains("bk-mcp-daemon"); });
        QCOMPARE(gates.size(), 1);
        QVERIFY(commandLine(gates[0]).contains("--config"));
        const QByteArray seen = logged + gateSaid + commandLine(gates[0]);
        for (const QString& secret : secrets) {
            QVERIFY2(!seen.contains(secret.toUtf8()),
                     "a secret in the log, the gate's log or the gate's arguments");
        }
        // The files that hold the key are the user's alone.
        for (const QString& path : {home.settingsFile(), home.supportDir() + "/bramblekit.json",
                                    home.supportDir() + "/gate-secret"}) {
            QCOMPARE(QFileInfo(path).permissions() & ownerGroupOther,
                     QFile::ReadOwner | QFile::WriteOwner);
        }
    }
};

QTEST_GUILESS_MAIN(SecretsTest)
#include "tst_secrets.moc"
