#include "FaultSupport.h"

#include "app/ControllerAssembly.h"
#include "support/FakeLoginItem.h"
#include "support/TestHome.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTcpSocket>

#include <algorithm>

namespace FaultSupport {

namespace {
constexpr char homeVariable[] = "KESTROVA_FAULTS_HOME";
constexpr char settingsVariable[] = "KESTROVA_FAULTS_SETTINGS";
constexpr char ownPortVariable[] = "KESTROVA_FAULTS_OWN_PORT";
constexpr char existingPortVariable[] = "KESTROVA_FAULTS_EXISTING_PORT";

QString variable(const char* name) {
    return qEnvironmentVariable(name);
}
} // namespace

QProcessEnvironment handOver(const TestHome& home) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(homeVariable), home.home());
    environment.insert(QString::fromLatin1(settingsVariable), home.settingsFile());
    environment.insert(QString::fromLatin1(ownPortVariable), QString::number(home.ownPort));
    environment.insert(QString::fromLatin1(existingPortVariable),
                       QString::number(home.existingPort));
    return environment;
}

GateEnvironment takeOver() {
    // The same fields TestHome::environmentWithDaemon() fills, from the parent's values.
    const QString home = variable(homeVariable);
    GateEnvironment environment;
    environment.homeFolder = home;
    environment.applicationSupportFolder = home + QStringLiteral("/.local/share");
    environment.stateFolder = home + QStringLiteral("/.local/state");
    environment.resourceFolder = QStringLiteral(KESTROVA_TEST_RESOURCE_DIR);
    environment.settings = SettingsStore::openFile(variable(settingsVariable));
    environment.ownGatePort = variable(ownPortVariable).toUShort();
    environment.existingGatePort = variable(existingPortVariable).toUShort();
    environment.systemNodeCandidates = {QStandardPaths::findExecutable(QStringLiteral("node"))};
    environment.agentSearchFolders = {home + QStringLiteral("/usr/bin/")};
    environment.webUrl = QUrl(QStringLiteral("http://127.0.0.1:9/"));
    environment.openUrl = [](const QUrl&) {};
    environment.loginItem = std::make_shared<FakeLoginItem>();
    environment.machineName = [] { return QStringLiteral("Studio"); };
    environment.network = std::make_shared<QNetworkAccessManager>();
    ControllerAssembly::plugInParts(environment);
    return environment;
}

QByteArray commandLine(qint64 pid) {
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<qint64> processesMentioning(const QString& text) {
    const QByteArray needle = QFile::encodeName(text);
    QList<qint64> found;
    if (needle.isEmpty()) {
        return found;
    }
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (numeric && commandLine(pid).replace('\0', ' ').contains(needle) && processAlive(pid)) {
            found << pid;
        }
    }
    return found;
}

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

int openPidfds() {
    const QFileInfoList entries =
        QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::Files | QDir::System);
    return int(std::ranges::count_if(entries, [](const QFileInfo& entry) {
        return entry.symLinkTarget().endsWith(QStringLiteral("[pidfd]"));
    }));
}

bool accepts(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(1000);
}

GateReaper::~GateReaper() {
    for (const qint64 pid : pids + processesMentioning(m_home)) {
        killProcess(pid);
    }
}

} // namespace FaultSupport
