#pragma once

#include "app/MenuModel.h"
#include "app/WebSite.h"
#include "app/WelcomeContent.h"

#include <QList>
#include <QPixmap>
#include <QWidget>

class GateController;
class QLabel;
class QPushButton;
class RequestsPanel;

// The first-run window: what is set up, what is missing and the one step to take next. It
// shows the controller's state and keeps none of its own; closing it only hides it.
class WelcomeWindow final : public QWidget {
    Q_OBJECT
public:
    WelcomeWindow(GateController& gate, WebSite site, QWidget* parent = nullptr);

    // Where the desktop has no system tray, this window is the only way in: it says so, and
    // offers the menu's commands itself.
    void setTrayMissing(bool missing);

signals:
    void actionChosen(MenuEntry::Action action, const QString& requestId);

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct ChecklistRow {
        QWidget* row;
        QLabel* icon;
        QLabel* text;
    };

    void drawIcons();
    QWidget* makeHeader();
    QWidget* makeChecklist();
    QWidget* makeNextStep();
    QWidget* makeLinks();
    void present(const WelcomeContent& content);
    void takeNextStep();
    void fitHeight();
    WelcomeContent currentContent() const;
    void offerMenuCommands();
    void offerConnections(const QList<WelcomeContent::ConnectOffer>& offers);
    bool offeredAlready(MenuEntry::Action action) const;

    GateController& m_gate;
    WebSite m_site;

    QPixmap m_donePixmap;
    QPixmap m_notDonePixmap;
    QPixmap m_shieldPixmap;
    QPixmap m_allSetPixmap;
    QLabel* m_shield = nullptr;
    QLabel* m_allSetIcon = nullptr;
    QLabel* m_header = nullptr;
    QList<ChecklistRow> m_rows;
    QWidget* m_connectOffers = nullptr;
    QList<WelcomeContent::ConnectOffer> m_offeredConnections;
    QLabel* m_warning = nullptr;
    QLabel* m_trayMissing = nullptr;
    QWidget* m_menuCommands = nullptr;
    RequestsPanel* m_requests = nullptr;
    QList<MenuEntry> m_offered;
    WelcomeContent::NextStep m_nextStep = WelcomeContent::NextStep::SignIn;
    bool m_refreshWhenDrawn = false;
    QPushButton* m_nextStepButton = nullptr;
    QWidget* m_allSet = nullptr;
    QLabel* m_allSetText = nullptr;
    QWidget* m_closingDivider = nullptr;
    QLabel* m_closingNote = nullptr;
};
