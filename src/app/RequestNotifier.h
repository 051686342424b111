#pragma once

#include "platform/DesktopNotifications.h"

#include <QObject>
#include <QSet>

#include <optional>

class GateController;

// A desktop notification for each request that waits, withdrawn once it is decided anywhere or
// expires; an answer chosen on it goes to the gate like one from the menu.
class RequestNotifier final : public QObject {
    Q_OBJECT
public:
    RequestNotifier(GateController& gate, QDBusConnection bus, const QString& appIcon,
                    QObject* parent = nullptr);

private:
    void sync();
    void onAction(const QString& key, const QString& action);

    GateController& m_gate;
    DesktopNotifications m_notifications;
    QSet<QString> m_shown;
    std::optional<QString> m_problem;
};
