#include "app/RequestsPanel.h"

#include "app/TextStyles.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

RequestsPanel::RequestsPanel(QWidget* parent)
    : QScrollArea(parent) {
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* content = new QWidget(this);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    setWidget(content);
}

void RequestsPanel::present(const QList<WaitingRequest>& waiting,
                            const QList<RequestEnding>& endings,
                            const std::optional<QString>& notice) {
    m_waiting = waiting;
    m_endings = endings;
    m_notice = notice;
    arrange();
}

void RequestsPanel::leaveEvent(QEvent* event) {
    QScrollArea::leaveEvent(event);
    arrange();
}

void RequestsPanel::arrange() {
    m_arranged = RequestOrder::arrange(m_arranged, m_waiting, m_endings, underMouse());
    const QList<MenuEntry> entries = MenuModel::requestEntries(m_arranged, m_notice);
    if (entries != m_shown) {
        m_shown = entries;
        draw(entries);
    }
}

// Rebuilt whole: while the pointer is over the list, the arrangement keeps every line and row
// where it was, and how a request ended goes in its row of answers, which keeps its height.
void RequestsPanel::draw(const QList<MenuEntry>& entries) {
    auto* column = static_cast<QVBoxLayout*>(widget()->layout());
    while (QLayoutItem* item = column->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    QList<MenuEntry> answers;
    QString ending;
    const auto flush = [&] {
        if (!answers.isEmpty()) {
            column->addWidget(answersRow(answers, ending));
            answers.clear();
        }
    };
    for (const MenuEntry& entry : entries) {
        if (entry.kind == MenuEntry::Kind::Command) {
            answers << entry;
            continue;
        }
        flush();
        ending = entry.ending;
        // The window has room for the whole line: it wraps instead of being cut.
        auto* line = TextStyles::label(entry.text, TextStyle::Callout, widget());
        line->setWordWrap(true);
        column->addWidget(line);
    }
    flush();
    column->addStretch(1);
    fitHeight();
}

// As tall as the requests, up to kTallest: the window around it follows.
void RequestsPanel::fitHeight() {
    const QWidget* content = widget();
    const int width = viewport()->width() > 0 ? viewport()->width() : content->sizeHint().width();
    const int height = content->hasHeightForWidth() ? content->heightForWidth(width)
                                                    : content->sizeHint().height();
    setFixedHeight(std::min(height, kTallest) + 2 * frameWidth());
}

void RequestsPanel::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    fitHeight();
}

QWidget* RequestsPanel::answersRow(const QList<MenuEntry>& answers, const QString& ending) {
    auto* row = new QWidget(widget());
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    // How the request ended, in the room left of the buttons: the row keeps its height.
    auto* how = TextStyles::label(ending, TextStyle::Footnote, row, Tone::Secondary);
    how->setWordWrap(true);
    how->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->addWidget(how, 1);
    for (const MenuEntry& entry : answers) {
        auto* button = new QPushButton(entry.shownText(), row);
        button->setAccessibleName(entry.text);
        button->setEnabled(entry.enabled);
        // Queued: the answer changes what the panel shows, deleting this button.
        connect(
            button, &QPushButton::clicked, this,
            [this, todo = entry.action, id = entry.requestId] { emit chosen(todo, id); },
            Qt::QueuedConnection);
        layout->addWidget(button);
    }
    return row;
}
