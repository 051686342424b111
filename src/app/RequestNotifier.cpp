#include "app/RequestNotifier.h"

#include "app/RequestNotice.h"
#include "gate/GateController.h"

namespace {
// The key of the notice about an answer that decided nothing; request ids are UUIDs.
const QString kProblemKey = QStringLiteral("answer-not-taken");
} // namespace

RequestNotifier::RequestNotifier(GateController& gate, QDBusConnection bus, const QString& appIcon,
                                 QObject* parent)
    : QObject(parent)
    , m_gate(gate)
    , m_notifications(std::move(bus), appIcon) {
    connect(&m_gate, &GateController::changed, this, &RequestNotifier::sync);
    connect(&m_notifications, &DesktopNotifications::capabilitiesKnown, this,
            &RequestNotifier::sync);
    // A server that came up since shows everything waiting once it said what it can show.
    connect(&m_notifications, &DesktopNotifications::serverReplaced, this, [this] {
        m_shown.clear();
        m_problem.reset();
    });
    connect(&m_notifications, &DesktopNotifications::actionInvoked, this,
            &RequestNotifier::onAction);
}

void RequestNotifier::sync() {
    const auto& capabilities = m_notifications.capabilities();
    // Until the server said what it can show, nothing is shown: the content depends on it.
    if (!capabilities) {
        return;
    }
    QSet<QString> waiting;
    for (const WaitingRequest& request : m_gate.waitingRequests()) {
        const auto notice = RequestNotice::of(request, *capabilities);
        // One whose caller has left offers nothing anybody waits for any more.
        if (notice) {
            waiting << request.id;
        }
        if (notice && !m_shown.contains(request.id)) {
            m_shown << request.id;
            m_notifications.show(request.id, *notice);
        }
    }
    for (const QString& id : m_shown - waiting) {
        m_notifications.withdraw(id);
        m_shown.remove(id);
    }
    const auto& problem = m_gate.published().decisionNotice;
    if (problem != m_problem) {
        m_problem = problem;
        if (problem) {
            m_notifications.show(kProblemKey, RequestNotice::ofProblem(*problem, *capabilities));
        } else {
            m_notifications.withdraw(kProblemKey);
        }
    }
}

void RequestNotifier::onAction(const QString& key, const QString& action) {
    if (const auto decision = RequestNotice::decisionOf(action); decision && key != kProblemKey) {
        m_gate.decide(key, *decision);
    }
}
