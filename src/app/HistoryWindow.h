#pragma once

#include "app/HistoryContent.h"

#include <QSet>
#include <QWidget>

class GateController;
class QLabel;
class QTreeWidget;

// The last decisions the gate recorded: when, which agent, what, the answer, where it was
// given and the note, newest first, with everything about the selected one below the list.
// Read again when shown and whenever a waiting request leaves the list.
class HistoryWindow final : public QWidget {
    Q_OBJECT
public:
    explicit HistoryWindow(GateController& gate, QWidget* parent = nullptr);

    const QList<HistoryRow>& rows() const { return m_rows; }

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void reload();
    void followRequests();
    void showDetail();

    GateController& m_gate;
    QList<HistoryRow> m_rows;
    QSet<QString> m_waiting;
    QTreeWidget* m_list = nullptr;
    QLabel* m_empty = nullptr;
    QLabel* m_detail = nullptr;
};
