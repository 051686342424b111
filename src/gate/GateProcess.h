#pragma once

#include <QObject>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <expected>
#include <memory>
#include <optional>

class QSocketNotifier;

// A gate daemon launched by the helper. It runs in its own session, so that it keeps serving
// when the helper quits or crashes, with /dev/null to read and none of the helper's other
// descriptors; its output goes through a pipe to the program that keeps its log. The helper
// watches it through a pidfd, which also makes its signals safe against a reused process id.
// Where no pidfd can be had, the process is known by its id and start time, and its end is
// found when asked.
class GateProcess final : public QObject {
    Q_OBJECT
public:
    struct Command {
        QString program;
        QStringList arguments;
        QString workingDirectory;
        QProcessEnvironment environment;
        // The command of the program that keeps the log, reading the gate's stdout and stderr;
        // empty: the output is dropped.
        QStringList logWriter;
    };

    // What identifies a running gate across runs of the helper.
    struct Identity {
        qint64 pid = 0;
        quint64 startTime = 0; // clock ticks after boot, from /proc/PID/stat
    };

    // The error is the platform's description of why the launch failed.
    static std::expected<std::unique_ptr<GateProcess>, QString> launch(const Command& command);
    // The gate an earlier run launched, when that process still runs with the same start time
    // and has this config on its command line; nothing otherwise.
    static std::unique_ptr<GateProcess> adopt(const Identity& identity, const QString& configPath);

    // The process as it runs now, for adopt().
    static Identity identityOf(qint64 pid);

    // Stops watching; the gate itself keeps running.
    ~GateProcess() override;

    qint64 pid() const { return m_identity.pid; }
    const Identity& identity() const { return m_identity; }
    // Whether the gate (or a process of its session) holds the socket. Its descriptors (and,
    // for a gate whose runtime is not the process launched, every process's) are read only for
    // a socket not asked about last time.
    bool holds(quint64 socketInode) const;

    // SIGTERM, then SIGKILL once the grace period has passed without an end.
    void stop(std::chrono::milliseconds grace);
    // Without a pidfd nothing announces the end: this looks, and emits exited() once it has.
    // A log writer that ended is reaped here too.
    void checkEnded();

signals:
    // Emitted once, when the gate has ended for whatever reason and its log holds all it said.
    void exited();

private:
    GateProcess(Identity identity, int pidfd);
    void signal(int number) const;
    void end();
    void watchLogWriter(qint64 pid);
    void logWriterEnded();

    struct SocketSeen {
        quint64 inode = 0;
        bool held = false;
    };

    Identity m_identity;
    int m_pidfd;
    mutable std::optional<SocketSeen> m_socket;
    bool m_ended = false;
    // Launched by this helper: its process is reaped here once it ends.
    bool m_child = false;
    std::unique_ptr<QSocketNotifier> m_watch;
    QTimer m_killTimer;
    qint64 m_logWriter = 0;
    int m_logWriterPidfd = -1;
    std::unique_ptr<QSocketNotifier> m_logWriterWatch;
};
