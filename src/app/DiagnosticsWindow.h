#pragma once

#include <QList>
#include <QWidget>

class GateController;
class QFrame;
class QLabel;

// A read-out of the gate's state for troubleshooting: what runs, which account and runtime are
// in use, where the files are, the last error, and a way to check again. It follows the
// controller live and holds no state of its own.
class DiagnosticsWindow final : public QWidget {
    Q_OBJECT
public:
    explicit DiagnosticsWindow(GateController& gate, QWidget* parent = nullptr);
    ~DiagnosticsWindow() override;

protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    class PathText;

    void showState();
    void fitHeight();

    struct Row {
        QLabel* label;
        QLabel* value;
    };

    GateController& m_gate;
    QList<Row> m_rows;
    QLabel* m_devBuildNote = nullptr;
    PathText* m_daemonPath = nullptr;
    PathText* m_configPath = nullptr;
    PathText* m_gateLogPath = nullptr;
    QFrame* m_errorDivider = nullptr;
    QLabel* m_lastError = nullptr;
};
