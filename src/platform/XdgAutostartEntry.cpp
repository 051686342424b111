#include "platform/XdgAutostartEntry.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// A value of type string in a desktop entry escapes the backslash.
QString escapeString(QString value) {
    return value.replace(u'\\', QStringLiteral("\\\\"));
}

// An Exec argument with reserved characters is double-quoted, with ", `, $ and \ escaped inside;
// the whole value is then escaped as a string.
QString quoteExecArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    const bool needsQuotes = std::any_of(argument.cbegin(), argument.cend(),
                                         [](QChar c) { return reserved.contains(c); });
    if (!needsQuotes) {
        return escapeString(argument);
    }
    QString quoted;
    for (const QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
            quoted += u'\\';
        }
        quoted += c;
    }
    return escapeString(u'"' + quoted + u'"');
}

} // namespace

XdgAutostartEntry::XdgAutostartEntry(QString autostartFolder, QString appId, QString executablePath)
    : m_folder(std::move(autostartFolder))
    , m_appId(std::move(appId))
    , m_executable(std::move(executablePath)) {
}

QString XdgAutostartEntry::userAutostartFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart");
}

QString XdgAutostartEntry::entryPath() const {
    return m_folder + u'/' + m_appId + QStringLiteral(".desktop");
}

QByteArray XdgAutostartEntry::entryContents() const {
    // Desktops that start entries before their tray is up would leave the icon nowhere;
    // the X- keys ask them to wait for it.
    const QString contents =
        QStringLiteral("[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=Kestrova Helper\n"
                       "Comment=Connects your coding agents to Kestrova\n"
                       "Exec=%1\n"
                       "TryExec=%2\n"
                       "Icon=%3\n"
                       "Terminal=false\n"
                       "X-GNOME-Autostart-enabled=true\n"
                       "X-KDE-autostart-after=panel\n"
                       "X-LXQt-Need-Tray=true\n")
            .arg(quoteExecArgument(m_executable), escapeString(m_executable), m_appId);
    return contents.toUtf8();
}

std::expected<void, QString> XdgAutostartEntry::setRegistered(bool registered) {
    if (!registered) {
        QFile entry(entryPath());
        if (entry.exists() && !entry.remove()) {
            return std::unexpected(entry.errorString());
        }
        return {};
    }
    if (!QDir().mkpath(m_folder)) {
        return std::unexpected(QStringLiteral("Could not create the folder %1").arg(m_folder));
    }
    QSaveFile entry(entryPath());
    if (!entry.open(QIODevice::WriteOnly) || entry.write(entryContents()) < 0 || !entry.commit()) {
        return std::unexpected(entry.errorString());
    }
    return {};
}

bool XdgAutostartEntry::isEnabled() const {
    QFile entry(entryPath());
    if (!entry.open(QIODevice::ReadOnly)) {
        return false;
    }
    bool inMainGroup = false;
    while (!entry.atEnd()) {
        const QByteArray line = entry.readLine().trimmed();
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
        } else if (inMainGroup && line.startsWith("Hidden")) {
            const qsizetype equals = line.indexOf('=');
            if (equals > 0 && line.left(equals).trimmed() == "Hidden" &&
                line.mid(equals + 1).trimmed() == "true") {
                return false;
            }
        }
    }
    return true;
}
