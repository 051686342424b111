#include "platform/HostNames.h"

#include "platform/RegularFile.h"

#include <QList>
#include <QSysInfo>

namespace HostNames {

namespace {
QByteArray unescaped(const QByteArray& value) {
    QByteArray plain;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value.at(i) == '\\' && i + 1 < value.size()) {
            ++i;
        }
        plain += value.at(i);
    }
    return plain;
}
} // namespace

QString prettyHostName(const QByteArray& machineInfo) {
    for (const QByteArray& rawLine : machineInfo.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (!line.startsWith("PRETTY_HOSTNAME=")) {
            continue;
        }
        QByteArray value = line.mid(int(sizeof("PRETTY_HOSTNAME=")) - 1);
        // The file is shell-compatible: the value may be quoted, and escaped with backslashes.
        if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
            return QString::fromUtf8(value.mid(1, value.size() - 2)).trimmed();
        }
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.mid(1, value.size() - 2);
        }
        return QString::fromUtf8(unescaped(value)).trimmed();
    }
    return {};
}

QString computerName() {
    const auto machineInfo =
        RegularFile::read(QStringLiteral("/etc/machine-info"), qint64{64} * 1024);
    if (QString pretty = prettyHostName(machineInfo.value_or(QByteArray())); !pretty.isEmpty()) {
        return pretty;
    }
    return QSysInfo::machineHostName();
}

} // namespace HostNames
