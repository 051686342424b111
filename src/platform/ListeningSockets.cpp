#include "platform/ListeningSockets.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <array>
#include <cstring>
#include <unistd.h>

namespace ListeningSockets {

namespace {

constexpr char listening[] = "0A";
// A table's lines are about 150 characters; a longer one is no line of a table.
constexpr qint64 lineLimit = 512;

// How the kernel ranks a socket for a connection to 127.0.0.1: the lower, the earlier. Bound
// to another address, it never sees that connection.
enum class Reach { Loopback4, Loopback6, Any4, Any6, Elsewhere };

// The address as the table prints it: each 32-bit word as the host holds it in memory.
std::optional<QByteArray> addressOf(QByteArrayView hex) {
    if (hex.size() != 8 && hex.size() != 32) {
        return std::nullopt;
    }
    QByteArray bytes;
    for (qsizetype at = 0; at < hex.size(); at += 8) {
        bool numeric = false;
        const quint32 word = hex.sliced(at, 8).toUInt(&numeric, 16);
        if (!numeric) {
            return std::nullopt;
        }
        std::array<char, 4> memory{};
        std::memcpy(memory.data(), &word, memory.size());
        bytes.append(memory.data(), memory.size());
    }
    return bytes;
}

Reach reachOf(const QByteArray& address) {
    const QByteArray loopback4("\x7f\x00\x00\x01", 4);
    if (address == loopback4) {
        return Reach::Loopback4;
    }
    if (address == QByteArray(10, '\0') + "\xff\xff" + loopback4) {
        return Reach::Loopback6;
    }
    if (address == QByteArray(address.size(), '\0')) {
        return address.size() == 4 ? Reach::Any4 : Reach::Any6;
    }
    return Reach::Elsewhere;
}

struct Entry {
    Reach reach = Reach::Elsewhere;
    uint port = 0;
    bool listens = false;
    Listener listener;
};

// sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode …;
// newer kernels may add fields at the end. Nothing for a line that does not parse.
std::optional<Entry> entryOf(const QList<QByteArray>& fields) {
    const QList<QByteArray> local =
        fields.size() >= 10 ? fields.at(1).split(':') : QList<QByteArray>{};
    const auto address = local.size() == 2 ? addressOf(local.at(0)) : std::nullopt;
    if (!address || fields.at(3).size() != 2) {
        return std::nullopt;
    }
    bool portRead = false;
    bool uidRead = false;
    bool inodeRead = false;
    const Entry entry{.reach = reachOf(*address),
                      .port = local.at(1).toUInt(&portRead, 16),
                      .listens = fields.at(3) == listening,
                      .listener = {.uid = fields.at(7).toUInt(&uidRead),
                                   .inode = fields.at(9).toULongLong(&inodeRead)}};
    return portRead && uidRead && inodeRead ? std::optional(entry) : std::nullopt;
}

// The listeners that would take the connection, gathered line by line.
class Scan {
public:
    explicit Scan(quint16 port)
        : m_port(port) {}

    // False for a line that does not parse.
    bool add(const QByteArray& line) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.constFirst().isEmpty() || fields.constFirst() == "sl") {
            return true; // a blank line, or the table's heading
        }
        const auto entry = entryOf(fields);
        if (!entry) {
            return false;
        }
        if (entry->port != m_port || !entry->listens || entry->reach == Reach::Elsewhere ||
            entry->reach > m_best) {
            return true;
        }
        if (entry->reach < m_best) {
            m_best = entry->reach;
            m_found.clear();
        }
        m_found.append(entry->listener);
        return true;
    }

    Lookup result() const {
        if (m_found.isEmpty()) {
            return std::nullopt;
        }
        for (const Listener& other : m_found) {
            // Sockets sharing a port through SO_REUSEPORT belong to one user.
            if (other.uid != m_found.constFirst().uid) {
                return std::unexpected(QStringLiteral("listeners of several users"));
            }
        }
        return m_found.constFirst();
    }

private:
    quint16 m_port;
    Reach m_best = Reach::Elsewhere;
    QList<Listener> m_found;
};

QByteArray socketLink(quint64 inode) {
    return "socket:[" + QByteArray::number(inode) + ']';
}

} // namespace

Lookup loopbackListenerIn(const QByteArray& tcp, const QByteArray& tcp6, quint16 port) {
    Scan scan(port);
    for (const QByteArray* table : {&tcp, &tcp6}) {
        for (const QByteArray& line : table->split('\n')) {
            if (!scan.add(line)) {
                return std::unexpected(QStringLiteral("a line that does not parse"));
            }
        }
    }
    return scan.result();
}

Lookup loopbackListener(quint16 port) {
    Scan scan(port);
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile table(QString::fromLatin1(path));
        // Without IPv6 the kernel has no tcp6 table.
        if (!table.exists() && table.fileName().endsWith(u'6')) {
            continue;
        }
        if (!table.open(QIODevice::ReadOnly)) {
            return std::unexpected(table.fileName() + QStringLiteral(": ") + table.errorString());
        }
        // Line by line: the tables of a busy machine run to megabytes.
        for (QByteArray line = table.readLine(lineLimit); !line.isEmpty();
             line = table.readLine(lineLimit)) {
            if (!scan.add(line)) {
                return std::unexpected(table.fileName() + QStringLiteral(": a line that does "
                                                                         "not parse"));
            }
        }
        if (table.error() != QFileDevice::NoError) {
            return std::unexpected(table.fileName() + QStringLiteral(": ") + table.errorString());
        }
    }
    return scan.result();
}

bool holds(qint64 pid, quint64 inode) {
    const QByteArray wanted = socketLink(inode);
    const QString folder = QStringLiteral("/proc/%1/fd/").arg(pid);
    const QStringList descriptors = QDir(folder).entryList(QDir::Files | QDir::System);
    for (const QString& descriptor : descriptors) {
        std::array<char, 64> target{};
        const ssize_t size = ::readlink(QFile::encodeName(folder + descriptor).constData(),
                                        target.data(), target.size());
        if (size > 0 && QByteArrayView(target.data(), size) == wanted) {
            return true;
        }
    }
    return false;
}

QList<qint64> holders(quint64 inode) {
    QList<qint64> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        // Another user's descriptors cannot be read, and are never ours to act on.
        if (numeric && QFileInfo(QStringLiteral("/proc/") + entry).ownerId() == ::getuid() &&
            holds(pid, inode)) {
            found.append(pid);
        }
    }
    return found;
}

} // namespace ListeningSockets
