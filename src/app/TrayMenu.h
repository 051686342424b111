#pragma once

#include "app/MenuModel.h"
#include "app/WebSite.h"

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <optional>

class GateController;
class MenuActions;
class WindowManager;

// The icon in the system tray and its menu, both kept current on every change of the
// controller. Where the tray host draws the menu itself (a StatusNotifierItem host, which
// gets it over the bus) a left click shows the welcome window; in an XEmbed tray, whose icons
// have no other use, a left click opens the same menu as a right click. While the menu is open
// nothing in it moves: entries change in place, new ones are inserted, and those that would go
// stay, disabled, until it closes.
class TrayMenu final : public QObject {
    Q_OBJECT
public:
    enum class Host { DrawsMenu, Embeds };

    TrayMenu(GateController& gate, WindowManager& windows, MenuActions& actions, WebSite site,
             Host host = Host::Embeds, QObject* parent = nullptr);

    QMenu& menu() { return m_menu; }
    const QSystemTrayIcon& trayIcon() const { return m_tray; }

private:
    void update();
    void rebuild(const QList<MenuEntry>& entries);
    void merge(const QList<MenuEntry>& entries);
    QAction* makeAction(const MenuEntry& entry, QAction* before);

    GateController& m_gate;
    WindowManager& m_windows;
    MenuActions& m_actions;
    WebSite m_site;
    Host m_host;
    QMenu m_menu;
    QSystemTrayIcon m_tray;
    bool m_open = false;
    QList<ShownRequest> m_requests;
    // What the menu shows, one action an entry.
    QList<MenuEntry> m_shown;
    QList<QAction*> m_shownActions;
    std::optional<TrayLook> m_look;
};
