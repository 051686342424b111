#include "app/WelcomeWindow.h"

#include "app/GateSnapshot.h"
#include "app/RequestsPanel.h"
#include "app/Symbols.h"
#include "app/TextStyles.h"
#include "app/WelcomeContent.h"
#include "gate/GateController.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <utility>

namespace {

constexpr int kWidth = 440;
constexpr int kInset = 22;
constexpr int kRowIconSize = 16;
constexpr int kShieldSize = 30;
constexpr std::chrono::seconds kDrawnWithin{1};
// The checklist row that names the agents found; the connect buttons go under it.
constexpr int agentsRow = 3;

QLabel* wrapped(QLabel* label) {
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QLabel* iconLabel(const QPixmap& pixmap, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setPixmap(pixmap);
    label->setFixedSize(pixmap.deviceIndependentSize().toSize());
    return label;
}

// Outside a dialog a button ignores Return unless it is auto-default.
QPushButton* button(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setAutoDefault(true);
    button->setAccessibleName(text);
    return button;
}

} // namespace

WelcomeWindow::WelcomeWindow(GateController& gate, WebSite site, QWidget* parent)
    : QWidget(parent)
    , m_gate(gate)
    , m_site(std::move(site)) {
    setWindowTitle(QStringLiteral("Kestrova"));
    setWindowIcon(Symbols::appIcon());
    drawIcons();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kInset, kInset, kInset, kInset);
    layout->setSpacing(14);
    layout->addWidget(makeHeader());
    layout->addWidget(TextStyles::divider(this));
    layout->addWidget(makeChecklist());
    m_warning = wrapped(TextStyles::label(QString(), TextStyle::Footnote, this, Tone::Warning));
    layout->addWidget(m_warning);
    m_trayMissing = wrapped(TextStyles::label(
        QStringLiteral("This desktop has no system tray, so Kestrova Helper has no icon to click. "
                       "It keeps running: start Kestrova Helper again to bring this window back."),
        TextStyle::Footnote, this, Tone::Warning));
    m_trayMissing->hide();
    layout->addWidget(m_trayMissing);
    m_requests = new RequestsPanel(this);
    m_requests->hide();
    connect(m_requests, &RequestsPanel::chosen, this, &WelcomeWindow::actionChosen);
    layout->addWidget(m_requests);
    m_menuCommands = new QWidget(this);
    new QGridLayout(m_menuCommands);
    m_menuCommands->hide();
    layout->addWidget(m_menuCommands);
    layout->addWidget(TextStyles::divider(this));
    layout->addWidget(makeNextStep());
    layout->addWidget(makeLinks());
    m_closingDivider = TextStyles::divider(this);
    layout->addWidget(m_closingDivider);
    m_closingNote =
        wrapped(TextStyles::label(QString(), TextStyle::Footnote, this, Tone::Secondary));
    layout->addWidget(m_closingNote);

    // Fixed width: the height follows the wrapped texts, see fitHeight().
    setFixedWidth(kWidth);
    new QShortcut(QKeySequence(Qt::Key_Escape), this, this, &QWidget::close);

    connect(&m_gate, &GateController::changed, this, [this] { present(currentContent()); });
    present(currentContent());
}

void WelcomeWindow::drawIcons() {
    const qreal ratio = devicePixelRatioF();
    const QPalette& colors = palette();
    m_donePixmap = Symbols::pixmap(QStringLiteral("checkmark.circle.fill"),
                                   TextStyles::color(Tone::Success, colors), kRowIconSize, ratio);
    m_notDonePixmap = Symbols::pixmap(
        QStringLiteral("circle"), TextStyles::color(Tone::Secondary, colors), kRowIconSize, ratio);
    m_shieldPixmap = Symbols::pixmap(QStringLiteral("checkmark.shield.fill"),
                                     TextStyles::color(Tone::Success, colors), kShieldSize, ratio);
    m_allSetPixmap = Symbols::pixmap(QStringLiteral("menubar.arrow.up.rectangle"),
                                     TextStyles::color(Tone::Primary, colors), kRowIconSize, ratio);
}

void WelcomeWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // A switch between light and dark themes arrives as a new palette: the icons and the
    // derived text colours are drawn again from it.
    if (event->type() == QEvent::PaletteChange) {
        drawIcons();
        m_shield->setPixmap(m_shieldPixmap);
        m_allSetIcon->setPixmap(m_allSetPixmap);
        TextStyles::restyle(*this);
        present(currentContent());
    }
}

WelcomeContent WelcomeWindow::currentContent() const {
    return WelcomeContent::of(GateSnapshot::of(m_gate), PlaceWords::native(),
                              !m_trayMissing->isVisibleTo(this));
}

void WelcomeWindow::setTrayMissing(bool missing) {
    m_trayMissing->setVisible(missing);
    m_menuCommands->setVisible(missing);
    // It speaks of the tray icon; the line about the missing tray says how to come back instead.
    m_closingDivider->setVisible(!missing);
    m_closingNote->setVisible(!missing);
    present(currentContent());
}

// This window is the one "Show Kestrova" would open, and it has its own buttons for the next
// step and for refreshing: the same command twice would make the user wonder which to press.
bool WelcomeWindow::offeredAlready(MenuEntry::Action action) const {
    using Action = MenuEntry::Action;
    using Step = WelcomeContent::NextStep;
    // The requests have their own list above the commands, and the history its own button.
    return action == Action::ShowWelcome || action == Action::Refresh ||
           action == Action::ShowHistory || action == Action::ApproveRequest ||
           action == Action::DenyRequest || action == Action::AllowRequestForSession ||
           (action == Action::SignIn && m_nextStep == Step::SignIn) ||
           (action == Action::StartGate && m_nextStep == Step::StartHelper);
}

void WelcomeWindow::offerMenuCommands() {
    QList<MenuEntry> commands;
    if (m_menuCommands->isVisibleTo(this)) {
        for (const MenuEntry& entry :
             MenuModel::entries(GateSnapshot::of(m_gate), m_site.hostName(), {})) {
            if (entry.kind == MenuEntry::Kind::Command && !offeredAlready(entry.action)) {
                commands << entry;
            }
        }
    }
    if (commands == m_offered) {
        return;
    }
    m_offered = commands;
    qDeleteAll(m_menuCommands->findChildren<QPushButton*>(Qt::FindDirectChildrenOnly));
    auto* grid = static_cast<QGridLayout*>(m_menuCommands->layout());
    for (qsizetype i = 0; i < commands.size(); ++i) {
        const MenuEntry& entry = commands.at(i);
        auto* button = new QPushButton(entry.shownText(), m_menuCommands);
        button->setEnabled(entry.enabled);
        // Queued: the command may change what this window offers, deleting this button.
        connect(
            button, &QPushButton::clicked, this,
            [this, todo = entry.action] { emit actionChosen(todo, {}); }, Qt::QueuedConnection);
        grid->addWidget(button, int(i / 2), int(i % 2));
    }
}

// One button for each detected agent whose settings do not send its questions to the gate yet.
void WelcomeWindow::offerConnections(const QList<WelcomeContent::ConnectOffer>& offers) {
    if (offers == m_offeredConnections) {
        return;
    }
    m_offeredConnections = offers;
    qDeleteAll(m_connectOffers->findChildren<QPushButton*>(Qt::FindDirectChildrenOnly));
    auto* grid = static_cast<QGridLayout*>(m_connectOffers->layout());
    for (qsizetype i = 0; i < offers.size(); ++i) {
        const WelcomeContent::ConnectOffer& offer = offers.at(i);
        QPushButton* connectButton = button(offer.label, m_connectOffers);
        connectButton->setEnabled(offer.enabled);
        // Queued: connecting changes what this window offers, deleting this button.
        connect(
            connectButton, &QPushButton::clicked, this,
            [this, agent = offer.agent] { m_gate.connectAgent(agent); }, Qt::QueuedConnection);
        grid->addWidget(connectButton, int(i / 2), int(i % 2), Qt::AlignLeft);
    }
    m_connectOffers->setVisible(!offers.isEmpty());
}

QWidget* WelcomeWindow::makeHeader() {
    auto* header = new QWidget(this);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    m_shield = iconLabel(m_shieldPixmap, header);
    row->addWidget(m_shield, 0, Qt::AlignTop);

    auto* column = new QVBoxLayout;
    column->setSpacing(3);
    QLabel* title =
        TextStyles::label(QStringLiteral("Kestrova is installed"), TextStyle::Title2, header);
    QFont titleFont = title->font();
    titleFont.setBold(true);
    title->setFont(titleFont);
    column->addWidget(wrapped(title));
    m_header = wrapped(TextStyles::label(QString(), TextStyle::Callout, header, Tone::Secondary));
    column->addWidget(m_header);
    row->addLayout(column, 1);
    return header;
}

QWidget* WelcomeWindow::makeChecklist() {
    auto* checklist = new QWidget(this);
    auto* column = new QVBoxLayout(checklist);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    // Six rows at most; the registration rows (added, not added) are hidden while there is
    // nothing to tell.
    for (int i = 0; i < 6; ++i) {
        auto* row = new QWidget(checklist);
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(8);
        QLabel* icon = iconLabel(m_notDonePixmap, row);
        QLabel* text = wrapped(TextStyles::label(QString(), TextStyle::Callout, row));
        line->addWidget(icon, 0, Qt::AlignTop);
        line->addWidget(text, 1);
        line->addStretch();
        column->addWidget(row);
        m_rows.append({row, icon, text});
        if (i == agentsRow) {
            // The connect buttons, under the agents row's text.
            m_connectOffers = new QWidget(checklist);
            auto* grid = new QGridLayout(m_connectOffers);
            grid->setContentsMargins(kRowIconSize + 8, 0, 0, 0);
            grid->setColumnStretch(2, 1);
            m_connectOffers->hide();
            column->addWidget(m_connectOffers);
        }
    }
    return checklist;
}

QWidget* WelcomeWindow::makeNextStep() {
    auto* nextStep = new QWidget(this);
    auto* column = new QVBoxLayout(nextStep);
    column->setContentsMargins(0, 0, 0, 0);

    m_nextStepButton = button(QString(), nextStep);
    m_nextStepButton->setDefault(true);
    m_nextStepButton->setMinimumHeight(34);
    QFont bold = m_nextStepButton->font();
    bold.setBold(true);
    m_nextStepButton->setFont(bold);
    connect(m_nextStepButton, &QPushButton::clicked, this, &WelcomeWindow::takeNextStep);
    column->addWidget(m_nextStepButton);

    m_allSet = new QWidget(nextStep);
    auto* allSet = new QHBoxLayout(m_allSet);
    allSet->setContentsMargins(0, 0, 0, 0);
    allSet->setSpacing(8);
    m_allSetIcon = iconLabel(m_allSetPixmap, m_allSet);
    allSet->addWidget(m_allSetIcon, 0, Qt::AlignTop);
    m_allSetText = wrapped(TextStyles::label(QString(), TextStyle::Callout, m_allSet));
    allSet->addWidget(m_allSetText, 1);
    column->addWidget(m_allSet);
    return nextStep;
}

QWidget* WelcomeWindow::makeLinks() {
    auto* links = new QWidget(this);
    auto* row = new QHBoxLayout(links);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    QPushButton* instructions = button(QStringLiteral("Setup instructions"), links);
    connect(instructions, &QPushButton::clicked, this,
            [this] { m_site.open(m_site.downloadUrl()); });
    QPushButton* refresh = button(QStringLiteral("Refresh status"), links);
    connect(refresh, &QPushButton::clicked, this, [this] { m_gate.refresh(); });
    QPushButton* history = button(QStringLiteral("History"), links);
    connect(history, &QPushButton::clicked, this,
            [this] { emit actionChosen(MenuEntry::Action::ShowHistory, {}); });
    row->addStretch();
    row->addWidget(instructions);
    row->addWidget(refresh);
    row->addWidget(history);
    row->addStretch();
    return links;
}

void WelcomeWindow::present(const WelcomeContent& content) {
    m_nextStep = content.nextStep;
    m_header->setText(content.header);
    m_closingNote->setText(content.closingNote);
    for (qsizetype i = 0; i < m_rows.size(); ++i) {
        const ChecklistRow& row = m_rows.at(i);
        const bool shown = i < content.rows.size();
        row.row->setVisible(shown);
        if (!shown) {
            continue;
        }
        const WelcomeContent::Row& item = content.rows.at(i);
        row.icon->setPixmap(item.done ? m_donePixmap : m_notDonePixmap);
        row.text->setText(item.text);
        row.text->setAccessibleName(
            item.text + (item.done ? QStringLiteral(" (done)") : QStringLiteral(" (not done)")));
    }

    offerMenuCommands();
    if (m_menuCommands->isVisibleTo(this)) {
        m_requests->present(m_gate.waitingRequests(), m_gate.published().endedRequests,
                            m_gate.published().decisionNotice);
    } else {
        m_requests->present({}, {}, std::nullopt);
    }
    m_requests->setVisible(!m_requests->isEmpty());
    offerConnections(content.connectOffers);
    m_warning->setText(content.warning.value_or(QString()));
    m_warning->setVisible(content.warning.has_value());

    const bool allSet = content.nextStep == WelcomeContent::NextStep::AllSet;
    const bool wasAvailable = m_nextStepButton->isVisibleTo(this) && m_nextStepButton->isEnabled();
    m_nextStepButton->setVisible(!allSet);
    m_allSet->setVisible(allSet);
    if (allSet) {
        m_allSetText->setText(content.nextStepText);
    } else {
        m_nextStepButton->setText(content.nextStepText);
        m_nextStepButton->setAccessibleName(content.nextStepText);
        m_nextStepButton->setEnabled(content.nextStepEnabled);
        // Disabling it passed the focus on; Return should press the next step again.
        if (content.nextStepEnabled && !wasAvailable) {
            m_nextStepButton->setFocus();
        }
    }
    fitHeight();
}

void WelcomeWindow::takeNextStep() {
    switch (currentContent().nextStep) {
    case WelcomeContent::NextStep::SignIn:
        m_gate.signIn();
        break;
    case WelcomeContent::NextStep::StartHelper:
        m_gate.startHelperGate();
        break;
    case WelcomeContent::NextStep::AllSet:
        break;
    }
}

void WelcomeWindow::fitHeight() {
    QLayout* content = layout();
    const int height = content->hasHeightForWidth() ? content->totalHeightForWidth(kWidth)
                                                    : content->totalSizeHint().height();
    setFixedHeight(height);
}

bool WelcomeWindow::event(QEvent* event) {
    // A row's new text reaches this window's layout only after its own and the checklist's
    // layouts have passed it up, an event loop turn each: fitted before that, a second line
    // of wrapped text would be cut off.
    if (event->type() == QEvent::LayoutRequest) {
        fitHeight();
    }
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::Paint && std::exchange(m_refreshWhenDrawn, false)) {
        // Once the event loop turns: the drawing reaches the screen first.
        QTimer::singleShot(0, &m_gate, &GateController::refresh);
    }
    return handled;
}

void WelcomeWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_nextStepButton->isVisible()) {
        m_nextStepButton->setFocus();
    }
    // The state is looked at again once the window is on the screen: the runtime's choice,
    // the agents' search and the probes would hold its first frame back. A window the desktop
    // never lets draw (covered, on another workspace) holds nothing back for long: the gate
    // starts after a login whether or not anyone sees this window.
    m_refreshWhenDrawn = true;
    QTimer::singleShot(kDrawnWithin, this, [this] {
        if (std::exchange(m_refreshWhenDrawn, false)) {
            m_gate.refresh();
        }
    });
}
