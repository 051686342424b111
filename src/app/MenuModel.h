#pragma once

#include "app/GateSnapshot.h"
#include "app/RequestOrder.h"

#include <QList>
#include <QString>

// The tray menu as data: which entries show, with what text and state, for a given state of
// the controller. The tray turns the list into a QMenu; tests compare lists.
struct MenuEntry {
    enum class Kind { Info, Command, Check, Separator };
    enum class Action {
        None,
        ShowWelcome,
        SignOut,
        SignIn,
        ChooseOwnGate,
        StopGate,
        StartGate,
        ChooseExistingGate,
        Refresh,
        ShowPairing,
        ShowDiagnostics,
        ShowHistory,
        RetryAnswers,
        ApproveRequest,
        DenyRequest,
        AllowRequestForSession,
        ToggleLaunchAtLogin,
        OpenWebSite,
        Quit,
    };

    Kind kind = Kind::Separator;
    QString text; // as the controller said it; the welcome window and diagnostics show it whole
    bool enabled = false;
    bool checked = false;
    Action action = Action::None;
    QString requestId{}; // the request an answer goes to, or that the line is about
    QString ending{};    // how that request ended, for a view held open since

    // The text to give a QAction: elided past kLongest characters, so an error does not widen
    // the menu across the screen, with "&" doubled, so a user id or an error shows literally
    // instead of making a shortcut, and control characters shown as spaces (a tab would start
    // the shortcut's column). How the request ended follows, never cut.
    QString shownText() const;
    // The whole text, for a tool tip.
    QString wholeText() const;
    static constexpr qsizetype kLongest = 80;

    bool operator==(const MenuEntry&) const = default;
};

// How the tray icon looks: its symbol, a badge while requests wait, and its tool tip.
struct TrayLook {
    QString symbol;
    bool badge = false;
    QString toolTip;

    bool operator==(const TrayLook&) const = default;
};

namespace MenuModel {

TrayLook trayLook(const GateSnapshot& state);

// The whole menu; the requests as the view arranged them (RequestOrder).
QList<MenuEntry> entries(const GateSnapshot& state, const QString& webSiteHost,
                         const QList<ShownRequest>& requests);

// The requests, each with its answers (disabled once it ended), and a notice about an answer
// given here; empty when there are none. The menu begins with them; the welcome window lists
// them without a tray.
QList<MenuEntry> requestEntries(const QList<ShownRequest>& requests,
                                const std::optional<QString>& notice);

} // namespace MenuModel
