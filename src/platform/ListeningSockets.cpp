#include "platform/ListeningSockets.h"

#include <QFile>

namespace {
constexpr char listening[] = "0A";
constexpr qint64 tableLimit = qint64{4} * 1024 * 1024;
} // namespace

namespace ListeningSockets {

std::optional<uint> ownerIn(const QByteArray& table, quint16 port) {
    for (const QByteArray& line : table.split('\n')) {
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid …
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 8 || fields.at(3) != listening) {
            continue;
        }
        const QByteArray& local = fields.at(1);
        bool numeric = false;
        const uint localPort = local.mid(local.lastIndexOf(':') + 1).toUInt(&numeric, 16);
        bool uidNumeric = false;
        const uint uid = fields.at(7).toUInt(&uidNumeric);
        if (numeric && uidNumeric && local.contains(':') && localPort == port) {
            return uid;
        }
    }
    return std::nullopt;
}

std::optional<uint> ownerOf(quint16 port) {
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile table(QString::fromLatin1(path));
        // Files in /proc report no size: read until the end, within a bound.
        if (table.open(QIODevice::ReadOnly)) {
            if (const auto owner = ownerIn(table.read(tableLimit), port)) {
                return owner;
            }
        }
    }
    return std::nullopt;
}

} // namespace ListeningSockets
