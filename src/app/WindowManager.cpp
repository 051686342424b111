#include "app/WindowManager.h"

#include "app/ActivationToken.h"
#include "app/AppLog.h"
#include "app/DiagnosticsWindow.h"
#include "app/HistoryWindow.h"
#include "app/PairingWindow.h"
#include "app/WelcomeWindow.h"

#include <QGuiApplication>
#include <QScreen>

#include <utility>

WindowManager::WindowManager(GateController& gate, WebSite site, QObject* parent)
    : QObject(parent)
    , m_gate(gate)
    , m_site(std::move(site)) {
}

WindowManager::~WindowManager() = default;

std::unique_ptr<QWidget> WindowManager::create(const QString& id) const {
    qCDebug(lcApp) << "making the window" << id;
    if (id == u"pairing") {
        return std::make_unique<PairingWindow>(m_gate, m_site);
    }
    if (id == u"diagnostics") {
        return std::make_unique<DiagnosticsWindow>(m_gate);
    }
    if (id == u"history") {
        return std::make_unique<HistoryWindow>(m_gate);
    }
    return nullptr;
}

QWidget* WindowManager::window(const QString& id) const {
    if (id == u"welcome") {
        return m_welcome.get();
    }
    const auto found = m_windows.find(id);
    return found == m_windows.end() ? nullptr : found->second.get();
}

void WindowManager::showWelcome() {
    prepareWelcome();
    // Sized and centred the first time only, with what it says by then (the tray's absence
    // too); later it comes back where the user left it.
    if (!std::exchange(m_welcomePlaced, true)) {
        m_welcome->adjustSize();
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            m_welcome->move(screen->availableGeometry().center() - m_welcome->rect().center());
        }
    }
    bringForward(*m_welcome);
}

void WindowManager::prepareWelcome() {
    if (!m_welcome) {
        m_welcome = std::make_unique<WelcomeWindow>(m_gate, m_site);
        m_welcome->setTrayMissing(!m_trayAvailable);
        connect(this, &WindowManager::trayAvailabilityChanged, m_welcome.get(),
                [this](bool available) { m_welcome->setTrayMissing(!available); });
        connect(m_welcome.get(), &WelcomeWindow::actionChosen, this, &WindowManager::actionChosen);
    }
}

void WindowManager::showWelcomeFor(const QByteArray& activationToken) {
    // Only Qt 6.4's Wayland plugin reads a token, when a window asks to be activated; lent for
    // that moment alone, never under X (whose plugin reads its startup id once, at start), so
    // that no program we start later (the gate, the browser) inherits it.
    if (!activationToken.isEmpty() && QGuiApplication::platformName().startsWith(u"wayland")) {
        ActivationToken::lend(activationToken, [this] { showWelcome(); });
    } else {
        showWelcome();
    }
}

void WindowManager::openWindow(const QString& id) {
    auto& window = m_windows[id];
    if (!window) {
        window = create(id);
    }
    if (window) {
        bringForward(*window);
    } else {
        m_windows.erase(id);
    }
}

void WindowManager::reportMissingTray() {
    setTrayAvailable(false);
    showWelcome();
}

void WindowManager::setTrayAvailable(bool available) {
    if (available == m_trayAvailable) {
        return;
    }
    m_trayAvailable = available;
    emit trayAvailabilityChanged(available);
}

void WindowManager::bringForward(QWidget& window) {
    // A minimised window is shown by taking it out of that state; show() alone leaves it
    // minimised. Maximised or full-screen stays so.
    window.setWindowState((window.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window.show();
    window.raise();
    window.activateWindow();
}
