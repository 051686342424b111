#include "app/MenuActions.h"

#include "app/WindowManager.h"
#include "gate/GateController.h"

MenuActions::MenuActions(GateController& gate, WindowManager& windows, WebSite site,
                         QObject* parent)
    : QObject(parent)
    , m_gate(gate)
    , m_windows(windows)
    , m_site(std::move(site)) {
}

void MenuActions::perform(MenuEntry::Action action, const QString& requestId) {
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
    case Action::ShowHistory:
        m_windows.openWindow(QStringLiteral("history"));
        break;
    case Action::RetryAnswers:
        m_gate.retryAnswers();
        break;
    case Action::ApproveRequest:
        m_gate.decide(requestId, Decision::Approve);
        break;
    case Action::DenyRequest:
        m_gate.decide(requestId, Decision::Deny);
        break;
    case Action::AllowRequestForSession:
        m_gate.decide(requestId, Decision::AllowForSession);
        break;
    case Action::ToggleLaunchAtLogin:
        // The check mark shows the controller's value, not the click: the opposite is asked for.
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
