#include "platform/UserDirs.h"

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace UserDirs {

namespace {

std::optional<std::string> absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') {
        return std::nullopt;
    }
    return std::string(value);
}

std::optional<std::string> inHome(const char* relative) {
    auto home = absoluteVariable("HOME");
    if (home) {
        home->append(relative);
    }
    return home;
}

std::optional<std::string> inGateFolder(const char* name) {
    auto folder = gateFolder();
    if (folder) {
        folder->append("/").append(name);
    }
    return folder;
}

// A folder (not a link) of this uid that no group or other account may enter: where
// nobody else can place a socket of their own.
bool isPrivateFolder(const std::string& path) {
    struct stat status {};
    // lstat: a link would let whoever can change it choose where the sockets are.
    return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::getuid() && (status.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

} // namespace

std::optional<std::string> dataHome() {
    return absoluteVariable("XDG_DATA_HOME").or_else([] { return inHome("/.local/share"); });
}

std::optional<std::string> stateHome() {
    return absoluteVariable("XDG_STATE_HOME").or_else([] { return inHome("/.local/state"); });
}

std::optional<std::string> runtimeFolder() {
    if (auto runtime = absoluteVariable("XDG_RUNTIME_DIR"); runtime && isPrivateFolder(*runtime)) {
        return runtime;
    }
    std::string perUser = "/run/user/" + std::to_string(::getuid());
    if (isPrivateFolder(perUser)) {
        return perUser;
    }
    return std::nullopt;
}

std::optional<std::string> gateFolder() {
    auto folder = runtimeFolder();
    if (folder) {
        folder->append("/kestrova-helper");
    }
    return folder;
}

std::optional<std::string> gateSocket() {
    return inGateFolder("gate.sock");
}

std::optional<std::string> mcpSocket() {
    return inGateFolder("mcp.sock");
}

} // namespace UserDirs
