#include "platform/SessionSpawn.h"

#include <QFile>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <vector>

namespace SessionSpawn {

namespace {

// NUL-terminated copies of the strings and the array of pointers to them.
class Strings {
public:
    explicit Strings(const QStringList& strings) {
        for (const QString& string : strings) {
            m_storage.push_back(QFile::encodeName(string));
        }
        for (QByteArray& stored : m_storage) {
            m_pointers.push_back(stored.data());
        }
        m_pointers.push_back(nullptr);
    }
    char* const* get() const { return m_pointers.data(); }

private:
    std::vector<QByteArray> m_storage;
    std::vector<char*> m_pointers;
};

class Actions {
public:
    Actions() { ::posix_spawn_file_actions_init(&m_actions); }
    ~Actions() { ::posix_spawn_file_actions_destroy(&m_actions); }
    Actions(const Actions&) = delete;
    Actions& operator=(const Actions&) = delete;
    posix_spawn_file_actions_t* get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions{};
};

class Attributes {
public:
    Attributes() { ::posix_spawnattr_init(&m_attributes); }
    ~Attributes() { ::posix_spawnattr_destroy(&m_attributes); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    posix_spawnattr_t* get() { return &m_attributes; }

private:
    posix_spawnattr_t m_attributes{};
};

void place(posix_spawn_file_actions_t* actions, int descriptor, int target, int openFlags) {
    if (descriptor >= 0) {
        ::posix_spawn_file_actions_adddup2(actions, descriptor, target);
    } else {
        ::posix_spawn_file_actions_addopen(actions, target, "/dev/null", openFlags, 0);
    }
}

} // namespace

std::expected<qint64, QString> start(const Request& request) {
    if (request.command.isEmpty()) {
        return std::unexpected(QStringLiteral("no program"));
    }
    const Strings arguments(request.command);
    const Strings environment(request.environment);
    const QByteArray folder = QFile::encodeName(request.workingDirectory);
    Actions actions;
    place(actions.get(), request.input, STDIN_FILENO, O_RDONLY);
    place(actions.get(), request.output, STDOUT_FILENO, O_WRONLY);
    ::posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO);
    ::posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
    if (!folder.isEmpty()) {
        ::posix_spawn_file_actions_addchdir_np(actions.get(), folder.constData());
    }
    Attributes attributes;
    sigset_t every{};
    sigset_t none{};
    sigfillset(&every);
    sigemptyset(&none);
    // A signal the helper ignores would stay ignored across exec.
    ::posix_spawnattr_setsigdefault(attributes.get(), &every);
    ::posix_spawnattr_setsigmask(attributes.get(), &none);
    ::posix_spawnattr_setflags(attributes.get(),
                               POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, arguments.get()[0], actions.get(), attributes.get(),
                                    arguments.get(), environment.get());
    if (error != 0) {
        return std::unexpected(qt_error_string(error));
    }
    return pid;
}

} // namespace SessionSpawn
