#include "app/TrayMenu.h"

#include "app/TrayIcon.h"
#include "app/WindowManager.h"
#include "gate/GateController.h"

#include <QCursor>

TrayMenu::TrayMenu(GateController& gate, WindowManager& windows, WebSite site, Host host,
                   QObject* parent)
    : QObject(parent)
    , m_gate(gate)
    , m_windows(windows)
    , m_site(std::move(site))
    , m_host(host) {
    // The host names the item by its title on the bus, and by its tool tip elsewhere.
    m_tray.setToolTip(QStringLiteral("Kestrova Helper"));
    m_tray.setContextMenu(&m_menu);
    m_menu.setToolTipsVisible(true);
    connect(&m_tray, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason != QSystemTrayIcon::Trigger) {
                    return;
                }
                if (m_host == Host::DrawsMenu) {
                    m_windows.showWelcome();
                    return;
                }
                // An XEmbed tray lives on X11, where the cursor's position is known.
                const QRect icon = m_tray.geometry();
                m_menu.popup(icon.isValid() ? icon.bottomLeft() : QCursor::pos());
            });
    connect(&m_gate, &GateController::changed, this, &TrayMenu::update);
    update();
    m_tray.show();
}

void TrayMenu::update() {
    const GateSnapshot state = GateSnapshot::of(m_gate);
    // Most changes leave the gate as it was: the icon is drawn only when it changes.
    if (!m_iconShowsRunning || *m_iconShowsRunning != state.helperRunning) {
        m_iconShowsRunning = state.helperRunning;
        m_tray.setIcon(TrayIcon::icon(state.helperRunning
                                          ? QStringLiteral("checkmark.shield.fill")
                                          : QStringLiteral("shield.lefthalf.filled")));
    }
    const QList<MenuEntry> entries = MenuModel::entries(state, m_site.hostName());
    // Many changes leave the menu as it was; rebuilding it then would only make it flicker.
    if (entries == m_shown) {
        return;
    }
    m_shown = entries;
    m_menu.clear();
    for (const MenuEntry& entry : entries) {
        if (entry.kind == MenuEntry::Kind::Separator) {
            m_menu.addSeparator();
            continue;
        }
        // The shown text: literal ampersands, and long lines elided (the windows keep them whole).
        QAction* action = m_menu.addAction(entry.shownText());
        action->setToolTip(entry.text);
        action->setEnabled(entry.enabled);
        action->setCheckable(entry.kind == MenuEntry::Kind::Check);
        action->setChecked(entry.checked);
        if (entry.action != MenuEntry::Action::None) {
            // Queued: the work may rebuild the menu, which deletes the action emitting this.
            connect(
                action, &QAction::triggered, this, [this, todo = entry.action] { perform(todo); },
                Qt::QueuedConnection);
        }
    }
}

void TrayMenu::perform(MenuEntry::Action action) {
    using Action = MenuEntry::Action;
    switch (action) {
    case Action::None:
        break;
    case Action::ShowWelcome:
        m_windows.showWelcome();
        break;
    case Action::SignOut:
        m_gate.signOut();
        break;
    case Action::SignIn:
        m_gate.signIn();
        break;
    case Action::ChooseOwnGate:
        m_gate.chooseOwnGate();
        break;
    case Action::StopGate:
        m_gate.stopHelperGate();
        break;
    case Action::StartGate:
        m_gate.startHelperGate();
        break;
    case Action::ChooseExistingGate:
        m_gate.chooseUseExistingGate();
        break;
    case Action::Refresh:
        m_gate.refresh();
        break;
    case Action::ShowPairing:
        m_windows.openWindow(QStringLiteral("pairing"));
        break;
    case Action::ShowDiagnostics:
        m_windows.openWindow(QStringLiteral("diagnostics"));
        break;
    case Action::ToggleLaunchAtLogin:
        // The check mark shows the controller's value, not the click: the opposite is asked
        // for, and the menu is rebuilt from what the controller then reports.
        m_shown.clear();
        m_gate.setLaunchAtLogin(!m_gate.launchAtLogin());
        break;
    case Action::OpenWebSite:
        m_site.open(m_site.baseUrl);
        break;
    case Action::Quit:
        emit quitRequested();
        break;
    }
}
