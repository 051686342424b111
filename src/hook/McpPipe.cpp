#include "hook/McpPipe.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace McpPipe {

namespace {

// One way through the pipe: bytes read from `from` and not yet written to `to`. Nothing more
// is read until they are written, so a side that stops reading holds up only its own way.
struct Way {
    int from = -1;
    int to = -1;
    std::array<char, 65536> buffer{};
    std::size_t start = 0;
    std::size_t end = 0;
    bool ended = false; // `from` reached its end, or failed

    bool empty() const { return start == end; }
    bool finished() const { return ended && empty(); }

    void fill() {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got > 0) {
            start = 0;
            end = static_cast<std::size_t>(got);
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            ended = true;
        }
    }

    // False when `to` is gone.
    bool drain() {
        const ssize_t written = ::write(to, buffer.data() + start, end - start);
        if (written > 0) {
            start += static_cast<std::size_t>(written);
        }
        return written > 0 || errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
    }
};

short events(bool read, bool write) {
    return static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0));
}

bool ready(const pollfd& entry, short event) {
    return (entry.revents & (event | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

} // namespace

int run(const GateSocket& gate) {
    const int socket = gate.fd();
    Way up{.from = STDIN_FILENO, .to = socket};
    Way down{.from = socket, .to = STDOUT_FILENO};
    bool halfClosed = false;
    bool gateGone = false;
    while (!down.finished()) {
        if (up.finished() && !halfClosed && !gateGone) {
            ::shutdown(socket, SHUT_WR);
            halfClosed = true;
        }
        std::array<pollfd, 3> entries{{
            {.fd = STDIN_FILENO, .events = events(!up.ended && up.empty(), false), .revents = 0},
            {.fd = socket,
             .events = events(!down.ended && down.empty(), !up.empty()),
             .revents = 0},
            {.fd = STDOUT_FILENO, .events = events(false, !down.empty()), .revents = 0},
        }};
        // A descriptor with nothing to wait for is left out; poll skips negative ones.
        for (pollfd& entry : entries) {
            entry.fd = entry.events != 0 ? entry.fd : -1;
        }
        if (::poll(entries.data(), entries.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 1;
        }
        if (entries[0].fd >= 0 && ready(entries[0], POLLIN)) {
            up.fill();
        }
        if (!up.empty() && ready(entries[1], POLLOUT) && !up.drain()) {
            // The gate is gone: what it still sent is delivered below, then the session ends.
            up.start = up.end;
            up.ended = true;
            gateGone = true;
        }
        if (!down.ended && down.empty() && ready(entries[1], POLLIN)) {
            down.fill();
        }
        if (!down.empty() && ready(entries[2], POLLOUT) && !down.drain()) {
            return 0; // the agent no longer reads
        }
    }
    if (gateGone || !halfClosed) {
        std::fputs("kestrova-hook: the gate ended the MCP session\n", stderr);
        return 1;
    }
    return 0;
}

} // namespace McpPipe
