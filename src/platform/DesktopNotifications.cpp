#include "platform/DesktopNotifications.h"

#include "platform/PlatformLog.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
// A server that has not answered by then is taken as absent for that call.
constexpr int kCallDeadlineMs = 10000;

} // namespace

DesktopNotifications::DesktopNotifications(QDBusConnection bus, QString appIcon, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(bus))
    , m_appIcon(std::move(appIcon))
    , m_serverWatcher(kService, m_bus, QDBusServiceWatcher::WatchForRegistration) {
    m_bus.connect(kService, kPath, kService, QStringLiteral("ActionInvoked"), this,
                  SLOT(onActionInvoked(uint, QString)));
    m_bus.connect(kService, kPath, kService, QStringLiteral("NotificationClosed"), this,
                  SLOT(onClosed(uint, uint)));
    // The earlier server's notifications went with it, and its numbers mean nothing now.
    connect(&m_serverWatcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        m_shown.clear();
        emit serverReplaced();
        askCapabilities();
    });
    askCapabilities();
}

void DesktopNotifications::askCapabilities() {
    QDBusPendingCallWatcher* asked = call(QStringLiteral("GetCapabilities"), {});
    connect(asked, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<QStringList> reply = *w;
        if (reply.isError()) {
            qCInfo(lcPlatform) << "no notification server:" << reply.error().message();
        }
        m_capabilities = reply.isError() ? QStringList() : reply.value();
        emit capabilitiesKnown();
    });
}

QDBusPendingCallWatcher* DesktopNotifications::call(const QString& method,
                                                    const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kService, method);
    message.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, kCallDeadlineMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, watcher, &QObject::deleteLater);
    return watcher;
}

void DesktopNotifications::show(const QString& key, const Notice& notice) {
    Shown& shown = m_shown[key];
    shown.withdrawn = false;
    const QVariantMap hints{{QStringLiteral("urgency"), QVariant::fromValue(uchar{1})}};
    noteNotified(key, call(QStringLiteral("Notify"),
                           {QCoreApplication::applicationName(), shown.id, m_appIcon,
                            notice.summary, notice.body, notice.actions, hints, notice.expireMs}));
}

void DesktopNotifications::noteNotified(const QString& key, QDBusPendingCallWatcher* watcher) {
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, key](QDBusPendingCallWatcher* w) {
                const QDBusPendingReply<uint> reply = *w;
                const auto found = m_shown.find(key);
                if (reply.isError()) {
                    qCInfo(lcPlatform) << "notification not shown:" << reply.error().message();
                    if (found != m_shown.end() && found->second.id == 0) {
                        m_shown.erase(found);
                    }
                    return;
                }
                if (found == m_shown.end()) {
                    close(reply.value());
                    return;
                }
                found->second.id = reply.value();
                // Withdrawn while the server was still answering.
                if (found->second.withdrawn) {
                    close(reply.value());
                    m_shown.erase(found);
                }
            });
}

void DesktopNotifications::withdraw(const QString& key) {
    const auto found = m_shown.find(key);
    if (found == m_shown.end()) {
        return;
    }
    if (found->second.id == 0) {
        found->second.withdrawn = true;
        return;
    }
    close(found->second.id);
    m_shown.erase(found);
}

void DesktopNotifications::close(uint id) {
    call(QStringLiteral("CloseNotification"), {id});
}

std::optional<QString> DesktopNotifications::keyOf(uint id) const {
    for (const auto& [key, shown] : m_shown) {
        if (shown.id == id && id != 0) {
            return key;
        }
    }
    return std::nullopt;
}

void DesktopNotifications::onActionInvoked(uint id, const QString& action) {
    if (const auto key = keyOf(id)) {
        emit actionInvoked(*key, action);
    }
}

void DesktopNotifications::onClosed(uint id, uint /*reason*/) {
    if (const auto key = keyOf(id)) {
        m_shown.erase(*key);
    }
}
