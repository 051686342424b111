// How long an agent waits for kestrova-hook before the gate has the question: from the spawn
// to the whole request read by a stand-in gate on the gate's socket, against the spawn of
// /bin/true to its exit, alternating, median of many runs. Prints one figure line.
//   kestrova-bench-hook HOOK_BINARY RUNS
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

double nowMs() {
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return double(time.tv_sec) * 1000.0 + double(time.tv_nsec) / 1e6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

pid_t spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& env,
            int input) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input >= 0) {
        posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    }
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& variable : env) {
        envp.push_back(const_cast<char*>(variable.c_str()));
    }
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Reads one request whole (headers and the Content-Length body) and answers "{}".
void serveOne(int listener) {
    const int fd = accept(listener, nullptr, nullptr);
    std::string request;
    std::array<char, 4096> buffer{};
    while (true) {
        const std::size_t headEnd = request.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            const std::size_t at = request.find("Content-Length: ");
            const std::size_t length = std::strtoul(request.c_str() + at + 16, nullptr, 10);
            if (request.size() >= headEnd + 4 + length) {
                break;
            }
        }
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got <= 0) {
            break;
        }
        request.append(buffer.data(), std::size_t(got));
    }
    const std::string answer = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                               "2\r\n{}\r\n0\r\n\r\n";
    if (write(fd, answer.data(), answer.size()) < 0) {
        std::perror("write");
    }
    close(fd);
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kestrova-bench-hook HOOK_BINARY RUNS\n");
        return 2;
    }
    const std::string hook = argv[1];
    const int runs = std::atoi(argv[2]);
    // A private runtime folder, as the gate finds one, with the gate's folder in it.
    const auto runtime = std::filesystem::temp_directory_path() /
                         ("kestrova-bench-hook-" + std::to_string(getpid()));
    std::filesystem::create_directories(runtime / "kestrova-helper");
    chmod(runtime.c_str(), 0700);
    const std::vector<std::string> env{"XDG_RUNTIME_DIR=" + runtime.string(), "PATH=/usr/bin:/bin"};

    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (runtime / "kestrova-helper/gate.sock").string();
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0) {
        std::perror(socketPath.c_str());
        return 1;
    }
    const std::string input =
        R"({"session_id":"s","cwd":"/tmp","hook_event_name":"PermissionRequest",)"
        R"("tool_name":"Bash","tool_input":{"command":"rm -rf build"}})";

    std::vector<double> toRequest;
    std::vector<double> toExit;
    std::vector<double> trueExit;
    const int warmUp = 10;
    for (int run = 0; run < runs + warmUp; ++run) {
        std::array<int, 2> pipeEnds{};
        if (pipe2(pipeEnds.data(), O_CLOEXEC) != 0) {
            return 1;
        }
        const double start = nowMs();
        const pid_t child = spawn({hook, "claude-code"}, env, pipeEnds[0]);
        close(pipeEnds[0]);
        if (write(pipeEnds[1], input.data(), input.size()) != ssize_t(input.size())) {
            return 1;
        }
        close(pipeEnds[1]);
        serveOne(listener);
        const double requested = nowMs();
        waitpid(child, nullptr, 0);
        const double ended = nowMs();

        const double trueStart = nowMs();
        waitpid(spawn({"/bin/true"}, env, -1), nullptr, 0);
        const double trueEnded = nowMs();
        if (run >= warmUp) {
            toRequest.push_back(requested - start);
            toExit.push_back(ended - start);
            trueExit.push_back(trueEnded - trueStart);
        }
    }
    std::filesystem::remove_all(runtime);
    const double overTrue = median(toRequest) - median(trueExit);
    std::printf("hook-start: %.2f ms from spawn to the request at the gate, %.2f ms to exit; "
                "/bin/true %.2f ms to exit (%.2f ms over it; median of %d; target ≤ 5 ms over)\n",
                median(toRequest), median(toExit), median(trueExit), overTrue, runs);
    return 0;
}
