#include "app/MenuModel.h"

#include "gate/GatePorts.h"

namespace {

const QString kDash = QStringLiteral(" — ");

} // namespace

QString MenuEntry::shownText() const {
    QString shown = text;
    if (shown.size() > kLongest) {
        qsizetype cut = kLongest - 1;
        // Never between the two halves of a character outside the basic plane.
        if (shown.at(cut - 1).isHighSurrogate()) {
            --cut;
        }
        shown = shown.left(cut) + QStringLiteral("…");
    }
    if (!ending.isEmpty()) {
        shown += kDash + ending;
    }
    for (QChar& c : shown) {
        if (c.category() == QChar::Other_Control) {
            c = u' ';
        }
    }
    return shown.replace(u'&', QStringLiteral("&&"));
}

QString MenuEntry::wholeText() const {
    return ending.isEmpty() ? text : text + kDash + ending;
}

namespace MenuModel {

namespace {

using Action = MenuEntry::Action;
using Kind = MenuEntry::Kind;

MenuEntry info(const QString& text) {
    return {.kind = Kind::Info, .text = text};
}

MenuEntry command(const QString& text, Action action, bool enabled = true) {
    return {.kind = Kind::Command, .text = text, .enabled = enabled, .action = action};
}

MenuEntry separator() {
    return {};
}

void addAccount(QList<MenuEntry>& menu, const GateSnapshot& state) {
    if (const auto userId = nonEmpty(state.accountUserId)) {
        menu << info(QStringLiteral("Signed in: ") + *userId);
        if (const auto room = nonEmpty(state.personalRoom)) {
            menu << info(QStringLiteral("Room: ") + *room);
        }
    } else {
        menu << info(state.signingIn ? QStringLiteral("Signing in…")
                                     : QStringLiteral("Not signed in"));
    }
    if (const auto error = nonEmpty(state.lastError)) {
        menu << info(QStringLiteral("⚠︎ ") + *error);
    }
}

void addGate(QList<MenuEntry>& menu, const GateSnapshot& state) {
    if (state.useExistingGate) {
        menu << info(QStringLiteral("Local gate: using existing (:%1)").arg(GatePorts::existing))
             << command(QStringLiteral("Run my own gate instead"), Action::ChooseOwnGate);
    } else if (state.helperRunning) {
        menu << info(QStringLiteral("Local gate: running (:%1)").arg(GatePorts::own));
        if (const auto why = nonEmpty(state.answersUnavailable)) {
            menu << info(answersUnavailableText(*why))
                 << command(QStringLiteral("Retry answers on this desktop"), Action::RetryAnswers);
        }
        menu << command(QStringLiteral("Stop local gate"), Action::StopGate);
    } else {
        menu << info(QStringLiteral("Local gate: stopped"))
             << command(QStringLiteral("Start local gate"), Action::StartGate, state.signedIn);
    }
    for (const auto& [taken, port] : {std::pair{state.ownPortForeign, GatePorts::own},
                                      std::pair{state.existingPortForeign, GatePorts::existing}}) {
        if (taken) {
            menu << info(QStringLiteral("⚠︎ ") + portTakenText(port));
        }
    }
    menu << info(
        QStringLiteral("Existing dev gate (:%1): ").arg(GatePorts::existing) +
        (state.existingGateDetected ? QStringLiteral("detected") : QStringLiteral("none")));
    if (state.existingGateDetected && !state.useExistingGate && !state.helperRunning) {
        menu << command(QStringLiteral("Use that existing gate instead"),
                        Action::ChooseExistingGate);
    }
}

} // namespace

TrayLook trayLook(const GateSnapshot& state) {
    const qsizetype waiting = state.waitingRequests.size();
    QString toolTip = QStringLiteral("Kestrova Helper");
    if (waiting > 0) {
        toolTip += waiting == 1 ? QStringLiteral(": 1 request waiting")
                                : QStringLiteral(": %1 requests waiting").arg(waiting);
    }
    return {.symbol = state.helperRunning ? QStringLiteral("checkmark.shield.fill")
                                          : QStringLiteral("shield.lefthalf.filled"),
            .badge = waiting > 0,
            .toolTip = toolTip};
}

QList<MenuEntry> requestEntries(const QList<ShownRequest>& requests,
                                const std::optional<QString>& notice) {
    QList<MenuEntry> menu;
    const auto waiting =
        std::ranges::count_if(requests, [](const ShownRequest& r) { return !r.ended; });
    if (!requests.isEmpty()) {
        menu << info(waiting == 0   ? QStringLiteral("No requests waiting")
                     : waiting == 1 ? QStringLiteral("1 request waiting")
                                    : QStringLiteral("%1 requests waiting").arg(waiting));
    }
    for (const auto& [request, ended] : requests) {
        const QString agent = request.agent.isEmpty() ? QStringLiteral("Agent") : request.agent;
        const QString ending = ended ? RequestOrder::endingText(*ended) : QString();
        const auto answer = [&](const QString& text, Action action) {
            return MenuEntry{.kind = Kind::Command,
                             .text = text,
                             .enabled = !ended,
                             .action = action,
                             .requestId = request.id};
        };
        menu << MenuEntry{.kind = Kind::Info,
                          .text = agent + QStringLiteral(": ") + request.title,
                          .requestId = request.id,
                          .ending = ending}
             << answer(QStringLiteral("Approve"), Action::ApproveRequest)
             << answer(QStringLiteral("Deny"), Action::DenyRequest);
        // Offered only with the words of what it grants.
        if (request.sessionOffer && !request.grant.isEmpty()) {
            menu << answer(QStringLiteral("Allow for this session"), Action::AllowRequestForSession)
                 << MenuEntry{.kind = Kind::Info,
                              .text = QStringLiteral("↳ ") + request.grant,
                              .requestId = request.id};
        }
    }
    if (const auto text = nonEmpty(notice)) {
        menu << info(QStringLiteral("⚠︎ ") + *text);
    }
    return menu;
}

QList<MenuEntry> entries(const GateSnapshot& state, const QString& webSiteHost,
                         const QList<ShownRequest>& requests) {
    QList<MenuEntry> menu = requestEntries(requests, state.decisionNotice);
    if (!menu.isEmpty()) {
        menu << separator();
    }
    addAccount(menu, state);
    menu << separator() << command(QStringLiteral("Show Kestrova"), Action::ShowWelcome)
         << separator();
    if (state.signedIn) {
        menu << command(QStringLiteral("Sign out"), Action::SignOut);
    } else {
        menu << command(state.signingIn ? QStringLiteral("Signing in…")
                                        : QStringLiteral("Sign in with Google"),
                        Action::SignIn, !state.signingIn);
    }
    menu << separator();
    addGate(menu, state);
    menu << command(QStringLiteral("Refresh status"), Action::Refresh)
         << command(QStringLiteral("Show pairing QR…"), Action::ShowPairing)
         << command(QStringLiteral("Diagnostics…"), Action::ShowDiagnostics)
         << command(QStringLiteral("History…"), Action::ShowHistory) << separator()
         << MenuEntry{.kind = Kind::Check,
                      .text = QStringLiteral("Start at login"),
                      .enabled = true,
                      .checked = state.launchAtLogin,
                      .action = Action::ToggleLaunchAtLogin}
         << command(QStringLiteral("Open ") + webSiteHost, Action::OpenWebSite) << separator()
         << command(QStringLiteral("Quit Kestrova Helper"), Action::Quit);
    return menu;
}

} // namespace MenuModel
