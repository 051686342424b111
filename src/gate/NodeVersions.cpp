#include "gate/NodeVersions.h"

#include <QFileInfo>
#include <QTimer>

namespace {
// A runtime that has not said its version by then is taken as one whose version cannot be read.
constexpr int readingMs = 3000;

// Nothing from a runtime that did not start, failed or said something else.
std::optional<NodeRuntime::Version> versionSaid(QProcess& reading) {
    const bool said = reading.error() != QProcess::FailedToStart &&
                      reading.exitStatus() == QProcess::NormalExit && reading.exitCode() == 0;
    return said ? NodeRuntime::versionOf(QString::fromUtf8(reading.readAll())) : std::nullopt;
}
} // namespace

NodeVersions::~NodeVersions() {
    for (auto& [node, entry] : m_entries) {
        if (entry.reading) {
            entry.reading->disconnect(this);
            entry.reading->kill();
            entry.reading->waitForFinished();
        }
    }
}

NodeRuntime::VersionReading NodeVersions::of(const QString& node) {
    const QFileInfo file(node);
    Entry& entry = m_entries[node];
    if (entry.reading || (entry.size == file.size() && entry.changed == file.lastModified())) {
        return entry.version;
    }
    entry = {.changed = file.lastModified(), .size = file.size(), .version = {}, .reading = {}};
    entry.reading = std::make_unique<QProcess>();
    QProcess* const reading = entry.reading.get();
    reading->setProgram(node);
    reading->setArguments({QStringLiteral("--version")});
    reading->setStandardInputFile(QProcess::nullDevice());
    connect(reading, &QProcess::finished, this, [this, node] { finish(node); });
    connect(reading, &QProcess::errorOccurred, this, [this, node](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            finish(node);
        }
    });
    QTimer::singleShot(readingMs, reading, &QProcess::kill);
    reading->start();
    return std::nullopt;
}

void NodeVersions::finish(const QString& node) {
    Entry& entry = m_entries[node];
    if (!entry.reading) {
        return;
    }
    entry.version.emplace(versionSaid(*entry.reading));
    // Later: this may run inside the process's own signal, which goes on using it.
    entry.reading.release()->deleteLater();
    emit read();
}
