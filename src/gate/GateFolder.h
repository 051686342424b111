#pragma once

#include "gate/GateRecord.h"

#include <QString>

#include <expected>
#include <optional>

// The own gate's files: its folder (config, key, record of the running gate) and its log.
class GateFolder {
public:
    // The folders before "Kestrova Helper" and "kestrova-helper" are added.
    GateFolder(const QString& dataFolder, const QString& stateFolder);

    const QString& path() const { return m_path; }
    QString configPath() const;
    QString recordPath() const;
    QString logPath() const;

    // Writes the config (and the key it names, made when missing); says whether what the file
    // holds changed. The error is the sentence to show.
    std::expected<bool, QString> writeConfig(const QString& apiKey,
                                             const std::optional<QString>& room, quint16 port,
                                             const std::optional<QString>& hookWait) const;

    // The record of the gate launched or taken over, for the next run of the helper.
    std::optional<GateRecord::Entry> readRecord() const;
    void writeRecord(const GateProcess::Identity& identity) const;
    void removeRecord() const;

    // The folder goes with the account that used it, whole.
    void remove() const;

private:
    QString m_path;
    QString m_logFolder;
};
