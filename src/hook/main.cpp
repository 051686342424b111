// kestrova-hook AGENT [--port N]: an agent's hook command. It hands the hook's input (stdin) to
// the gate and prints the gate's answer, which the agent reads as its decision; nothing printed
// leaves the question to the agent's own prompt. It always exits 0, and with the gate down it
// does so at once. No Qt: it starts before every prompt.
#include "hook/HookAnswer.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t maxInput = std::size_t{1} << 20;
// The answer is an agent's decision: a few hundred bytes, a session's permissions at most.
constexpr std::size_t maxResponse = std::size_t{1} << 20;
constexpr unsigned defaultPort = 8789;

// Up to limit + 1 bytes, so that "more than limit" can be told.
std::optional<std::string> readAll(int fd, std::size_t limit) {
    std::string data;
    std::array<char, 65536> buffer{};
    while (data.size() <= limit) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got == 0) {
            return data;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        data.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return data;
}

// <data>/Kestrova Helper/gate-secret, <data> being $XDG_DATA_HOME or ~/.local/share.
std::optional<std::string> secret() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    std::string folder;
    if (dataHome && dataHome[0] == '/') {
        folder = dataHome;
    } else if (home && home[0] != '\0') {
        folder = std::string(home) + "/.local/share";
    } else {
        return std::nullopt;
    }
    const int fd = ::open((folder + "/Kestrova Helper/gate-secret").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    auto text = readAll(fd, 4096);
    ::close(fd);
    if (!text || text->size() > 4096) {
        return std::nullopt;
    }
    while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) {
        text->pop_back();
    }
    if (text->empty()) {
        return std::nullopt;
    }
    return text;
}

bool isAgentName(std::string_view name) {
    return !name.empty() && name.size() <= 32 &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyz-") == std::string_view::npos;
}

bool sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

// The gate's answer for the agent, or nothing.
std::string ask(unsigned port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return {};
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string received;
    HookAnswer::Reading reading;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        sendAll(fd, request)) {
        std::array<char, 16384> buffer{};
        while (!reading.complete) {
            const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got > 0) {
                received.append(buffer.data(), static_cast<std::size_t>(got));
            }
            reading = HookAnswer::read(received, got <= 0 || received.size() > maxResponse);
        }
    }
    ::close(fd);
    return reading.printed;
}

} // namespace

int main(int argc, char* argv[]) {
    // An agent that stops reading must not turn the exit status into a signal's.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 2 || !isAgentName(argv[1])) {
        return 0;
    }
    unsigned port = defaultPort;
    if (argc == 4 && std::string_view(argv[2]) == "--port") {
        const long given = std::strtol(argv[3], nullptr, 10);
        if (given <= 0 || given > 65535) {
            return 0;
        }
        port = static_cast<unsigned>(given);
    }
    const auto input = readAll(STDIN_FILENO, maxInput);
    const auto key = secret();
    if (!input || input->size() > maxInput || !key) {
        return 0;
    }
    const std::string printed = ask(port, HookAnswer::request(argv[1], port, *key, *input));
    for (std::string_view rest = printed; !rest.empty();) {
        const ssize_t written = ::write(STDOUT_FILENO, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}
