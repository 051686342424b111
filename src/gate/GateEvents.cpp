#include "gate/GateEvents.h"

#include "gate/GateLog.h"
#include "gate/GateProbe.h"
#include "gate/GateState.h"
#include "platform/RegularFile.h"

#include <QCoro/QCoroNetworkReply>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QPointer>

#include <algorithm>

namespace {

// The gate waits for the relay before it answers a decision.
constexpr std::chrono::milliseconds kDecisionDeadline{30000};

QString quoted(const QString& title) {
    return QStringLiteral("“") + title + QStringLiteral("”");
}

// What the user is told when the answer given here did not decide the request.
std::optional<QString> noticeFor(int status, QNetworkReply::NetworkError error,
                                 const QString& title) {
    switch (status) {
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
        break;
    }
    const QString why = status > 0 ? QStringLiteral("HTTP %1").arg(status)
                        : error == QNetworkReply::OperationCanceledError
                            ? QStringLiteral("no answer")
                            : QStringLiteral("not reachable");
    return QStringLiteral("Your answer to %1 could not be sent to the gate (%2).")
        .arg(quoted(title), why);
}

} // namespace

GateEvents::GateEvents(const GateEnvironment& environment, GateState& state,
                       QNetworkAccessManager& network, QString secretPath)
    : m_env(environment)
    , m_state(state)
    , m_network(network)
    , m_secretPath(std::move(secretPath)) {
    connect(&m_state, &GateState::changed, this, &GateEvents::follow);
}

GateEvents::~GateEvents() {
    drop();
}

QUrl GateEvents::url(const QString& path) const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_env.ownGatePort).arg(path));
}

std::optional<QByteArray> GateEvents::secret() const {
    // 43 characters and a newline; anything much longer is not a secret this helper wrote.
    const auto contents = RegularFile::read(m_secretPath, 1024);
    const QByteArray trimmed = contents ? contents->trimmed() : QByteArray();
    return trimmed.isEmpty() ? std::nullopt : std::optional(trimmed);
}

void GateEvents::follow() {
    if (m_state.closing()) {
        return;
    }
    if (!m_state.helperRunning) {
        // Stopped: the next gate that serves is asked afresh.
        m_refused = false;
        m_emptyStreams = 0;
        drop();
        publish({});
        return;
    }
    if (!m_stream && !m_refused && !m_checking) {
        open();
    }
}

void GateEvents::open() {
    const auto key = secret();
    if (!key) {
        qCWarning(lcGate) << "no gate secret to follow the waiting requests with";
        m_refused = true;
        return;
    }
    QNetworkRequest request(url(QStringLiteral("/events")));
    request.setRawHeader("Authorization", "Bearer " + *key);
    request.setRawHeader("Accept", "text/event-stream");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    m_framing = EventStream();
    m_delivered = false;
    m_stream.reset(m_network.get(request));
    connect(m_stream.get(), &QIODevice::readyRead, this, &GateEvents::onData);
    connect(m_stream.get(), &QNetworkReply::finished, this, &GateEvents::onEnded);
}

void GateEvents::drop() {
    if (m_stream) {
        // Aborting emits finished(), which must not count as the gate ending the stream.
        m_stream->disconnect(this);
        m_stream->abort();
        m_stream.reset();
    }
}

void GateEvents::onData() {
    if (m_stream->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200) {
        return;
    }
    for (const QByteArray& data : m_framing.feed(m_stream->readAll())) {
        if (const auto requests = WaitingRequests::apply(m_state.waitingRequests, data)) {
            m_delivered = true;
            publish(*requests);
        } else {
            qCWarning(lcGate) << "skipped an event of the gate's stream that is not a change";
        }
    }
    if (m_framing.overflowed()) {
        qCWarning(lcGate) << "the gate's event stream sent an endless line; dropped";
        m_refused = true;
        drop();
    }
}

void GateEvents::onEnded() {
    // The controller going away aborts every reply: nothing is published or probed then.
    if (m_state.closing()) {
        m_stream.reset();
        return;
    }
    const int status = m_stream->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    m_emptyStreams = m_delivered ? 0 : m_emptyStreams + 1;
    m_stream.reset();
    publish({});
    // A gate that answers with a refusal, or twice ends the stream before its first event, is
    // not asked again until it has stopped serving.
    if ((status != 0 && status != 200) || m_emptyStreams >= 2) {
        qCWarning(lcGate) << "the gate does not serve its event stream:" << status;
        m_refused = true;
        return;
    }
    // Ended by the gate (stopping, restarting): asked once whether a gate serves now.
    checkAfterEnd();
}

QCoro::Task<> GateEvents::checkAfterEnd() {
    m_checking = true;
    const QPointer<GateEvents> self(this);
    const bool serving = co_await GateProbe::ping(m_network, m_env.ownGatePort, m_env.probeTimeout);
    if (!stillHere(self)) {
        co_return;
    }
    m_checking = false;
    if (serving) {
        follow();
    } else {
        // Gone: the probe publishes it, and the gate that comes next is followed.
        emit m_state.refreshRequested();
    }
}

void GateEvents::publish(const QList<WaitingRequest>& requests) {
    if (requests == m_state.waitingRequests) {
        return;
    }
    // A notice about an answer given before goes once something new waits.
    const bool newcomer = std::ranges::any_of(requests, [this](const WaitingRequest& r) {
        return std::ranges::find(m_state.waitingRequests, r.id, &WaitingRequest::id) ==
               m_state.waitingRequests.end();
    });
    if (newcomer && m_state.decisionNotice) {
        m_state.decisionNotice.reset();
    }
    m_state.publish(m_state.waitingRequests, requests);
}

QCoro::Task<> GateEvents::decide(QString id, Decision decision) {
    const auto key = secret();
    const auto shown = std::ranges::find(m_state.waitingRequests, id, &WaitingRequest::id);
    const QString title = shown == m_state.waitingRequests.end() ? id : shown->title;
    m_state.publish(m_state.decisionNotice, std::nullopt);
    if (!key) {
        m_state.publish(m_state.decisionNotice,
                        QStringLiteral("Your answer to %1 was not sent: the gate's secret is "
                                       "missing.")
                            .arg(quoted(title)));
        co_return;
    }
    const QPointer<GateEvents> self(this);
    QNetworkRequest request(url(QStringLiteral("/intents/%1/decision")
                                    .arg(QString::fromLatin1(QUrl::toPercentEncoding(id)))));
    request.setRawHeader("Authorization", "Bearer " + *key);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const QJsonObject body{{QStringLiteral("status"), WaitingRequests::statusOf(decision)}};
    const ReplyLifetime::Owned reply(
        m_network.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact)));
    QNetworkReply* const raw = reply.get();
    ReplyLifetime::abortAfter(*raw, kDecisionDeadline);
    co_await raw;
    if (!stillHere(self)) {
        co_return;
    }
    const int status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    qCInfo(lcGate) << "decision sent:" << status;
    if (auto notice = noticeFor(status, raw->error(), title)) {
        m_state.publish(m_state.decisionNotice, std::move(notice));
    }
}
