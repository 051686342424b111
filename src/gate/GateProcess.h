#pragma once

#include <QObject>
#include <QProcessEnvironment>
#include <QStringList>

#include <expected>
#include <memory>

class QSocketNotifier;

// A gate daemon launched by the helper. It runs detached, in its own session, so that it keeps
// serving when the helper quits or crashes; the helper watches it through a pidfd, which also
// makes the terminate request safe against a reused process id.
class GateProcess final : public QObject {
    Q_OBJECT
public:
    struct Command {
        QString program;
        QStringList arguments;
        QString workingDirectory;
        QProcessEnvironment environment;
    };

    // The error is the platform's description of why the launch failed.
    static std::expected<std::unique_ptr<GateProcess>, QString> launch(const Command& command);

    // Stops watching; the gate itself keeps running.
    ~GateProcess() override;

    qint64 pid() const { return m_pid; }

    // SIGTERM, without waiting for the gate to end.
    void terminate() const;

signals:
    // Emitted once, when the gate has ended for whatever reason.
    void exited();

private:
    GateProcess(qint64 pid, int pidfd);
    void onPidfdReadable();

    qint64 m_pid;
    int m_pidfd;
    std::unique_ptr<QSocketNotifier> m_watch;
};
