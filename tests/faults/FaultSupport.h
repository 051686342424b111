#pragma once

#include "gate/GateEnvironment.h"

#include <QList>
#include <QProcessEnvironment>

class TestHome;

// Helpers shared by the fault tests: handing a temporary home to a child process of the test,
// and looking at what the test process and its gates hold in /proc.
namespace FaultSupport {

// Variables that let a child of the test work on the parent's home, ports and settings file.
QProcessEnvironment handOver(const TestHome& home);
// In that child: the parent's home, with the built daemon and the system's node.
GateEnvironment takeOver();

// The process's arguments, NUL-separated; empty once it has gone.
QByteArray commandLine(qint64 pid);
// Live (not zombie) processes whose command line contains the text.
QList<qint64> processesMentioning(const QString& text);
int openDescriptors();
int openPidfds();
// Whether something on 127.0.0.1 accepts a connection on the port right now.
bool accepts(quint16 port);

// Ends every gate a test launched, whatever state the test ended in: the ones it named, and any
// other process whose command line mentions the test's home (a gate a child process started).
struct GateReaper {
    explicit GateReaper(QString home)
        : m_home(std::move(home)) {}
    GateReaper(const GateReaper&) = delete;
    GateReaper& operator=(const GateReaper&) = delete;
    ~GateReaper();

    QList<qint64> pids;

private:
    QString m_home;
};

} // namespace FaultSupport
