#include "gate/GateEvents.h"

#include "gate/GateLog.h"
#include "gate/GateState.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QUrl>

#include <algorithm>

namespace {

// The gate waits for the relay before it answers a decision.
constexpr std::chrono::milliseconds kDecisionDeadline{30000};
// How many endings are kept for the views that still show those requests.
constexpr qsizetype kEndingsKept = 200;

QString quoted(const QString& title) {
    return QStringLiteral("“") + title + QStringLiteral("”");
}

// What the user is told when the answer given here did not decide the request.
std::optional<QString> noticeFor(const std::expected<GateExchange::Answer, GateSocketError>& sent,
                                 const QString& title) {
    if (!sent) {
        using Kind = GateSocketError::Kind;
        const Kind kind = sent.error().kind;
        const QString why = kind == Kind::NoAnswer ? QStringLiteral("no answer")
                            : kind == Kind::NotServing || kind == Kind::NoRuntimeFolder
                                ? QStringLiteral("not reachable")
                                : sent.error().errorDescription();
        return QStringLiteral("Your answer to %1 could not be sent to the gate (%2).")
            .arg(quoted(title), why);
    }
    switch (sent->status) {
    case 200:
        return std::nullopt;
    case 409:
        return QStringLiteral("Too late: %1 was already answered elsewhere.").arg(quoted(title));
    case 404: // answered elsewhere, expired or withdrawn before this answer arrived
        return QStringLiteral("Too late: %1 is no longer waiting.").arg(quoted(title));
    case 502:
        return QStringLiteral("Your answer to %1 did not reach the relay; nothing was decided.")
            .arg(quoted(title));
    default:
        return QStringLiteral("Your answer to %1 could not be sent to the gate (HTTP %2).")
            .arg(quoted(title))
            .arg(sent->status);
    }
}

void release(GateExchange* exchange) {
    if (exchange != nullptr) {
        // Its end is not news to anyone: it was dropped on purpose.
        exchange->disconnect();
        exchange->abort();
        exchange->deleteLater();
    }
}

} // namespace

GateEvents::GateEvents(const GateEnvironment& environment, GateState& state)
    : m_env(environment)
    , m_state(state)
    , m_stream(nullptr, release) {
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &GateEvents::open);
    connect(&m_state, &GateState::changed, this, &GateEvents::follow);
}

GateEvents::~GateEvents() {
    drop();
    // Answers on their way end now; their callers find the controller closing.
    for (GateExchange* exchange : findChildren<GateExchange*>()) {
        exchange->abort();
    }
}

void GateEvents::follow() {
    // Only a change of the gate's state matters here; whatever this publishes comes back as
    // another change and must find nothing to do.
    if (m_state.closing() || m_state.helperRunning == m_serving) {
        return;
    }
    m_serving = m_state.helperRunning;
    m_failures = 0;
    if (m_serving) {
        open();
        return;
    }
    // Stopped: what waited there went with it, and the next gate is asked afresh.
    drop();
    m_retry.stop();
    m_feed = Feed::Off;
    publish({}, Ending::Withdrawn);
    m_state.publish(m_state.answersUnavailable, std::nullopt);
}

void GateEvents::retry() {
    if (m_serving && m_feed != Feed::Opening && m_feed != Feed::Live) {
        m_retry.stop();
        open();
    }
}

void GateEvents::open() {
    drop();
    const auto path = GateSocket::path();
    if (!path) {
        fail(GateSocketError{.kind = GateSocketError::Kind::NoRuntimeFolder}.errorDescription(),
             true);
        return;
    }
    m_feed = Feed::Opening;
    m_delivered = false;
    m_framing = EventStream();
    m_stream.reset(
        new GateExchange(*path, {.method = "GET", .path = "/events", .accept = "text/event-stream"},
                         m_env.probeTimeout, GateExchange::Deadline::Head, this));
    connect(m_stream.get(), &GateExchange::headReceived, this, &GateEvents::onHead);
    connect(m_stream.get(), &GateExchange::bodyReceived, this, &GateEvents::onBody);
    connect(m_stream.get(), &GateExchange::ended, this, &GateEvents::onEnded);
}

void GateEvents::drop() {
    m_stream.reset();
}

void GateEvents::onHead(int status) {
    if (status == 200) {
        m_feed = Feed::Live;
        return;
    }
    // A gate that refuses the list refuses it again: asked once more only on request, or when
    // a gate starts anew. One that fails may not the next time.
    const bool refused = status >= 400 && status < 500;
    fail(refused ? QStringLiteral("the gate refused it: HTTP %1").arg(status)
                 : QStringLiteral("the gate failed: HTTP %1").arg(status),
         refused);
}

void GateEvents::onBody(const QByteArray& data) {
    for (const QByteArray& event : m_framing.feed(data)) {
        const auto change = WaitingRequests::parse(event);
        if (!change) {
            qCWarning(lcGate) << "skipped an event of the gate's live list that is not a change";
            continue;
        }
        // A change before the whole list came is not one to apply to it.
        if (!m_delivered && !change->list) {
            continue;
        }
        m_delivered = true;
        m_failures = 0;
        m_state.publish(m_state.answersUnavailable, std::nullopt);
        apply(*change);
    }
    if (m_framing.overflowed()) {
        fail(QStringLiteral("the gate sent an endless line"), true);
    }
}

void GateEvents::onEnded(const std::optional<GateSocketError>& error) {
    if (m_state.closing()) {
        return;
    }
    if (error && error->kind == GateSocketError::Kind::NotServing) {
        // Perhaps the gate is gone: the probe says, and a stopped gate ends the retries.
        emit m_state.refreshRequested();
    }
    fail(error ? error->errorDescription() : QStringLiteral("the gate ended it"), false);
}

void GateEvents::fail(const QString& why, bool refused) {
    drop();
    qCWarning(lcGate) << "the gate's live list:" << why;
    if (refused) {
        m_feed = Feed::Refused;
        m_state.publish(m_state.answersUnavailable, why);
        return;
    }
    // A list that ended after it delivered was not a failure yet: the gate may be restarting.
    m_failures = m_delivered ? 1 : m_failures + 1;
    m_delivered = false;
    m_feed = Feed::Waiting;
    if (m_failures >= kFailuresShown) {
        m_state.publish(m_state.answersUnavailable, why);
    }
    const auto wait = std::min<std::chrono::milliseconds>(
        std::chrono::seconds(1) * (1 << std::min(m_failures - 1, 5)), kLongestRetry);
    m_retry.start(wait);
}

void GateEvents::apply(const WaitingRequests::Change& change) {
    if (change.list) {
        publish(*change.list);
        return;
    }
    QList<WaitingRequest> requests = m_state.waitingRequests;
    if (change.added) {
        const auto listed = std::ranges::find(requests, change.added->id, &WaitingRequest::id);
        if (listed != requests.end()) {
            *listed = *change.added;
        } else {
            requests << *change.added;
        }
        publish(requests);
    } else if (change.ended) {
        requests.removeIf([&](const WaitingRequest& r) { return r.id == change.ended->id; });
        publish(requests, change.ended->how);
    }
}

void GateEvents::publish(const QList<WaitingRequest>& requests, Ending gone) {
    const auto listed = [](const QList<WaitingRequest>& list, const QString& id) {
        return std::ranges::find(list, id, &WaitingRequest::id) != list.end();
    };
    QList<RequestEnding> endings = m_state.endedRequests;
    for (const WaitingRequest& request : m_state.waitingRequests) {
        if (!listed(requests, request.id)) {
            endings.append({.id = request.id, .how = gone});
        }
    }
    endings.remove(0, std::max<qsizetype>(0, endings.size() - kEndingsKept));
    // Before the list: a view redrawn for the list knows already how the missing ones ended.
    if (endings != m_state.endedRequests) {
        m_state.publish(m_state.endedRequests, endings);
    }
    if (requests == m_state.waitingRequests) {
        return;
    }
    // A notice about an answer given before goes once something new waits.
    const bool newcomer = std::ranges::any_of(
        requests, [&](const WaitingRequest& r) { return !listed(m_state.waitingRequests, r.id); });
    if (newcomer && m_state.decisionNotice) {
        m_state.decisionNotice.reset();
    }
    m_state.publish(m_state.waitingRequests, requests);
}

QCoro::Task<> GateEvents::decide(QString id, Decision decision) {
    // Its answer is on the way; a second click would only come back "too late".
    if (m_deciding.contains(id)) {
        co_return;
    }
    const auto shown = std::ranges::find(m_state.waitingRequests, id, &WaitingRequest::id);
    const QString title = shown == m_state.waitingRequests.end() ? id : shown->title;
    m_state.publish(m_state.decisionNotice, std::nullopt);
    const auto path = GateSocket::path();
    if (!path) {
        m_state.publish(
            m_state.decisionNotice,
            QStringLiteral("Your answer to %1 was not sent: %2.")
                .arg(quoted(title),
                     GateSocketError{GateSocketError::Kind::NoRuntimeFolder}.errorDescription()));
        co_return;
    }
    m_deciding.insert(id);
    const QPointer<GateEvents> self(this);
    const QJsonObject body{{QStringLiteral("status"), WaitingRequests::statusOf(decision)}};
    // Named: GCC 12 destroys a braced temporary given to a coroutine twice.
    const GateExchange::Request request{.method = "POST",
                                        .path =
                                            "/intents/" + QUrl::toPercentEncoding(id) + "/decision",
                                        .body = QJsonDocument(body).toJson(QJsonDocument::Compact)};
    const auto sent = co_await GateExchange::fetch(*this, *path, request, kDecisionDeadline);
    if (!stillHere(self)) {
        co_return;
    }
    m_deciding.remove(id);
    qCInfo(lcGate) << "decision sent:" << (sent ? sent->status : -1);
    if (auto notice = noticeFor(sent, title)) {
        m_state.publish(m_state.decisionNotice, std::move(notice));
    }
}
