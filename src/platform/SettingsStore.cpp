#include "platform/SettingsStore.h"

#include "platform/PlatformLog.h"
#include "platform/PrivateFiles.h"

#include <QFile>
#include <QRegularExpression>

namespace {

// Qt's reader takes a stray '"' on a damaged line as the start of a value that runs to the end
// of the file, hiding every key after it; the next write would then erase them for good. The
// plain "key=value" lines it missed are read back here, so a damaged line loses only itself.
void recoverHiddenKeys(QSettings& settings) {
    QFile file(settings.fileName());
    if (!file.open(QIODevice::ReadOnly)) {
        return;
    }
    static const QRegularExpression keyValue(
        QStringLiteral(R"(^\s*([A-Za-z][A-Za-z0-9_.]*)\s*=\s*(.*?)\s*$)"));
    bool inGeneral = true;
    for (const QByteArray& rawLine : file.read(qint64{1024} * 1024).split('\n')) {
        const QString line = QString::fromUtf8(rawLine).remove(u'\r').trimmed();
        if (line.startsWith(u'[')) {
            inGeneral = line == u"[General]";
            continue;
        }
        const QRegularExpressionMatch match = keyValue.match(line);
        if (inGeneral && match.hasMatch() && !settings.contains(match.captured(1))) {
            settings.setValue(match.captured(1), match.captured(2));
        }
    }
}

} // namespace

SettingsStore::SettingsStore(std::unique_ptr<QSettings> settings)
    : m_settings(std::move(settings)) {
    recoverHiddenKeys(*m_settings);
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

SettingsStore::Written SettingsStore::setString(const QString& key, const QString& value) {
    m_settings->setValue(key, value);
    return persist();
}

SettingsStore::Written SettingsStore::setStrings(const QList<std::pair<QString, QString>>& values) {
    for (const auto& [key, value] : values) {
        m_settings->setValue(key, value);
    }
    return persist();
}

SettingsStore::Written SettingsStore::setBoolean(const QString& key, bool value) {
    m_settings->setValue(key, value);
    return persist();
}

SettingsStore::Written SettingsStore::remove(const QStringList& keys) {
    for (const QString& key : keys) {
        m_settings->remove(key);
    }
    return persist();
}

SettingsStore::Written SettingsStore::persist() {
    // The store holds the API key: written at once and kept readable by its owner only.
    // A QSettings keeps the first error it meets for the rest of its life, so each write is
    // judged by an object of its own: objects open on one file share what is not saved yet,
    // and this one writes it as it opens.
    QSettings write(m_settings->fileName(), m_settings->format());
    write.sync();
    PrivateFiles::restrictToOwner(m_settings->fileName());
    if (write.status() == QSettings::NoError) {
        return {};
    }
    qCWarning(lcPlatform) << "settings not saved to" << m_settings->fileName();
    return std::unexpected(write.status() == QSettings::AccessError
                               ? QStringLiteral("%1 cannot be written").arg(m_settings->fileName())
                               : QStringLiteral("%1 is damaged").arg(m_settings->fileName()));
}
