// Figures of the controller itself, each in its own process so that one does not warm or
// fragment the heap for the next:
//   kestrova-bench-controller probe-refused | probe-silent | signin-stall | refresh-burst
#include "app/TrayWatcher.h"
#include "gate/GateController.h"
#include "platform/ReplyLifetime.h"
#include "support/Devstack.h"
#include "support/TestHome.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <mutex>
#include <unordered_set>
#include <vector>

using namespace std::chrono_literals;

// Qt's object-lifetime hooks (what debuggers use); declared in a private header.
extern quintptr Q_CORE_EXPORT qtHookData[];

namespace {

constexpr int kAddQObjectHook = 3;
constexpr int kRemoveQObjectHook = 4;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Runs the event loop until done() holds or the time is up; says whether it held.
template <typename Done> bool waitUntil(Done done, std::chrono::milliseconds limit) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < limit.count()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    return done();
}

void idleFor(std::chrono::milliseconds duration) {
    waitUntil([] { return false; }, duration);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

long residentKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    static const QRegularExpression vmRss(QStringLiteral(R"(VmRSS:\s+(\d+) kB)"));
    return vmRss.match(QString::fromLatin1(status.readAll())).captured(1).toLong();
}

// Milliseconds from refresh() to the end of its probe cycle.
double timeCycle(GateController& gate) {
    bool probed = false;
    const auto counting = QObject::connect(&gate, &GateController::probed, [&] { probed = true; });
    QElapsedTimer timer;
    timer.start();
    gate.refresh();
    waitUntil([&] { return probed; }, 10s);
    const double elapsed = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    QObject::disconnect(counting);
    return elapsed;
}

std::unique_ptr<GateController> startedController(GateEnvironment environment) {
    auto gate = std::make_unique<GateController>(std::move(environment));
    waitUntil([&] { return !gate->lastChecked().isEmpty(); }, 10s);
    return gate;
}

int probeRefused() {
    const TestHome home;
    const auto gate = startedController(home.environment());
    std::vector<double> cycles;
    for (int run = 0; run < 50; ++run) {
        cycles.push_back(timeCycle(*gate));
    }
    std::printf("probe-refused: %.2f ms (median of 50; target ≤ 20 ms)\n", median(cycles));
    return 0;
}

int probeSilent() {
    // Both gates accept the connection and never say a word.
    QTcpServer own;
    QTcpServer existing;
    own.listen(QHostAddress::LocalHost);
    existing.listen(QHostAddress::LocalHost);
    const TestHome home;
    GateEnvironment environment = home.environment();
    environment.ownGatePort = own.serverPort();
    environment.existingGatePort = existing.serverPort();
    const auto gate = startedController(environment);
    std::vector<double> cycles;
    for (int run = 0; run < 3; ++run) {
        cycles.push_back(timeCycle(*gate));
    }
    std::printf("probe-silent: %.0f ms (median of 3; target 2800–3300 ms)\n", median(cycles));
    return 0;
}

// The browser of a sign-in: opens the devstack's authorization page, follows its "continue"
// link and returns where that redirects, all without blocking the event loop.
class ScriptedSheet final : public SignInSheet {
public:
    ScriptedSheet() { m_network.setProxy(QNetworkProxy::NoProxy); }

    QCoro::Task<Outcome> present(QUrl authorizationUrl, QString) override {
        const Fetched page = co_await fetch(authorizationUrl);
        static const QRegularExpression link(R"re(<a id="continue" href="([^"]+)")re");
        const auto match = link.match(QString::fromUtf8(page.body));
        if (!match.hasMatch()) {
            co_return std::unexpected(Failure{.description = QStringLiteral("no continue link")});
        }
        const QUrl next = authorizationUrl.resolved(QUrl(match.captured(1).replace("&amp;", "&")));
        const Fetched approved = co_await fetch(next);
        co_return QUrl::fromEncoded(approved.location);
    }
    void cancel() override {}

private:
    struct Fetched {
        QByteArray body;
        QByteArray location;
    };

    QCoro::Task<Fetched> fetch(QUrl url) {
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        const std::unique_ptr<QNetworkReply> reply(m_network.get(request));
        co_await ReplyLifetime::Finished{*reply};
        co_return Fetched{reply->readAll(), reply->rawHeader("Location")};
    }

    QNetworkAccessManager m_network;
};

// The longest the event loop went without running a 1 ms timer, beyond that millisecond.
class StallProbe {
public:
    StallProbe() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_longest = std::max(m_longest, static_cast<double>(now - m_last) / 1e6 - 1);
            m_last = now;
        });
    }
    void start() {
        m_longest = 0;
        m_clock.start();
        m_last = 0;
        m_timer.start();
    }
    double longestMs() const { return m_longest; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    double m_longest = 0;
};

int signinStall() {
    const Devstack devstack({QStringLiteral("--delay-ms"), QStringLiteral("300")});
    if (!devstack.isRunning()) {
        std::fprintf(stderr, "signin-stall: the devstack did not start\n");
        return 1;
    }
    const TestHome home;
    home.makeFile(QStringLiteral("usr/bin/claude"), "#!/bin/sh\n", true);
    home.makeFile(QStringLiteral(".codex/config.toml"));
    home.makeFile(QStringLiteral(".gemini/settings.json"));
    GateEnvironment environment = home.environmentWithDaemon();
    environment.google = {.clientId = devstack.clientId(),
                          .authorizationUrl = devstack.googleAuthUrl(),
                          .tokenUrl = devstack.googleTokenUrl()};
    environment.relayUrl = QUrl(devstack.baseUrl().toString(QUrl::StripTrailingSlash));
    environment.signInSheet = std::make_shared<ScriptedSheet>();
    environment.machineName = [] { return QStringLiteral("Bench"); };
    const auto gate = startedController(environment);

    // The same probe over an idle loop first, for its own noise.
    StallProbe probe;
    probe.start();
    idleFor(2s);
    const double idle = probe.longestMs();

    probe.start();
    QElapsedTimer took;
    took.start();
    gate->signIn();
    const bool done = waitUntil(
        [&] {
            return !gate->signingIn() &&
                   (!gate->registeredAgents().isEmpty() || gate->registrationError());
        },
        30s);
    const double stall = probe.longestMs();
    const auto tookMs = took.elapsed();
    const auto registered = gate->registeredAgents().size();
    const bool gateStarted = gate->gateProcessId().has_value();
    killProcess(gate->gateProcessId().value_or(0));
    if (!done || registered != 3) {
        std::fprintf(stderr, "signin-stall: sign-in did not register three agents (%lld): %s\n",
                     static_cast<long long>(registered),
                     qPrintable(gate->lastError().value_or(
                         gate->registrationError().value_or(QStringLiteral("timed out")))));
        return 1;
    }
    std::printf("signin-stall: %.1f ms (longest of a %lld ms sign-in, gate %s, 3 agents; idle "
                "loop %.1f ms; target ≤ 30 ms)\n",
                stall, static_cast<long long>(tookMs), gateStarted ? "started" : "NOT started",
                idle);
    return 0;
}

// The tray watcher on a bus whose StatusNotifierWatcher never answers (bench/run.sh starts
// that bus): the longest the event loop stood still from its start until the watcher's question
// timed out.
int trayStall() {
    StallProbe probe;
    probe.start();
    TrayWatcher trays;
    bool settled = false;
    QObject::connect(&trays, &TrayWatcher::settled, [&] {
        settled = true;
        trays.kind();
    });
    idleFor(3s);
    std::printf("tray-stall: %.1f ms (longest of 3 s from the watcher's start, its bus owner never "
                "answering; settled %s; target ≤ 30 ms)\n",
                probe.longestMs(), settled ? "yes" : "NO");
    return 0;
}

std::mutex liveMutex;
std::unordered_set<QObject*>* live = nullptr;

void added(QObject* object) {
    const std::lock_guard lock(liveMutex);
    live->insert(object);
}

void removed(QObject* object) {
    const std::lock_guard lock(liveMutex);
    live->erase(object);
}

long liveReplies() {
    const std::lock_guard lock(liveMutex);
    return std::count_if(live->cbegin(), live->cend(),
                         [](QObject* object) { return qobject_cast<QNetworkReply*>(object); });
}

int refreshBurst() {
    // The controller keeps its network manager private, so replies are counted as objects.
    live = new std::unordered_set<QObject*>;
    // Room for the burst's objects up front, so the count's own growth is not measured.
    live->reserve(32768);
    qtHookData[kAddQObjectHook] = reinterpret_cast<quintptr>(&added);
    qtHookData[kRemoveQObjectHook] = reinterpret_cast<quintptr>(&removed);

    const TestHome home;
    const auto gate = startedController(home.environment());
    for (int run = 0; run < 10; ++run) { // lazily made parts of the network stack
        timeCycle(*gate);
    }
    idleFor(1s);
    const long before = residentKiB();

    int cycles = 0;
    QObject::connect(gate.get(), &GateController::probed, [&] { ++cycles; });
    for (int call = 0; call < 1000; ++call) {
        gate->refresh();
    }
    const long inFlight = liveReplies();
    const bool finished = waitUntil([&] { return cycles >= 1000; }, 120s);
    // Longer than the probe deadline: each probe's deadline timer lives until it fires.
    idleFor(4s);
    const long after = residentKiB();
    const long left = liveReplies();
    // What the allocator keeps from the burst's peak, as against what is still in use.
    malloc_trim(0);
    const long trimmed = residentKiB();
    if (!finished) {
        std::fprintf(stderr, "refresh-burst: only %d of 1000 cycles\n", cycles);
        return 1;
    }
    std::printf("burst-rss-growth: %ld KiB (1000 refresh() then idle; %ld KiB after malloc_trim; "
                "target ≤ 2048 KiB)\n",
                after - before, trimmed - before);
    std::printf("burst-live-replies: %ld replies (%ld live right after the burst; target 0)\n",
                left, inFlight);
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QString figure = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (figure == u"probe-refused") {
        return probeRefused();
    }
    if (figure == u"probe-silent") {
        return probeSilent();
    }
    if (figure == u"signin-stall") {
        return signinStall();
    }
    if (figure == u"refresh-burst") {
        return refreshBurst();
    }
    if (figure == u"tray-stall") {
        return trayStall();
    }
    std::fprintf(
        stderr,
        "usage: %s probe-refused | probe-silent | signin-stall | refresh-burst | tray-stall\n",
        argv[0]);
    return 2;
}
