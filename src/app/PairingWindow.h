#pragma once

#include "app/WebSite.h"

#include <QWidget>

class GateController;
class QLabel;

// Shows the key a phone scans to pair with the gate in use, or how to get a gate when there is
// none. Asks the controller again on every change and whenever it is shown.
class PairingWindow final : public QWidget {
    Q_OBJECT
public:
    PairingWindow(GateController& gate, const WebSite& site, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    class Card;

    void refresh();
    void drawSymbol();
    void fitHeight();

    GateController& m_gate;
    Card* m_card;
    QWidget* m_fallback;
    QLabel* m_symbol = nullptr;
};
