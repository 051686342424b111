#include "support/TestHome.h"

#include "app/ControllerAssembly.h"
#include "gate/GateController.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <csignal>

namespace {
constexpr char rootVariable[] = "KESTROVA_TEST_ROOT";
constexpr char portsVariable[] = "KESTROVA_TEST_PORTS";
} // namespace

TestHome::TestHome()
    : TestHome(QString(), freePort(), freePort()) {
}

TestHome::TestHome(const QString& inheritedRoot, quint16 own, quint16 existing)
    : ownPort(own)
    , existingPort(existing)
    , m_dir(inheritedRoot.isEmpty() ? std::make_unique<QTemporaryDir>() : nullptr)
    , m_root(m_dir ? m_dir->path() : inheritedRoot) {
    QDir().mkpath(home() + QStringLiteral("/.local/share"));
    m_settings = SettingsStore::openFile(settingsFile());
}

TestHome::~TestHome() {
    if (m_dir) {
        for (const qint64 pid : processesMentioning(home())) {
            killProcess(pid);
        }
    }
}

QProcessEnvironment TestHome::handOver() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(rootVariable), m_root);
    environment.insert(QString::fromLatin1(portsVariable),
                       QStringLiteral("%1 %2").arg(ownPort).arg(existingPort));
    return environment;
}

std::unique_ptr<TestHome> TestHome::inherited() {
    const QStringList ports = qEnvironmentVariable(portsVariable).split(u' ');
    return std::unique_ptr<TestHome>(new TestHome(
        qEnvironmentVariable(rootVariable), ports.value(0).toUShort(), ports.value(1).toUShort()));
}

QString TestHome::supportDir() const {
    return home() + QStringLiteral("/.local/share/Kestrova Helper");
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
    environment.systemNodeCandidates = {QStandardPaths::findExecutable(QStringLiteral("node"))};
    return environment;
}

void TestHome::signIn(const QString& apiKey) const {
    m_settings->setString(QString::fromLatin1(SettingsKeys::kApiKey), apiKey);
}

void TestHome::makeFile(const QString& relative, const QByteArray& contents,
                        bool executable) const {
    const QString filePath = path(relative);
    QDir().mkpath(QFileInfo(filePath).absolutePath());
    QFile file(filePath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(contents);
    file.close();
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

QByteArray commandLine(qint64 pid) {
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
