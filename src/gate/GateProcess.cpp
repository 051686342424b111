#include "gate/GateProcess.h"

#include "gate/GateLog.h"
#include "platform/ListeningSockets.h"
#include "platform/SessionSpawn.h"

#include <QFile>
#include <QSocketNotifier>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// Called through syscall(): glibc 2.36 declares the wrappers without C linkage for C++.
int openPidfd(qint64 pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
}

// A field of /proc/PID/stat (numbered from 1), counted after the parenthesised command name,
// which may itself hold spaces and parentheses. Zero when the process is gone, a zombie (it has
// ended, only nobody reaped it yet) or the line is garbage.
quint64 statField(qint64 pid, qsizetype number) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QByteArray line = stat.read(4096);
    const qsizetype afterName = line.lastIndexOf(')');
    // Fields from the state (the 3rd) on.
    const QList<QByteArray> fields = line.mid(afterName + 1).simplified().split(' ');
    if (afterName <= 0 || fields.size() <= number - 3 || fields.at(0) == "Z") {
        return 0;
    }
    return fields.at(number - 3).toULongLong();
}

quint64 startTimeOf(qint64 pid) {
    return statField(pid, 22);
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

// The log writer, reading from a pipe whose other end, for the gate's output, is placed in
// *gateOutput (else -1). Nothing when none is wanted or it cannot start: the gate's output is
// then dropped.
std::optional<qint64> startLogWriter(const QStringList& command, int* gateOutput) {
    std::array<int, 2> ends{-1, -1};
    if (command.isEmpty() || ::pipe2(ends.data(), O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    const auto started = SessionSpawn::start({.command = command,
                                              .workingDirectory = QStringLiteral("/"),
                                              .environment = {},
                                              .input = ends[0]});
    ::close(ends[0]);
    if (!started) {
        qCWarning(lcGate) << "the gate's log is not kept:" << started.error();
        ::close(ends[1]);
        return std::nullopt;
    }
    *gateOutput = ends[1];
    return *started;
}
} // namespace

std::expected<std::unique_ptr<GateProcess>, QString> GateProcess::launch(const Command& command) {
    int output = -1;
    const std::optional<qint64> logWriter = startLogWriter(command.logWriter, &output);
    const auto started =
        SessionSpawn::start({.command = QStringList{command.program} + command.arguments,
                             .workingDirectory = command.workingDirectory,
                             .environment = command.environment.toStringList(),
                             .output = output});
    if (output >= 0) {
        ::close(output);
    }
    if (!started) {
        if (logWriter) {
            // Its input has ended with the gate's end of the pipe: it ends at once.
            ::waitpid(static_cast<pid_t>(*logWriter), nullptr, 0);
        }
        return std::unexpected(started.error());
    }
    const qint64 pid = *started;
    bool gone = false;
    const int pidfd = watchable(pid, &gone);
    auto process = std::unique_ptr<GateProcess>(new GateProcess({pid, startTimeOf(pid)}, pidfd));
    process->m_child = true;
    if (logWriter) {
        process->watchLogWriter(*logWriter);
    }
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

GateProcess::Identity GateProcess::identityOf(qint64 pid) {
    return {pid, startTimeOf(pid)};
}

bool GateProcess::holds(quint64 socketInode) const {
    // A socket stays with whoever held it when it was looked at: only a new one is looked at.
    if (m_socket && m_socket->inode == socketInode) {
        return m_socket->held;
    }
    bool held = ListeningSockets::holds(pid(), socketInode);
    if (!held) {
        // A runtime that starts node as its child instead of becoming it: the gate's session.
        const QList<qint64> holders = ListeningSockets::holders(socketInode);
        held = std::any_of(holders.cbegin(), holders.cend(), [this](qint64 holder) {
            return statField(holder, 6) == static_cast<quint64>(pid());
        });
    }
    m_socket = {.inode = socketInode, .held = held};
    return held;
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
    m_logWriterWatch.reset();
    for (const int pidfd : {m_pidfd, m_logWriterPidfd}) {
        if (pidfd >= 0) {
            ::close(pidfd);
        }
    }
}

void GateProcess::watchLogWriter(qint64 pid) {
    bool gone = false;
    m_logWriter = pid;
    m_logWriterPidfd = watchable(pid, &gone);
    if (m_logWriterPidfd < 0) {
        // Reaped when looked for (checkEnded()): a child of ours, its id is not reused before.
        return;
    }
    m_logWriterWatch = std::make_unique<QSocketNotifier>(m_logWriterPidfd, QSocketNotifier::Read);
    connect(m_logWriterWatch.get(), &QSocketNotifier::activated, this,
            &GateProcess::logWriterEnded);
}

void GateProcess::logWriterEnded() {
    if (m_logWriterWatch) {
        m_logWriterWatch->setEnabled(false);
    }
    ::waitpid(static_cast<pid_t>(m_logWriter), nullptr, WNOHANG);
    m_logWriter = 0;
    if (m_ended) {
        emit exited();
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
    if (m_logWriter != 0 && m_logWriterPidfd < 0 &&
        ::waitpid(static_cast<pid_t>(m_logWriter), nullptr, WNOHANG) == m_logWriter) {
        logWriterEnded();
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
    if (m_child) {
        ::waitpid(static_cast<pid_t>(pid()), nullptr, WNOHANG);
    }
    // Whatever the gate said last is in the log once its writer has ended too.
    if (m_logWriter != 0 && m_logWriterPidfd < 0 &&
        ::waitpid(static_cast<pid_t>(m_logWriter), nullptr, WNOHANG) == m_logWriter) {
        m_logWriter = 0;
    }
    if (m_logWriter == 0) {
        emit exited();
    }
}
