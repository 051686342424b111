#include "app/TrayWatcher.h"

#include "app/AppLog.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>
#include <xcb/xcb.h>

namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
// How long the watcher has to answer (the toolkit's own wait), and how long the first look
// waits for it.
constexpr int askMs = 2000;
constexpr int settleMs = 250;

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
                &TrayWatcher::askBus);
        // A watcher may come up before any host has registered with it.
        bus.connect(kWatcher, kWatcherPath, kWatcher,
                    QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(onHostRegistered()));
        askBus();
        // A bus that is slow to answer holds the first look back this long at most.
        QTimer::singleShot(settleMs, this, &TrayWatcher::settle);
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
    if (!m_asking) {
        // Nothing to wait for; still an event, so that every start reads the same way.
        QTimer::singleShot(0, this, &TrayWatcher::settle);
    }
}

TrayWatcher::~TrayWatcher() {
    if (m_xcb != nullptr && QCoreApplication::instance() != nullptr) {
        QCoreApplication::instance()->removeNativeEventFilter(this);
    }
}

TrayWatcher::Kind TrayWatcher::kind() const {
    if (iconsOnBus.value_or(true) && m_busHost) {
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
    askBus();
}

void TrayWatcher::askBus() {
    if (m_asking) {
        m_askAgain = true;
        return;
    }
    // The toolkit's own test: a watcher without a host shows nothing. Not started for the
    // question: a watcher that is not there means no tray.
    QDBusMessage ask = QDBusMessage::createMethodCall(
        kWatcher, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    ask << kWatcher << QStringLiteral("IsStatusNotifierHostRegistered");
    ask.setAutoStartService(false);
    m_asking = true;
    auto* answer =
        new QDBusPendingCallWatcher(m_busWatcher.connection().asyncCall(ask, askMs), this);
    connect(answer, &QDBusPendingCallWatcher::finished, this, [this, answer] {
        answer->deleteLater();
        const QDBusMessage reply = answer->reply();
        m_busHost = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
                    qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant().toBool();
        m_asking = false;
        if (std::exchange(m_askAgain, false)) {
            askBus();
        } else if (!m_settled) {
            settle();
        } else {
            noteChange();
        }
    });
}

void TrayWatcher::settle() {
    if (!m_settled) {
        m_settled = true;
        emit settled();
    }
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
    // Before the first look nothing is announced: the first look reads it all.
    if (m_pending || !m_settled) {
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
