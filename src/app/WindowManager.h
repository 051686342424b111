#pragma once

#include "app/MenuModel.h"
#include "app/WebSite.h"

#include <QObject>
#include <QString>
#include <QWidget>

#include <map>
#include <memory>

class GateController;
class WelcomeWindow;

// The program's windows: the welcome window, made on first use and shown again where the user
// left it, and the "pairing", "diagnostics" and "history" windows, one each, opened by identifier
// and raised when already open.
class WindowManager final : public QObject {
    Q_OBJECT
public:
    WindowManager(GateController& gate, WebSite site, QObject* parent = nullptr);
    ~WindowManager() override;

    void showWelcome();
    // Makes the welcome window without showing it, so that showing it later costs little.
    void prepareWelcome();
    // For a later start: with the launcher's activation token, a Wayland compositor lets the
    // window take the focus.
    void showWelcomeFor(const QByteArray& activationToken);
    void openWindow(const QString& id);

    // The open or hidden window of an identifier ("welcome", "pairing", "diagnostics", "history").
    QWidget* window(const QString& id) const;

    // Said once, in the welcome window, when the desktop has no tray to hold the icon.
    void reportMissingTray();

    // Whether a tray holds the icon. Without one the welcome window is the only way in, so it
    // must offer what the menu would.
    bool trayAvailable() const { return m_trayAvailable; }
    void setTrayAvailable(bool available);

signals:
    void trayAvailabilityChanged(bool available);
    // A command chosen in the welcome window, which offers the menu's where there is no tray.
    void actionChosen(MenuEntry::Action action, const QString& requestId);

private:
    std::unique_ptr<QWidget> create(const QString& id) const;
    static void bringForward(QWidget& window);

    GateController& m_gate;
    WebSite m_site;
    std::unique_ptr<WelcomeWindow> m_welcome;
    bool m_welcomePlaced = false;
    std::map<QString, std::unique_ptr<QWidget>> m_windows;
    bool m_trayAvailable = true;
};
