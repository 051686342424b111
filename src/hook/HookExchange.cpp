#include "hook/HookExchange.h"

#include "hook/HookAnswer.h"

#include <array>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

namespace HookExchange {

namespace {

using Clock = std::chrono::steady_clock;

// Whether the socket became ready for the events before the deadline.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    while (true) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd entry{.fd = fd, .events = events, .revents = 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        // An error or hang-up counts as ready: the next call says which.
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool blocked() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

bool sendAll(int fd, std::string_view data) {
    auto deadline = Clock::now() + silenceLimit;
    while (!data.empty()) {
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            data.remove_prefix(static_cast<std::size_t>(sent));
            deadline = Clock::now() + silenceLimit;
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (!(sent < 0 && blocked() && waitFor(fd, POLLOUT, deadline))) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string ask(const GateSocket& gate, std::string_view agent, std::string input) {
    const int fd = gate.fd();
    if (!sendAll(fd, HookAnswer::requestHead(agent, input.size())) || !sendAll(fd, input)) {
        return {};
    }
    input = std::string();
    HookAnswer::Reader reader;
    std::array<char, 16384> buffer{};
    auto deadline = Clock::now() + silenceLimit;
    while (true) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got > 0) {
            deadline = Clock::now() + silenceLimit;
            if (auto decision = reader.take({buffer.data(), static_cast<std::size_t>(got)})) {
                return std::move(*decision);
            }
        } else if (got == 0) {
            return reader.end();
        } else if (errno != EINTR && !(blocked() && waitFor(fd, POLLIN, deadline))) {
            return {};
        }
    }
}

} // namespace HookExchange
