#pragma once

#include <expected>
#include <optional>
#include <string>

// A connection to one of the gate's Unix sockets. It exists only once the program listening
// there proved to run as this user: another account's listener hears nothing, not even the
// request line.
class GateSocket {
public:
    // Connects to the socket at path (none when there is no private runtime folder); the
    // reason on failure, one line. The connection is non-blocking.
    static std::expected<GateSocket, std::string> connect(const std::optional<std::string>& path);

    GateSocket(GateSocket&& other) noexcept;
    GateSocket(const GateSocket&) = delete;
    GateSocket& operator=(const GateSocket&) = delete;
    GateSocket& operator=(GateSocket&&) = delete;
    ~GateSocket();

    int fd() const { return m_fd; }

private:
    explicit GateSocket(int fd)
        : m_fd(fd) {}

    int m_fd;
};
