#pragma once

#include "app/MenuModel.h"

#include <QList>
#include <QScrollArea>

// The waiting requests with their answers, as the tray menu lists them, for the welcome window
// where no tray holds the menu: each request's line, then its answers as buttons. It scrolls
// past a few requests. While the pointer is over it nothing moves: a request that ended keeps
// its place, its answers disabled and how it ended beside them, and new ones go below; the
// list is tidied once the pointer leaves.
class RequestsPanel final : public QScrollArea {
    Q_OBJECT
public:
    explicit RequestsPanel(QWidget* parent = nullptr);

    void present(const QList<WaitingRequest>& waiting, const QList<RequestEnding>& endings,
                 const std::optional<QString>& notice);
    bool isEmpty() const { return m_shown.isEmpty(); }

    // The tallest it grows before it scrolls.
    static constexpr int kTallest = 300;

signals:
    void chosen(MenuEntry::Action action, const QString& requestId);

protected:
    void leaveEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void arrange();
    void draw(const QList<MenuEntry>& entries);
    void fitHeight();
    QWidget* answersRow(const QList<MenuEntry>& answers, const QString& ending);

    QList<WaitingRequest> m_waiting;
    QList<RequestEnding> m_endings;
    std::optional<QString> m_notice;
    QList<ShownRequest> m_arranged;
    QList<MenuEntry> m_shown;
};
