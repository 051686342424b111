#include "gate/GateFolder.h"

#include "gate/GateConfig.h"
#include "gate/GateLog.h"
#include "gate/GateSecret.h"
#include "platform/AppPaths.h"
#include "platform/PrivateFiles.h"
#include "platform/RegularFile.h"

#include <QDir>
#include <QFile>

namespace {
// A record is a line of JSON: a few hundred bytes.
constexpr qint64 recordLimit = 4096;
} // namespace

GateFolder::GateFolder(const QString& dataFolder, const QString& stateFolder)
    : m_path(AppPaths::join(dataFolder, QStringLiteral("Kestrova Helper")))
    , m_logFolder(AppPaths::join(stateFolder, QStringLiteral("kestrova-helper"))) {
}

QString GateFolder::configPath() const {
    return AppPaths::join(m_path, QString::fromLatin1(GateConfig::fileName));
}

QString GateFolder::recordPath() const {
    return AppPaths::join(m_path, QStringLiteral("gate-process.json"));
}

QString GateFolder::logPath() const {
    return AppPaths::join(m_logFolder, QStringLiteral("gate.log"));
}

std::expected<bool, QString> GateFolder::writeConfig(const QString& apiKey,
                                                     const std::optional<QString>& room,
                                                     quint16 port,
                                                     const std::optional<QString>& hookWait) const {
    const auto secret = GateSecret::ensure(m_path);
    if (!secret) {
        return std::unexpected(QStringLiteral("Could not create the gate's key: ") +
                               secret.error());
    }
    const QByteArray contents =
        GateConfig::build(m_path, apiKey, room,
                          {.port = port,
                           .secretPath = *secret,
                           .hookWaitSeconds = GateConfig::hookWaitSeconds(hookWait)});
    const bool changed = RegularFile::read(configPath(), contents.size() + 1) != contents;
    if (const auto written = PrivateFiles::writePrivateFile(configPath(), contents); !written) {
        return std::unexpected(QStringLiteral("Could not write gate config: ") + written.error());
    }
    return changed;
}

std::optional<GateRecord::Entry> GateFolder::readRecord() const {
    const auto contents = RegularFile::read(recordPath(), recordLimit);
    return contents ? GateRecord::read(*contents) : std::nullopt;
}

void GateFolder::writeRecord(const GateProcess::Identity& identity) const {
    const QByteArray record = GateRecord::write({identity, configPath()});
    if (const auto written = PrivateFiles::writePrivateFile(recordPath(), record); !written) {
        qCWarning(lcGate) << "could not record the gate (a later run finds it by its port):"
                          << written.error();
    }
}

void GateFolder::removeRecord() const {
    QFile::remove(recordPath());
}

void GateFolder::remove() const {
    // Whole, the key too: the agents' entries run the hook, which reaches the gate by its
    // socket, so nothing they need lives here; a key left behind could only leak.
    QDir(m_path).removeRecursively();
}
