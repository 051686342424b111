#pragma once

#include "app/MenuModel.h"
#include "app/WebSite.h"

#include <QObject>

class GateController;
class WindowManager;

// What each command of the menu does, for the tray's menu and for the welcome window that
// stands in for it where the desktop has no tray.
class MenuActions final : public QObject {
    Q_OBJECT
public:
    MenuActions(GateController& gate, WindowManager& windows, WebSite site,
                QObject* parent = nullptr);

    void perform(MenuEntry::Action action);

signals:
    void quitRequested();

private:
    GateController& m_gate;
    WindowManager& m_windows;
    WebSite m_site;
};
