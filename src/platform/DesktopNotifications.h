#pragma once

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <optional>

class QDBusPendingCallWatcher;

// The desktop's notification server (org.freedesktop.Notifications on the session bus). Every
// call is asynchronous, with a deadline: a server that is missing, failing or slow costs the
// program a notification, never its main thread. Notifications are named by a key of the
// caller's (the request id); the server's numbers stay in here.
class DesktopNotifications final : public QObject {
    Q_OBJECT
public:
    struct Notice {
        QString summary;
        QString body;
        // Pairs of action key and label, as the server takes them.
        QStringList actions{};
        // 0 keeps it until it is withdrawn; -1 leaves it to the server.
        int expireMs = -1;

        bool operator==(const Notice&) const = default;
    };

    // The icon is the desktop entry's: the server finds it in the icon theme.
    DesktopNotifications(QDBusConnection bus, QString appIcon, QObject* parent = nullptr);

    // The server's capabilities once it answered GetCapabilities (empty when it could not),
    // nothing before. Asked again when a server comes up: what was shown is then gone.
    const std::optional<QStringList>& capabilities() const { return m_capabilities; }

    void show(const QString& key, const Notice& notice);
    // Closes it whether the server has answered its Notify yet or not.
    void withdraw(const QString& key);

signals:
    void capabilitiesKnown();
    // A server came up: nothing shown before is on screen, and capabilities are asked again.
    void serverReplaced();
    void actionInvoked(const QString& key, const QString& action);

private:
    struct Shown {
        uint id = 0; // 0 until the server answered Notify
        bool withdrawn = false;
    };

    Q_SLOT void onActionInvoked(uint id, const QString& action);
    Q_SLOT void onClosed(uint id, uint reason);
    void askCapabilities();
    QDBusPendingCallWatcher* call(const QString& method, const QVariantList& arguments);
    void noteNotified(const QString& key, QDBusPendingCallWatcher* watcher);
    void close(uint id);
    std::optional<QString> keyOf(uint id) const;

    QDBusConnection m_bus;
    QString m_appIcon;
    // A server that comes (or comes back) later may offer other capabilities.
    QDBusServiceWatcher m_serverWatcher;
    std::optional<QStringList> m_capabilities;
    std::map<QString, Shown> m_shown;
};
