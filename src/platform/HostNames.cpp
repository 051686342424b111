#include "platform/HostNames.h"

#include <QFile>
#include <QList>
#include <QSysInfo>

namespace HostNames {

QString prettyHostName(const QByteArray& machineInfo) {
    for (const QByteArray& rawLine : machineInfo.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (!line.startsWith("PRETTY_HOSTNAME=")) {
            continue;
        }
        QByteArray value = line.mid(int(sizeof("PRETTY_HOSTNAME=")) - 1);
        // The file is shell-compatible: the value may be quoted and escaped.
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.mid(1, value.size() - 2);
        }
        value.replace("\\\"", "\"").replace("\\\\", "\\");
        return QString::fromUtf8(value).trimmed();
    }
    return {};
}

QString computerName() {
    QFile machineInfo(QStringLiteral("/etc/machine-info"));
    if (machineInfo.open(QIODevice::ReadOnly)) {
        if (QString pretty = prettyHostName(machineInfo.read(64 * 1024)); !pretty.isEmpty()) {
            return pretty;
        }
    }
    return QSysInfo::machineHostName();
}

} // namespace HostNames
