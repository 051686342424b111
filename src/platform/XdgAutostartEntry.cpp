#include "platform/XdgAutostartEntry.h"

#include "platform/RegularFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// An entry is a few hundred bytes; anything far larger is not ours.
constexpr qint64 maxEntryBytes = qint64{64} * 1024;

// A value of type string in a desktop entry escapes the backslash and the control characters
// that would otherwise end the line or be lost.
QString escapeString(QString value) {
    return value.replace(u'\\', QStringLiteral("\\\\"))
        .replace(u'\n', QStringLiteral("\\n"))
        .replace(u'\t', QStringLiteral("\\t"))
        .replace(u'\r', QStringLiteral("\\r"));
}

// An Exec argument with reserved characters is double-quoted, with ", `, $ and \ escaped inside;
// a literal % is written %% so it is not read as a field code; the whole value is then escaped
// as a string.
QString quoteExecArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    const bool needsQuotes = std::any_of(argument.cbegin(), argument.cend(),
                                         [](QChar c) { return reserved.contains(c); });
    QString quoted;
    for (const QChar c : argument) {
        if (needsQuotes && (c == u'"' || c == u'`' || c == u'$' || c == u'\\')) {
            quoted += u'\\';
        }
        quoted += c;
    }
    quoted.replace(u'%', QStringLiteral("%%"));
    return escapeString(needsQuotes ? u'"' + quoted + u'"' : quoted);
}

// The escapes of a string value undone: \s, \n, \t, \r and \\. Any other backslash is left
// for the Exec rules to read.
QString unescapeString(const QString& value) {
    QString text;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar next = i + 1 < value.size() ? value.at(i + 1) : QChar();
        const qsizetype known = QStringView(u"sntr\\").indexOf(next);
        if (value.at(i) != u'\\' || known < 0) {
            text += value.at(i);
            continue;
        }
        text += QStringView(u" \n\t\r\\").at(known);
        ++i;
    }
    return text;
}

// The program an Exec value starts: its first argument with the quoting undone (inside double
// quotes a backslash escapes ", `, $ and \) and %% read as %. Nothing when a quote stays open.
std::optional<QString> execProgram(const QString& exec) {
    QString program;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (!quoted && (c == u' ' || c == u'\t' || c == u'\n')) {
            break;
        }
        if (c == u'"') {
            quoted = !quoted;
        } else if (quoted && c == u'\\' && i + 1 < exec.size() &&
                   QStringView(u"\"`$\\").contains(exec.at(i + 1))) {
            program += exec.at(++i);
        } else {
            program += c;
        }
    }
    if (quoted) {
        return std::nullopt;
    }
    return program.replace(QStringLiteral("%%"), QStringLiteral("%"));
}

// Whether the program named is this executable: a name without a folder is looked up on PATH,
// as the session does, and links are followed.
bool startsExecutable(const QString& program, const QString& executable) {
    if (program == executable) {
        return true;
    }
    const QString found =
        program.contains(u'/') ? program : QStandardPaths::findExecutable(program);
    const QString canonical = QFileInfo(found).canonicalFilePath();
    return !canonical.isEmpty() && canonical == QFileInfo(executable).canonicalFilePath();
}

// The keys of the [Desktop Entry] group; of a key given twice, the last.
QHash<QByteArray, QByteArray> mainGroupKeys(const QByteArray& contents) {
    QHash<QByteArray, QByteArray> keys;
    bool inMainGroup = false;
    for (const QByteArray& rawLine : contents.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (inMainGroup && equals > 0) {
            keys.insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
        }
    }
    return keys;
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
    const auto contents = RegularFile::read(entryPath(), maxEntryBytes);
    if (!contents) {
        return false;
    }
    const QHash<QByteArray, QByteArray> keys = mainGroupKeys(*contents);
    // Hidden is the standard's "deleted"; GNOME's startup settings turn an entry off with their
    // own key instead.
    if (keys.value("Hidden") == "true" || keys.value("X-GNOME-Autostart-enabled") == "false") {
        return false;
    }
    // Another build may have left an entry here that starts another program, or nothing.
    const auto program = execProgram(unescapeString(QString::fromUtf8(keys.value("Exec"))));
    return program && startsExecutable(*program, m_executable);
}
