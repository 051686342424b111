#include "support/TestHome.h"

#include "app/ControllerAssembly.h"
#include "gate/GateController.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <cmath>
#include <csignal>

TestHome::TestHome()
    : ownPort(freePort())
    , existingPort(freePort()) {
    QDir().mkpath(home() + QStringLiteral("/.local/share"));
    QDir().mkdir(runtimeFolder());
    QFile::setPermissions(runtimeFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (qEnvironmentVariableIsSet("XDG_RUNTIME_DIR")) {
        m_previousRuntime = qgetenv("XDG_RUNTIME_DIR");
    }
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeFolder()));
    m_settings = SettingsStore::openFile(settingsFile());
}

TestHome::~TestHome() {
    for (const qint64 pid : processesMentioning(home())) {
        killProcess(pid);
    }
    if (m_previousRuntime) {
        qputenv("XDG_RUNTIME_DIR", *m_previousRuntime);
    } else {
        qunsetenv("XDG_RUNTIME_DIR");
    }
}

GateEnvironment TestHome::environment() const {
    GateEnvironment environment;
    environment.homeFolder = home();
    environment.applicationSupportFolder = home() + QStringLiteral("/.local/share");
    environment.stateFolder = home() + QStringLiteral("/.local/state");
    environment.settings = m_settings;
    environment.network = std::make_shared<QNetworkAccessManager>();
    environment.ownGatePort = ownPort;
    environment.existingGatePort = existingPort;
    environment.agentSearchFolders = {path(QStringLiteral("opt/bin/")),
                                      path(QStringLiteral("usr/bin/")),
                                      path(QStringLiteral(".local/bin/"))};
    environment.webUrl = QUrl(QStringLiteral("http://127.0.0.1:9/"));
    environment.openUrl = [urls = openedUrls](const QUrl& url) { urls->append(url); };
    environment.loginItem = loginItem;
    ControllerAssembly::plugInParts(environment);
    return environment;
}

GateEnvironment TestHome::environmentWithDaemon() const {
    GateEnvironment environment = this->environment();
    environment.resourceFolder = QStringLiteral(KESTROVA_TEST_RESOURCE_DIR);
    environment.hookProgram = QStringLiteral(KESTROVA_HOOK_BINARY);
    environment.systemNodeCandidates = {QStandardPaths::findExecutable(QStringLiteral("node"))};
    return environment;
}

GateEnvironment TestHome::environmentWithRuntime(const QByteArray& script) const {
    makeFile(QStringLiteral("bin/node"),
             "#!/bin/sh\nnode='" +
                 QFile::encodeName(QStandardPaths::findExecutable(QStringLiteral("node"))) +
                 "'\nhome='" + QFile::encodeName(home()) + "'\n" + script,
             true);
    GateEnvironment environment = environmentWithDaemon();
    environment.systemNodeCandidates = {path(QStringLiteral("bin/node"))};
    return environment;
}

void TestHome::signIn(const QString& apiKey) const {
    m_settings->setString(QString::fromLatin1(SettingsKeys::kApiKey), apiKey);
}

void TestHome::makeFile(const QString& relative, const QByteArray& contents,
                        bool executable) const {
    QFile file(path(relative));
    QDir().mkpath(QFileInfo(file).absolutePath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(contents);
    if (executable) {
        file.setPermissions(file.permissions() | QFile::ExeOwner);
    }
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

void killProcess(qint64 pid) {
    if (pid > 0) {
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
}

bool processAlive(qint64 pid) {
    // A zombie nobody has reaped yet has ended all the same.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray line = stat.readAll();
    const qsizetype afterName = line.lastIndexOf(')');
    return afterName > 0 && line.size() > afterName + 2 && line.at(afterName + 2) != 'Z';
}

QByteArray contentsOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray commandLine(qint64 pid) {
    return contentsOf(QStringLiteral("/proc/%1/cmdline").arg(pid));
}

QList<qint64> processesMentioning(const QString& text) {
    QList<qint64> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const qint64 pid = entry.toLongLong();
        if (commandLine(pid).replace('\0', ' ').contains(QFile::encodeName(text)) &&
            processAlive(pid)) {
            found << pid;
        }
    }
    return found;
}

double contrastRatio(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& color) {
        const auto channel = [](double c) {
            return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) +
               0.0722 * channel(color.blueF());
    };
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}
