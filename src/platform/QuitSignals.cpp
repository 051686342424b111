#include "platform/QuitSignals.h"

#include "platform/PlatformLog.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::array handled{SIGTERM, SIGINT};
// Read by the handler: set before the handler is installed, cleared after it is removed.
volatile std::sig_atomic_t writeEnd =
    -1; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

void onSignal(int signal) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    // Non-blocking: with the pipe full, a request to end is already waiting.
    [[maybe_unused]] const auto written = ::write(writeEnd, &byte, 1);
    errno = saved;
}

void setAction(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : handled) {
        ::sigaction(signal, &action, nullptr);
    }
}

} // namespace

QuitSignals::QuitSignals(QObject* parent)
    : QObject(parent) {
    std::array<int, 2> ends{-1, -1};
    // Close-on-exec: the gate and the browser must not hold our pipe.
    if (::pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        qCWarning(lcPlatform) << "No pipe for SIGTERM and SIGINT, which end the program at once:"
                              << std::strerror(errno);
        return;
    }
    m_readEnd = ends[0];
    writeEnd = ends[1];
    m_notifier = std::make_unique<QSocketNotifier>(m_readEnd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &QuitSignals::drain);
    setAction(onSignal);
}

QuitSignals::~QuitSignals() {
    if (m_readEnd < 0) {
        return;
    }
    setAction(SIG_DFL);
    ::close(writeEnd);
    writeEnd = -1;
    ::close(m_readEnd);
}

void QuitSignals::drain() {
    std::array<unsigned char, 16> bytes{};
    bool any = false;
    while (::read(m_readEnd, bytes.data(), bytes.size()) > 0) {
        any = true;
    }
    if (any) {
        emit received();
    }
}
