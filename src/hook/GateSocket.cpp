#include "hook/GateSocket.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

std::expected<GateSocket, std::string> GateSocket::connect(const std::optional<std::string>& path) {
    if (!path) {
        return std::unexpected("no private runtime folder for the gate's socket");
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path->size() >= sizeof address.sun_path) {
        return std::unexpected(*path + ": path too long for a socket");
    }
    std::memcpy(address.sun_path, path->c_str(), path->size() + 1);
    GateSocket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (socket.m_fd < 0) {
        return std::unexpected(std::string("no socket: ") + std::strerror(errno));
    }
    // A local connect completes at once or fails; a gate whose backlog is full counts as none.
    if (::connect(socket.m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::unexpected("no gate at " + *path + ": " + std::strerror(errno));
    }
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(socket.m_fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        return std::unexpected(*path + ": its listener cannot be told: " + std::strerror(errno));
    }
    if (peer.uid != ::getuid()) {
        return std::unexpected(*path + " is served by another user (uid " +
                               std::to_string(peer.uid) + "); not used");
    }
    return socket;
}

GateSocket::GateSocket(GateSocket&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)) {
}

GateSocket::~GateSocket() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}
