#include "app/RequestsPanel.h"

#include "app/TextStyles.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

RequestsPanel::RequestsPanel(QWidget* parent)
    : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
}

void RequestsPanel::present(const QList<MenuEntry>& entries) {
    if (entries == m_shown) {
        return;
    }
    m_shown = entries;
    auto* column = static_cast<QVBoxLayout*>(layout());
    // Every item is a widget: a request's line, or the row of its answers.
    while (QLayoutItem* item = column->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    QHBoxLayout* answers = nullptr;
    for (const MenuEntry& entry : entries) {
        if (entry.kind != MenuEntry::Kind::Command) {
            // The window has room for the whole line: it wraps instead of being cut.
            auto* line = TextStyles::label(entry.text, TextStyle::Callout, this);
            line->setWordWrap(true);
            line->setTextFormat(Qt::PlainText);
            column->addWidget(line);
            answers = nullptr;
            continue;
        }
        if (answers == nullptr) {
            auto* row = new QWidget(this);
            answers = new QHBoxLayout(row);
            answers->setContentsMargins(0, 0, 0, 0);
            answers->addStretch(1);
            column->addWidget(row);
        }
        auto* button = new QPushButton(entry.shownText(), answers->parentWidget());
        button->setAccessibleName(entry.text);
        // Queued: the answer changes what the panel shows, deleting this button.
        connect(
            button, &QPushButton::clicked, this,
            [this, todo = entry.action, id = entry.requestId] { emit chosen(todo, id); },
            Qt::QueuedConnection);
        answers->insertWidget(answers->count() - 1, button);
    }
}
