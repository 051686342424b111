#pragma once

#include <QList>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <expected>
#include <memory>
#include <optional>

// The per-user settings store. Reads are forgiving about what another program (or an older
// version) left under a key: a value of the wrong type reads as missing, never as garbage.
class SettingsStore {
public:
    explicit SettingsStore(std::unique_ptr<QSettings> settings);

    // The user's own store: organisation "Kestrova", application "Kestrova Helper".
    static std::shared_ptr<SettingsStore> openUserStore();
    static std::shared_ptr<SettingsStore> openFile(const QString& path);

    std::optional<QString> string(const QString& key) const;
    bool boolean(const QString& key) const;

    // Each write reaches the disk at once; the error says why it could not.
    using Written = std::expected<void, QString>;
    Written setString(const QString& key, const QString& value);
    // Several keys in one write: each write reaches the disk, which takes milliseconds.
    Written setStrings(const QList<std::pair<QString, QString>>& values);
    Written setBoolean(const QString& key, bool value);
    // Several keys in one write, so that either all of them leave the disk or none does.
    Written remove(const QStringList& keys);

    QString fileName() const { return m_settings->fileName(); }

private:
    Written persist();

    std::unique_ptr<QSettings> m_settings;
};
