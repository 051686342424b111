#include "app/TrayMenu.h"

#include "app/MenuActions.h"
#include "app/TrayIcon.h"
#include "app/WindowManager.h"
#include "gate/GateController.h"

#include <QCursor>

TrayMenu::TrayMenu(GateController& gate, WindowManager& windows, MenuActions& actions, WebSite site,
                   Host host, QObject* parent)
    : QObject(parent)
    , m_gate(gate)
    , m_windows(windows)
    , m_actions(actions)
    , m_site(std::move(site))
    , m_host(host) {
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
    // Most changes leave the gate and the waiting requests as they were: the icon is drawn
    // only when its look changes.
    if (const TrayLook look = MenuModel::trayLook(state); look != m_look) {
        m_look = look;
        m_tray.setIcon(TrayIcon::icon(look.symbol, look.badge));
        // The host names the item by its title on the bus, and by its tool tip elsewhere.
        m_tray.setToolTip(look.toolTip);
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
                action, &QAction::triggered, this,
                [this, todo = entry.action, id = entry.requestId] {
                    // The check mark follows what the controller then reports, not the click:
                    // the menu is rebuilt from it.
                    if (todo == MenuEntry::Action::ToggleLaunchAtLogin) {
                        m_shown.clear();
                    }
                    m_actions.perform(todo, id);
                },
                Qt::QueuedConnection);
        }
    }
}
