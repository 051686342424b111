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

    // An answer goes to the waiting request of that id.
    void perform(MenuEntry::Action action, const QString& requestId = {});

signals:
    void quitRequested();

private:
    GateController& m_gate;
    WindowManager& m_windows;
    WebSite m_site;
};
