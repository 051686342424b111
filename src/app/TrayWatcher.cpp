#include "app/TrayWatcher.h"

#include "app/AppLog.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <xcb/xcb.h>

namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

// Whether the process's tray icons live on the bus; empty until the first icon is made.
std::optional<bool> iconsOnBus; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

std::uint32_t internAtom(xcb_connection_t* connection, const char* name) {
    const auto cookie =
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const std::uint32_t atom = reply != nullptr ? reply->atom : std::uint32_t{XCB_ATOM_NONE};
    std::free(reply); // NOLINT(cppcoreguidelines-no-malloc): xcb allocates with malloc
    return atom;
}

// The display's X connection, if there is one. A platform that is not X at all (Wayland) offers
// no X interface; Qt 6.4's offscreen plugin offers one with no connection behind it.
xcb_connection_t* xConnection() {
    auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>()
                                   : nullptr;
    if (x11 == nullptr) {
        return nullptr;
    }
    if (x11->connection() == nullptr) {
        qCWarning(lcApp).noquote() << "The" << QGuiApplication::platformName()
                                   << "platform has no X connection: trays on X are not watched";
    }
    return x11->connection();
}

} // namespace

TrayWatcher::TrayWatcher(QObject* parent)
    : QObject(parent) {
    if (QDBusConnection bus = QDBusConnection::sessionBus(); bus.isConnected()) {
        m_busWatcher.setConnection(bus);
        m_busWatcher.setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
        m_busWatcher.addWatchedService(kWatcher);
        connect(&m_busWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                &TrayWatcher::noteChange);
        // A watcher may come up before any host has registered with it.
        bus.connect(kWatcher, kWatcherPath, kWatcher,
                    QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(onHostRegistered()));
    } else {
        qCWarning(lcApp).noquote() << "No session bus (" + bus.lastError().message() +
                                          "): trays on the bus are not watched";
    }
    if (auto* connection = xConnection()) {
        m_xcb = connection;
        m_trayAtom = internAtom(connection, "_NET_SYSTEM_TRAY_S0");
        m_managerAtom = internAtom(connection, "MANAGER");
        // A tray announces itself to the root window, which the toolkit already listens to.
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
}

TrayWatcher::~TrayWatcher() {
    if (m_xcb != nullptr && QCoreApplication::instance() != nullptr) {
        QCoreApplication::instance()->removeNativeEventFilter(this);
    }
}

TrayWatcher::Kind TrayWatcher::kind() const {
    if (iconsOnBus.value_or(true) && statusNotifierHost()) {
        return Kind::StatusNotifier;
    }
    if (!iconsOnBus.value_or(false) && xembedTray()) {
        return Kind::XEmbed;
    }
    return Kind::None;
}

TrayWatcher::Kind TrayWatcher::kindForNewIcon() {
    const Kind now = kind();
    if (!iconsOnBus && now != Kind::None) {
        iconsOnBus = now == Kind::StatusNotifier;
        qCDebug(lcApp) << "tray icons go" << (*iconsOnBus ? "on the bus" : "to XEmbed");
    }
    return now;
}

void TrayWatcher::onHostRegistered() {
    noteChange();
}

bool TrayWatcher::statusNotifierHost() const {
    const QDBusConnection bus = m_busWatcher.connection();
    const QDBusConnectionInterface* names = bus.isConnected() ? bus.interface() : nullptr;
    if (names == nullptr || !names->isServiceRegistered(kWatcher).value()) {
        return false;
    }
    // The toolkit's own test: a watcher without a host shows nothing.
    QDBusMessage ask = QDBusMessage::createMethodCall(
        kWatcher, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    ask << kWatcher << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(ask, QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant().toBool();
}

bool TrayWatcher::xembedTray() const {
    if (m_xcb == nullptr || m_trayAtom == XCB_ATOM_NONE) {
        return false;
    }
    auto* connection = static_cast<xcb_connection_t*>(m_xcb);
    xcb_get_selection_owner_reply_t* reply = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, m_trayAtom), nullptr);
    const bool owned = reply != nullptr && reply->owner != XCB_WINDOW_NONE;
    std::free(reply); // NOLINT(cppcoreguidelines-no-malloc): xcb allocates with malloc
    return owned;
}

bool TrayWatcher::nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) {
    Q_UNUSED(result);
    if (eventType != "xcb_generic_event_t") {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
        const auto* announced = static_cast<const xcb_client_message_event_t*>(message);
        if (announced->type == m_managerAtom && announced->data.data32[1] == m_trayAtom) {
            noteChange();
        }
    }
    return false;
}

void TrayWatcher::noteChange() {
    // A new watcher comes with several signals; the tray is looked at once they are all in.
    if (m_pending) {
        return;
    }
    m_pending = true;
    QTimer::singleShot(0, this, [this] {
        m_pending = false;
        const Kind now = kind();
        qCDebug(lcApp) << "the desktop's trays changed; an icon now reaches"
                       << static_cast<int>(now);
        if (now == Kind::None) {
            emit gone();
        } else {
            emit appeared(now);
        }
    });
}
