#include "gate/GateProcess.h"

#include "gate/GateLog.h"

#include <QFile>
#include <QProcess>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// Called through syscall(): glibc 2.36 declares the wrappers without C linkage for C++.
int openPidfd(qint64 pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
}

// The 22nd field of /proc/PID/stat, counted after the parenthesised command name, which may
// itself hold spaces and parentheses. Zero when the process is gone, a zombie (it has ended,
// only nobody reaped it yet) or the line is garbage.
quint64 startTimeOf(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QByteArray line = stat.read(4096);
    const qsizetype afterName = line.lastIndexOf(')');
    const QList<QByteArray> fields = line.mid(afterName + 1).simplified().split(' ');
    // Fields from the state (the 3rd) on; the start time is the 22nd.
    constexpr qsizetype startTimeField = 22 - 3;
    if (afterName <= 0 || fields.size() <= startTimeField || fields.at(0) == "Z") {
        return 0;
    }
    return fields.at(startTimeField).toULongLong();
}

bool hasArgument(qint64 pid, const QString& argument) {
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    return cmdline.open(QIODevice::ReadOnly) &&
           cmdline.readAll().split('\0').contains(QFile::encodeName(argument));
}

// A pidfd for the process, or -1 for one that is gone (ESRCH) or cannot be watched that way.
int watchable(qint64 pid, bool* gone) {
    const int pidfd = openPidfd(pid);
    *gone = pidfd < 0 && errno == ESRCH;
    if (pidfd < 0 && !*gone) {
        qCWarning(lcGate) << "no pidfd for the gate, errno" << errno << "; watched by its id";
    }
    return pidfd;
}
} // namespace

std::expected<std::unique_ptr<GateProcess>, QString> GateProcess::launch(const Command& command) {
    QProcess starter;
    starter.setProgram(command.program);
    starter.setArguments(command.arguments);
    starter.setWorkingDirectory(command.workingDirectory);
    starter.setProcessEnvironment(command.environment);
    if (!command.outputFile.isEmpty()) {
        starter.setStandardOutputFile(command.outputFile, QIODevice::Append);
        starter.setStandardErrorFile(command.outputFile, QIODevice::Append);
    }
    qint64 pid = 0;
    if (!starter.startDetached(&pid)) {
        return std::unexpected(starter.errorString());
    }
    bool gone = false;
    const int pidfd = watchable(pid, &gone);
    auto process = std::unique_ptr<GateProcess>(new GateProcess({pid, startTimeOf(pid)}, pidfd));
    if (gone) {
        // The gate was gone before it could be watched (it exited at once).
        QTimer::singleShot(0, process.get(), &GateProcess::end);
    }
    return process;
}

std::unique_ptr<GateProcess> GateProcess::adopt(const Identity& identity,
                                                const QString& configPath) {
    if (identity.startTime == 0 || startTimeOf(identity.pid) != identity.startTime ||
        !hasArgument(identity.pid, configPath)) {
        return nullptr;
    }
    bool gone = false;
    const int pidfd = watchable(identity.pid, &gone);
    // Checked again now that the pidfd holds the process: the id may have been reused between.
    if (gone || startTimeOf(identity.pid) != identity.startTime) {
        if (pidfd >= 0) {
            ::close(pidfd);
        }
        return nullptr;
    }
    return std::unique_ptr<GateProcess>(new GateProcess(identity, pidfd));
}

GateProcess::GateProcess(Identity identity, int pidfd)
    : m_identity(identity)
    , m_pidfd(pidfd) {
    m_killTimer.setSingleShot(true);
    connect(&m_killTimer, &QTimer::timeout, this, [this] {
        qCWarning(lcGate) << "the gate ignored SIGTERM; killing pid" << pid();
        signal(SIGKILL);
    });
    if (m_pidfd >= 0) {
        m_watch = std::make_unique<QSocketNotifier>(m_pidfd, QSocketNotifier::Read);
        connect(m_watch.get(), &QSocketNotifier::activated, this, &GateProcess::end);
    }
}

GateProcess::~GateProcess() {
    m_watch.reset();
    if (m_pidfd >= 0) {
        ::close(m_pidfd);
    }
}

void GateProcess::signal(int number) const {
    if (m_ended) {
        return;
    }
    if (m_pidfd >= 0) {
        ::syscall(SYS_pidfd_send_signal, m_pidfd, number, nullptr, 0);
    } else if (startTimeOf(pid()) == m_identity.startTime) {
        // Without a pidfd the start time is what tells this gate from a later process.
        ::kill(static_cast<pid_t>(pid()), number);
    }
}

void GateProcess::stop(std::chrono::milliseconds grace) {
    signal(SIGTERM);
    m_killTimer.start(grace);
}

void GateProcess::checkEnded() {
    if (m_pidfd < 0 && !m_ended && startTimeOf(pid()) != m_identity.startTime) {
        end();
    }
}

void GateProcess::end() {
    if (m_ended) {
        return;
    }
    m_ended = true;
    m_killTimer.stop();
    if (m_watch) {
        m_watch->setEnabled(false);
    }
    emit exited();
}
