#include "FaultSupport.h"
#include "gate/GateController.h"
#include "platform/BrowserSignIn.h"
#include "platform/SingleInstance.h"
#include "support/Devstack.h"
#include "support/TestHome.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace FaultSupport;

namespace {

constexpr QFileDevice::Permissions ownerGroupOther{0x7077};
constexpr char signInArgument[] = "--sign-in";
constexpr char devstackVariable[] = "KESTROVA_FAULTS_DEVSTACK";
constexpr char handlerMarker[] = "secrets-child: Qt messages reach standard error";

// Run as a child of this binary: a whole sign-in against the parent's devstack, which approves
// without a page, so the "browser" is one request whose redirect is the callback.
int signInChild(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    qWarning("%s", handlerMarker);
    const QUrl devstack(qEnvironmentVariable(devstackVariable));
    QNetworkAccessManager browser;
    std::shared_ptr<BrowserSignIn> sheet;
    sheet = std::make_shared<BrowserSignIn>([&browser, &sheet](const QUrl& url) {
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply* reply = browser.get(request);
        QObject::connect(reply, &QNetworkReply::finished, sheet.get(), [reply, &sheet] {
            reply->deleteLater();
            sheet->deliverCallback(QUrl::fromEncoded(reply->rawHeader("Location")));
        });
        return true;
    });
    GateEnvironment environment = takeOver();
    environment.google = {.clientId = QStringLiteral("devstack-desktop.apps.googleusercontent.com"),
                          .authorizationUrl = devstack.resolved(QUrl("/o/oauth2/v2/auth")),
                          .tokenUrl = devstack.resolved(QUrl("/token"))};
    environment.relayUrl = QUrl(devstack.toString(QUrl::StripTrailingSlash));
    environment.signInSheet = sheet;
    GateController controller(environment);
    bool reported = false;
    QObject::connect(&controller, &GateController::changed, &app, [&controller, &reported] {
        if (reported) {
            return;
        }
        const bool registered =
            !controller.registeredAgents().isEmpty() || controller.registrationError();
        if (!controller.signingIn() && controller.lastError()) {
            reported = true;
            std::printf("failed: %s\n", qPrintable(*controller.lastError()));
            QCoreApplication::exit(1);
        } else if (!controller.signingIn() && controller.helperRunning() && registered) {
            reported = true;
            std::printf("signed in, gate %lld\n", controller.gateProcessId().value_or(0));
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

// How a connection from another user ended.
enum Reach { Refused = 10, OtherFailure = 11, HungUp = 20, KeptOpen = 21 };

// Forks a child that becomes `nobody`, connects to the socket and asks for the window.
int reachAsNobody(const QByteArray& socketPath) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(OtherFailure);
        }
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", socketPath.constData());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            ::_exit(errno == EACCES ? Refused : OtherFailure);
        }
        if (::write(fd, "show\n", 5) != 5) {
            ::_exit(HungUp);
        }
        pollfd answer{.fd = fd, .events = POLLIN, .revents = 0};
        char byte = 0;
        ::_exit(::poll(&answer, 1, 3000) == 1 && ::read(fd, &byte, 1) <= 0 ? HungUp : KeptOpen);
    }
    // The instance needs the event loop to accept and judge the connection.
    int status = -1;
    const bool ended =
        child > 0 &&
        QTest::qWaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 10000);
    if (child > 0 && !ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        return -1;
    }
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

class SecretsTest : public QObject {
    Q_OBJECT

private slots:
    void aWholeSignInPrintsNoSecret() {
        const TestHome home;
        home.makeFile(QStringLiteral("usr/bin/claude"), "#!/bin/sh\n", true);
        GateReaper reaper(home.home());
        Devstack devstack({QStringLiteral("--auto-approve")});
        QVERIFY(devstack.isRunning());

        QProcess child;
        QProcessEnvironment environment = handOver(home);
        environment.insert(QString::fromLatin1(devstackVariable), devstack.baseUrl().toString());
        // Every category on, so a debug line added anywhere later is covered too.
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*=true"));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(signInArgument)});
        QVERIFY(child.waitForFinished(90000));
        const QByteArray out = child.readAllStandardOutput();
        const QByteArray err = child.readAllStandardError();
        const qsizetype at = out.indexOf("signed in, gate ");
        const qint64 gate = at < 0 ? 0 : out.mid(at + 16).split('\n').first().toLongLong();
        reaper.pids << gate;
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0 && gate > 0,
                 out + err);

        const QJsonObject state = devstack.state();
        const QString apiKey = state[u"accounts"][0][u"api_key"].toString();
        QString idToken = state[u"auth_requests"][0][u"google_id_token"].toString();
        idToken.chop(1); // the devstack keeps a prefix and an ellipsis
        QVERIFY2(apiKey.size() >= 16 && idToken.size() >= 8, qPrintable(apiKey + u' ' + idToken));
        // The capture is real: Qt's handler and the gate's own log are both in it.
        QVERIFY(err.contains(handlerMarker));
        QFile gateLog(home.path(QStringLiteral(".local/state/kestrova-helper/gate.log")));
        QVERIFY(gateLog.open(QIODevice::ReadOnly));
        const QByteArray gateSaid = gateLog.readAll();
        QVERIFY(gateSaid.contains("bk-mcp-daemon: listening on"));
        QVERIFY(commandLine(gate).contains("--config"));
        for (const QString& secret : {apiKey, idToken}) {
            QVERIFY2(!out.contains(secret.toUtf8()), "a secret reached standard output");
            QVERIFY2(!err.contains(secret.toUtf8()), "a secret reached standard error");
            QVERIFY2(!gateSaid.contains(secret.toUtf8()), "a secret reached the gate's log");
            QVERIFY2(!commandLine(gate).contains(secret.toUtf8()), "on the gate's command line");
        }

        QFile settings(home.settingsFile());
        QVERIFY(settings.open(QIODevice::ReadOnly));
        QVERIFY(settings.readAll().contains("kv.apiKey=" + apiKey.toUtf8()));
        QCOMPARE(settings.permissions() & ownerGroupOther, QFile::ReadOwner | QFile::WriteOwner);
        const QString config = home.supportDir() + QStringLiteral("/bramblekit.json");
        QCOMPARE(QFileInfo(config).permissions() & ownerGroupOther,
                 QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(QFileInfo(home.supportDir()).permissions() & ownerGroupOther,
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void anotherUserCannotReachTheInstance() {
        if (::geteuid() != 0) {
            QSKIP("acting as another user needs root");
        }
        QTemporaryDir runtime;
        QVERIFY(QFile::setPermissions(runtime.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QByteArray previous = qgetenv("XDG_RUNTIME_DIR");
        const auto restore = qScopeGuard([&] {
            previous.isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", previous);
        });
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        SingleInstance instance;
        QVERIFY(instance.claim());
        QSignalSpy shown(&instance, &SingleInstance::showRequested);
        const QString socket = SingleInstance::socketPath();

        // The folder is opened for passing through, so only the socket file's bits stand.
        QVERIFY(QFile::setPermissions(runtime.path(), QFile::permissions(runtime.path()) |
                                                          QFile::ExeGroup | QFile::ExeOther));
        QCOMPARE(QFileInfo(socket).permissions() & ownerGroupOther,
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(reachAsNobody(QFile::encodeName(socket)), int(Refused));
        // With the file opened to everyone as well, the peer check is what is left.
        QVERIFY(QFile::setPermissions(socket, QFileDevice::Permissions(0x7777)));
        QCOMPARE(reachAsNobody(QFile::encodeName(socket)), int(HungUp));
        QCOMPARE(shown.count(), 0);

        QVERIFY(QFile::setPermissions(runtime.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(SingleInstance::requestShow());
        QTRY_COMPARE(shown.count(), 1);
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
