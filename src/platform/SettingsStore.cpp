#include "platform/SettingsStore.h"

#include "platform/PrivateFiles.h"

#include <QCoreApplication>

SettingsStore::SettingsStore(std::unique_ptr<QSettings> settings)
    : m_settings(std::move(settings)) {
}

std::shared_ptr<SettingsStore> SettingsStore::openUserStore() {
    return std::make_shared<SettingsStore>(
        std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                    QStringLiteral("Kestrova"), QStringLiteral("Kestrova Helper")));
}

std::shared_ptr<SettingsStore> SettingsStore::openFile(const QString& path) {
    return std::make_shared<SettingsStore>(std::make_unique<QSettings>(path, QSettings::IniFormat));
}

std::optional<QString> SettingsStore::string(const QString& key) const {
    const QVariant value = m_settings->value(key);
    switch (value.typeId()) {
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double:
        return value.toString();
    default:
        return std::nullopt;
    }
}

bool SettingsStore::boolean(const QString& key) const {
    const QVariant value = m_settings->value(key);
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString().trimmed().toLower();
        return text == u"true" || text == u"yes" || text == u"1";
    }
    if (value.typeId() == QMetaType::Bool || value.typeId() == QMetaType::Int ||
        value.typeId() == QMetaType::LongLong) {
        return value.toBool();
    }
    return false;
}

void SettingsStore::setString(const QString& key, const QString& value) {
    m_settings->setValue(key, value);
    persist();
}

void SettingsStore::setStrings(const QList<std::pair<QString, QString>>& values) {
    for (const auto& [key, value] : values) {
        m_settings->setValue(key, value);
    }
    persist();
}

void SettingsStore::setBoolean(const QString& key, bool value) {
    m_settings->setValue(key, value);
    persist();
}

void SettingsStore::remove(const QString& key) {
    m_settings->remove(key);
    persist();
}

void SettingsStore::persist() {
    // The store holds the API key: written at once and kept readable by its owner only.
    m_settings->sync();
    PrivateFiles::restrictToOwner(m_settings->fileName());
}
