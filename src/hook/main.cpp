// kestrova-hook AGENT: an agent's hook command. It hands the hook's input (stdin) to the gate
// over the gate's socket and prints the gate's answer, which the agent reads as its decision;
// nothing printed leaves the question to the agent's own prompt. It always exits 0: with no
// gate, a gate of another user, a frozen gate or bad arguments it prints nothing.
// kestrova-hook mcp: an agent's MCP server, a byte pipe between stdio and the gate's MCP socket.
// No Qt: it starts before every prompt.
#include "hook/GateSocket.h"
#include "hook/HookAnswer.h"
#include "hook/HookExchange.h"
#include "hook/McpPipe.h"
#include "platform/UserDirs.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

constexpr std::size_t maxInput = std::size_t{1} << 20;

// The whole of standard input, or nothing when it is larger than maxInput or unreadable.
std::optional<std::string> readInput() {
    std::string data;
    std::array<char, 65536> buffer{};
    while (true) {
        const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (got == 0) {
            return data;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 || !HookAnswer::appendWithin(
                           data, {buffer.data(), static_cast<std::size_t>(got)}, maxInput)) {
            return std::nullopt;
        }
    }
}

void print(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

bool isAgentName(std::string_view name) {
    return !name.empty() && name.size() <= 32 &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyz-") == std::string_view::npos;
}

// "--port N" as earlier versions wrote it into the agents' settings: taken and not used, so
// that those entries keep working until connect replaces them. Anything else is refused.
bool isOldPortOption(std::span<char*> rest) {
    if (rest.size() != 2 || std::string_view(rest[0]) != "--port") {
        return false;
    }
    const std::string_view port = rest[1];
    unsigned number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    return error == std::errc() && end == port.data() + port.size() && number >= 1 &&
           number <= 65535;
}

int refuse(const char* why) {
    std::fprintf(stderr, "kestrova-hook: %s\nusage: kestrova-hook AGENT | kestrova-hook mcp\n",
                 why);
    return 0;
}

int mcp() {
    const auto gate = GateSocket::connect(UserDirs::mcpSocket());
    if (!gate) {
        std::fprintf(stderr, "kestrova-hook: %s\n", gate.error().c_str());
        return 1;
    }
    return McpPipe::run(*gate);
}

int hook(std::string_view agent) {
    auto input = readInput();
    if (!input) {
        return refuse("the hook's input is larger than 1 MiB or unreadable; no decision");
    }
    // Checked before a byte is sent: what another account listens on hears nothing.
    const auto gate = GateSocket::connect(UserDirs::gateSocket());
    if (gate) {
        print(HookExchange::ask(*gate, agent, std::move(*input)));
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    // An agent that stops reading must not turn the exit status into a signal's.
    std::signal(SIGPIPE, SIG_IGN);
    const std::span<char*> arguments(argv, static_cast<std::size_t>(argc));
    if (arguments.size() == 2 && std::string_view(arguments[1]) == "mcp") {
        return mcp();
    }
    if (arguments.size() < 2 || !isAgentName(arguments[1])) {
        return refuse("the first argument names the agent (claude-code, codex, gemini)");
    }
    if (arguments.size() > 2 && !isOldPortOption(arguments.subspan(2))) {
        return refuse("unknown arguments after the agent's name");
    }
    return hook(arguments[1]);
}
