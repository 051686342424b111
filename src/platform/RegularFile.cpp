#include "platform/RegularFile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace RegularFile {

namespace {
// Closes the descriptor on every way out.
class Descriptor {
public:
    explicit Descriptor(int fd)
        : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Descriptor(Descriptor&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1)) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor& operator=(Descriptor&&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// An open descriptor of a regular file, or -1. Opened first and looked at through the
// descriptor: a look at the path before the open could be answered by another file than the
// one opened. O_NONBLOCK: a FIFO in the file's place must not hold the open; O_NOCTTY: a
// terminal must not become the program's.
Descriptor openRegular(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty()) {
        return Descriptor(-1);
    }
    Descriptor file(::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat status {};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return Descriptor(-1);
    }
    return file;
}

// Up to limit bytes from the descriptor's position; nothing on a read error, and limit + 1
// bytes when there were more.
std::optional<QByteArray> readUpTo(const Descriptor& file, qint64 limit) {
    QByteArray contents;
    char buffer[16 * 1024];
    while (contents.size() <= limit) {
        const ssize_t got = ::read(file.get(), buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            return contents;
        }
        contents.append(buffer, got);
    }
    return contents.left(limit + 1);
}
} // namespace

std::optional<QByteArray> read(const QString& path, qint64 maxBytes) {
    const Descriptor file = openRegular(path);
    if (file.get() < 0) {
        return std::nullopt;
    }
    auto contents = readUpTo(file, maxBytes);
    return contents && contents->size() <= maxBytes ? contents : std::nullopt;
}

std::optional<QByteArray> readTail(const QString& path, qint64 maxBytes) {
    const Descriptor file = openRegular(path);
    struct stat status {};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0) {
        return std::nullopt;
    }
    if (status.st_size > maxBytes && ::lseek(file.get(), status.st_size - maxBytes, SEEK_SET) < 0) {
        return std::nullopt;
    }
    auto contents = readUpTo(file, maxBytes);
    // Grown while it was read: what came after the size looked at is left for the next read.
    if (contents) {
        contents->truncate(maxBytes);
    }
    return contents;
}

} // namespace RegularFile
