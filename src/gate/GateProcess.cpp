#include "gate/GateProcess.h"

#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// Called through syscall(): glibc 2.36 declares the wrappers without C linkage for C++.
int openPidfd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

void sendSignal(int pidfd, int signal) {
    ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0);
}
} // namespace

std::expected<std::unique_ptr<GateProcess>, QString> GateProcess::launch(const Command& command) {
    QProcess starter;
    starter.setProgram(command.program);
    starter.setArguments(command.arguments);
    starter.setWorkingDirectory(command.workingDirectory);
    starter.setProcessEnvironment(command.environment);
    qint64 pid = 0;
    if (!starter.startDetached(&pid)) {
        return std::unexpected(starter.errorString());
    }
    const int pidfd = openPidfd(static_cast<pid_t>(pid));
    return std::unique_ptr<GateProcess>(new GateProcess(pid, pidfd));
}

GateProcess::GateProcess(qint64 pid, int pidfd)
    : m_pid(pid)
    , m_pidfd(pidfd) {
    if (m_pidfd < 0) {
        // The gate was gone before it could be watched (it exited at once).
        QTimer::singleShot(0, this, &GateProcess::exited);
        return;
    }
    m_watch = std::make_unique<QSocketNotifier>(m_pidfd, QSocketNotifier::Read);
    connect(m_watch.get(), &QSocketNotifier::activated, this, &GateProcess::onPidfdReadable);
}

GateProcess::~GateProcess() {
    m_watch.reset();
    if (m_pidfd >= 0) {
        ::close(m_pidfd);
    }
}

void GateProcess::terminate() const {
    if (m_pidfd >= 0) {
        sendSignal(m_pidfd, SIGTERM);
    }
}

void GateProcess::onPidfdReadable() {
    m_watch->setEnabled(false);
    emit exited();
}
