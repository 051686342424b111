#include "app/HistoryWindow.h"

#include "app/PlainToolTip.h"
#include "app/Symbols.h"
#include "app/TextStyles.h"
#include "gate/GateController.h"

#include <QHeaderView>
#include <QLabel>
#include <QShortcut>
#include <QTreeWidget>
#include <QVBoxLayout>

HistoryWindow::HistoryWindow(GateController& gate, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_gate(gate) {
    setWindowTitle(QStringLiteral("Kestrova History"));
    setWindowIcon(Symbols::appIcon());
    resize(760, 480);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(8);
    layout->addWidget(
        TextStyles::label(QStringLiteral("Recent decisions"), TextStyle::Headline, this));
    m_list = new QTreeWidget(this);
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setAlternatingRowColors(true);
    m_list->setHeaderLabels({QStringLiteral("When"), QStringLiteral("Agent"),
                             QStringLiteral("Request"), QStringLiteral("Answer"),
                             QStringLiteral("Where"), QStringLiteral("Note")});
    // The request takes what the other columns leave; long titles and notes are elided, and
    // whole in their tool tips and the pane below.
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_list->header()->setSectionResizeMode(2, QHeaderView::Stretch);
    m_list->header()->setSectionResizeMode(5, QHeaderView::Interactive);
    m_list->header()->resizeSection(5, 160);
    m_list->setAccessibleName(QStringLiteral("Recent decisions"));
    layout->addWidget(m_list, 1);
    m_empty = TextStyles::label(QStringLiteral("No decisions yet."), TextStyle::Callout, this,
                                Tone::Secondary);
    layout->addWidget(m_empty);
    m_detail = TextStyles::label(QString(), TextStyle::Callout, this);
    m_detail->setWordWrap(true);
    m_detail->setTextFormat(Qt::PlainText);
    m_detail->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_detail->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_detail->setMinimumHeight(m_detail->fontMetrics().lineSpacing() * 5);
    layout->addWidget(m_detail);

    connect(m_list, &QTreeWidget::currentItemChanged, this, &HistoryWindow::showDetail);
    connect(&m_gate, &GateController::changed, this, &HistoryWindow::followRequests);
    new QShortcut(QKeySequence(Qt::Key_Escape), this, this, &QWidget::close);
}

void HistoryWindow::showEvent(QShowEvent* event) {
    reload();
    QWidget::showEvent(event);
}

void HistoryWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // A switch between light and dark themes: the toned texts take their colours anew.
    if (event->type() == QEvent::PaletteChange) {
        TextStyles::restyle(*this);
    }
}

void HistoryWindow::followRequests() {
    QSet<QString> waiting;
    for (const WaitingRequest& request : m_gate.waitingRequests()) {
        waiting << request.id;
    }
    // A request that left the list was decided, timed out or withdrawn: the gate wrote it down.
    const bool decided = !(m_waiting - waiting).isEmpty();
    m_waiting = waiting;
    if (decided && isVisible()) {
        reload();
    }
}

void HistoryWindow::reload() {
    m_rows =
        HistoryContent::rows(ReceiptLog::readLatest(m_gate.receiptsPath(), HistoryContent::kShown));
    m_list->clear();
    for (const HistoryRow& row : m_rows) {
        auto* item = new QTreeWidgetItem(
            m_list, {row.when, row.agent, row.title, row.answer, row.where, row.note});
        item->setToolTip(2, plainToolTip(row.title));
        item->setToolTip(5, plainToolTip(row.note));
    }
    m_list->setVisible(!m_rows.isEmpty());
    m_empty->setVisible(m_rows.isEmpty());
    if (!m_rows.isEmpty()) {
        m_list->setCurrentItem(m_list->topLevelItem(0));
    }
    showDetail();
}

void HistoryWindow::showDetail() {
    const int index =
        m_list->currentItem() ? m_list->indexOfTopLevelItem(m_list->currentItem()) : -1;
    m_detail->setText(index >= 0 && index < m_rows.size() ? m_rows.at(index).detail : QString());
}
