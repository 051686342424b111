#pragma once

#include <QAbstractNativeEventFilter>
#include <QDBusServiceWatcher>
#include <QObject>

#include <cstdint>

// Whether the desktop has a tray to hold the icon, and word when one comes up: a
// StatusNotifierWatcher with a host on the session bus, or an XEmbed tray on an X display.
// Only events are followed (the bus's owner changes and host signal, the X tray manager's
// announcement), so an idle helper is never woken to look. The watcher is asked without
// waiting for it: one that never answers freezes nothing, and counts as no tray meanwhile.
// Without a session bus, or without an X connection, that kind of tray is not watched, and
// the log says so once.
class TrayWatcher final : public QObject, private QAbstractNativeEventFilter {
    Q_OBJECT
public:
    enum class Kind { None, StatusNotifier, XEmbed };

    explicit TrayWatcher(QObject* parent = nullptr);
    ~TrayWatcher() override;

    // A tray that an icon made now would reach.
    Kind kind() const;
    // To be asked just before an icon is made. The toolkit chooses between the bus and XEmbed
    // once per process, at its first icon: that first choice stands for the rest of the run.
    Kind kindForNewIcon();

signals:
    // Once, when the bus has answered the first question (or the moment to wait for that has
    // passed): kind() says what the desktop had at the start.
    void settled();
    // After that, once per burst of events: a tray came up, or none is left.
    void appeared(TrayWatcher::Kind kind);
    void gone();

private:
    // A slot: connected by name to the watcher's D-Bus signal.
    Q_SLOT void onHostRegistered();
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;
    // Asks the bus's watcher whether a host registered; the answer comes as an event.
    void askBus();
    void settle();
    bool xembedTray() const;
    void noteChange();

    QDBusServiceWatcher m_busWatcher;
    // The watcher's last answer: a host registered with it.
    bool m_busHost = false;
    bool m_asking = false;
    bool m_askAgain = false;
    bool m_settled = false;
    void* m_xcb = nullptr;
    std::uint32_t m_trayAtom = 0;
    std::uint32_t m_managerAtom = 0;
    bool m_pending = false;
};
