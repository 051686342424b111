// kestrova-gate-log LOG FIRST-LINE
//
// Keeps the gate's log while the gate runs, whether the helper does or not: the gate's
// standard output and error reach this program's standard input, and it appends them to LOG
// after FIRST-LINE, which tells this launch's output from the one before. Once LOG would pass
// 1 MiB it is moved, whole, to LOG.1 (the older copy goes) and a new LOG begins, so nothing
// written meanwhile is lost. LOG is owner-only and never written through a link; with a link,
// a folder or anything but a regular file in its place, the output is dropped. It ends when
// the gate's output does.

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr off_t capBytes = off_t{1024} * 1024;

int openLog(const std::string& path) {
    // O_NONBLOCK: a FIFO in the log's place must not hold the open.
    const int log =
        ::open(path.c_str(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
               S_IRUSR | S_IWUSR);
    struct stat status {};
    if (log >= 0 && (::fstat(log, &status) != 0 || !S_ISREG(status.st_mode) ||
                     ::fchmod(log, S_IRUSR | S_IWUSR) != 0)) {
        ::close(log);
        return -1;
    }
    return log;
}

bool writeAll(int log, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(log, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

class Log {
public:
    explicit Log(std::string path)
        : m_path(std::move(path))
        , m_fd(openLog(m_path))
        , m_size(m_fd >= 0 ? ::lseek(m_fd, 0, SEEK_END) : 0) {}
    ~Log() { ::close(m_fd); }
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    void append(std::string_view bytes) {
        if (m_fd >= 0 && m_size + static_cast<off_t>(bytes.size()) > capBytes) {
            // The turn to a new file comes after the last whole line that still fits.
            const auto room = static_cast<size_t>(std::max<off_t>(capBytes - m_size, 0));
            const size_t newline = bytes.substr(0, room).rfind('\n');
            const size_t cut = newline == std::string_view::npos ? 0 : newline + 1;
            write(bytes.substr(0, cut));
            rotate();
            bytes.remove_prefix(cut);
        }
        write(bytes);
    }

private:
    void write(std::string_view bytes) {
        if (m_fd >= 0 && writeAll(m_fd, bytes)) {
            m_size += static_cast<off_t>(bytes.size());
        }
    }

    void rotate() {
        if (::rename(m_path.c_str(), (m_path + ".1").c_str()) != 0) {
            // No older copy can be kept (a folder in its place, say): the cap still holds.
            if (::ftruncate(m_fd, 0) == 0) {
                m_size = 0;
            }
            return;
        }
        ::close(m_fd);
        m_fd = openLog(m_path);
        m_size = 0;
    }

    std::string m_path;
    int m_fd;
    off_t m_size;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    Log log(argv[1]);
    log.append(std::string(argv[2]) + '\n');
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return 0;
        }
        log.append(std::string_view(buffer, static_cast<size_t>(got)));
    }
}
