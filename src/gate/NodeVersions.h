#pragma once

#include "gate/NodeRuntime.h"

#include <QDateTime>
#include <QObject>
#include <QProcess>

#include <map>
#include <memory>

// The versions of the runtimes that do not carry theirs in a folder's name, read by running
// "node --version" beside the event loop: a runtime takes tens of milliseconds to start, too
// long for a window to wait. A version is kept while the file stays as it was.
class NodeVersions final : public QObject {
    Q_OBJECT
public:
    ~NodeVersions() override;

    // What is known of the runtime's version; starts reading it when nothing is.
    NodeRuntime::VersionReading of(const QString& node);

signals:
    // A reading ended: the choice of runtime may change.
    void read();

private:
    struct Entry {
        QDateTime changed;
        qint64 size = -1;
        NodeRuntime::VersionReading version;
        std::unique_ptr<QProcess> reading;
    };
    void finish(const QString& node);

    std::map<QString, Entry> m_entries;
};
