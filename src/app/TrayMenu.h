#pragma once

#include "app/MenuModel.h"
#include "app/WebSite.h"

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <optional>

class GateController;
class WindowManager;

// The icon in the system tray and its menu, both kept current on every change of the
// controller. A left click opens the same menu as a right click.
class TrayMenu final : public QObject {
    Q_OBJECT
public:
    TrayMenu(GateController& gate, WindowManager& windows, WebSite site, QObject* parent = nullptr);

    QMenu& menu() { return m_menu; }
    const QSystemTrayIcon& trayIcon() const { return m_tray; }

signals:
    void quitRequested();

private:
    void update();
    void perform(MenuEntry::Action action);

    GateController& m_gate;
    WindowManager& m_windows;
    WebSite m_site;
    QMenu m_menu;
    QSystemTrayIcon m_tray;
    QList<MenuEntry> m_shown;
    std::optional<bool> m_iconShowsRunning;
};
