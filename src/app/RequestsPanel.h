#pragma once

#include "app/MenuModel.h"

#include <QList>
#include <QWidget>

// The waiting requests with their answers, as the tray menu lists them, for the welcome window
// where no tray holds the menu: each request's line, then its answers as buttons.
class RequestsPanel final : public QWidget {
    Q_OBJECT
public:
    explicit RequestsPanel(QWidget* parent = nullptr);

    // Rebuilt only when the entries differ from those shown.
    void present(const QList<MenuEntry>& entries);

signals:
    void chosen(MenuEntry::Action action, const QString& requestId);

private:
    QList<MenuEntry> m_shown;
};
