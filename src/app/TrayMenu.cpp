#include "app/TrayMenu.h"

#include "app/MenuActions.h"
#include "app/PlainToolTip.h"
#include "app/TrayIcon.h"
#include "app/WindowManager.h"
#include "gate/GateController.h"

#include <QCursor>
#include <QTimer>

#include <vector>

namespace {

// Two entries stand for the same thing to click: an answer to the same request, the same
// command, a line about the same request, or some other line.
bool sameTarget(const MenuEntry& a, const MenuEntry& b) {
    return a.kind == b.kind && a.action == b.action && a.requestId == b.requestId;
}

// A panel draws the menu from the bus, where "_" marks the next character as the shortcut and
// Qt sends the first "&" as that mark: written so that the panel shows the text as it is (at
// most the first "&" underlined), never a character less.
QString forPanel(const QString& menuText) {
    QString text = menuText;
    text.replace(QStringLiteral("&&"), QStringLiteral("&")).replace(u'_', QStringLiteral("__"));
    if (const qsizetype ampersand = text.indexOf(u'&'); ampersand >= 0) {
        text.insert(ampersand, u'&');
    }
    return text;
}

void show(QAction& action, const MenuEntry& entry, TrayMenu::Host host) {
    action.setText(host == TrayMenu::Host::DrawsMenu ? forPanel(entry.shownText())
                                                     : entry.shownText());
    action.setToolTip(plainToolTip(entry.wholeText()));
    action.setEnabled(entry.enabled);
    action.setCheckable(entry.kind == MenuEntry::Kind::Check);
    action.setChecked(entry.checked);
}

// The longest run of entries the two lists share, in order, as a table of suffix lengths.
std::vector<std::vector<int>> commonRuns(const QList<MenuEntry>& a, const QList<MenuEntry>& b) {
    std::vector<std::vector<int>> runs(a.size() + 1, std::vector<int>(b.size() + 1, 0));
    for (qsizetype i = a.size() - 1; i >= 0; --i) {
        for (qsizetype j = b.size() - 1; j >= 0; --j) {
            runs[i][j] = sameTarget(a.at(i), b.at(j)) ? runs[i + 1][j + 1] + 1
                                                      : std::max(runs[i + 1][j], runs[i][j + 1]);
        }
    }
    return runs;
}

} // namespace

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
    connect(&m_menu, &QMenu::aboutToShow, this, [this] {
        m_open = true;
        update();
    });
    // Queued: a chosen entry is triggered after the menu closed, and a rebuild now would
    // delete it first.
    connect(
        &m_menu, &QMenu::aboutToHide, this,
        [this] {
            m_open = false;
            update();
        },
        Qt::QueuedConnection);
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
    m_requests =
        RequestOrder::arrange(m_requests, state.waitingRequests, state.endedRequests, m_open);
    const QList<MenuEntry> entries = MenuModel::entries(state, m_site.hostName(), m_requests);
    // Many changes leave the menu as it was; rebuilding it then would only make it flicker.
    if (entries == m_shown) {
        return;
    }
    if (m_open) {
        merge(entries);
    } else {
        rebuild(entries);
    }
}

void TrayMenu::rebuild(const QList<MenuEntry>& entries) {
    m_menu.clear();
    m_shownActions.clear();
    for (const MenuEntry& entry : entries) {
        m_shownActions << makeAction(entry, nullptr);
    }
    m_shown = entries;
}

// The open menu takes the new entries without moving what the user may be pointing at: an
// entry for the same target is changed in place, a new one inserted where it belongs, and one
// that is gone stays, disabled, until the menu closes.
void TrayMenu::merge(const QList<MenuEntry>& entries) {
    const auto runs = commonRuns(m_shown, entries);
    QList<MenuEntry> shown;
    QList<QAction*> actions;
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < m_shown.size() || j < entries.size()) {
        if (i < m_shown.size() && j < entries.size() && sameTarget(m_shown.at(i), entries.at(j)) &&
            runs[i][j] == runs[i + 1][j + 1] + 1) {
            show(*m_shownActions.at(i), entries.at(j), m_host);
            shown << entries.at(j++);
            actions << m_shownActions.at(i++);
        } else if (j < entries.size() &&
                   (i == m_shown.size() || runs[i][j + 1] >= runs[i + 1][j])) {
            QAction* before = i < m_shownActions.size() ? m_shownActions.at(i) : nullptr;
            actions << makeAction(entries.at(j), before);
            shown << entries.at(j++);
        } else {
            MenuEntry stale = m_shown.at(i);
            stale.enabled = false;
            m_shownActions.at(i)->setEnabled(false);
            shown << stale;
            actions << m_shownActions.at(i++);
        }
    }
    m_shown = shown;
    m_shownActions = actions;
}

QAction* TrayMenu::makeAction(const MenuEntry& entry, QAction* before) {
    auto* action = new QAction(&m_menu);
    m_menu.insertAction(before, action);
    if (entry.kind == MenuEntry::Kind::Separator) {
        action->setSeparator(true);
        return action;
    }
    show(*action, entry, m_host);
    if (entry.action != MenuEntry::Action::None) {
        // Queued: the work may rebuild the menu, which deletes the action emitting this.
        connect(
            action, &QAction::triggered, this,
            [this, todo = entry.action, id = entry.requestId] {
                // The click flipped the check mark; it must show what the controller then
                // reports, which may be the old value.
                if (todo == MenuEntry::Action::ToggleLaunchAtLogin) {
                    for (MenuEntry& shown : m_shown) {
                        shown.checked =
                            shown.kind == MenuEntry::Kind::Check ? !shown.checked : shown.checked;
                    }
                }
                m_actions.perform(todo, id);
            },
            Qt::QueuedConnection);
    }
    return action;
}
