#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

// The signals that ask a program to end, SIGTERM (what session managers send at logout) and
// SIGINT (Ctrl-C in a terminal), turned into received() on the main thread, so that the
// program can end as its own Quit command ends it. The handler only writes to a pipe. One
// object at a time; when it goes, the signals end the process again.
class QuitSignals final : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;

    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

signals:
    void received();

private:
    void drain();

    int m_readEnd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
