#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

// What the windows show, written by the controller's parts. Every assignment through publish()
// emits changed(), also of an equal value: views redraw on each one.
class GateState final : public QObject {
    Q_OBJECT
public:
    bool helperRunning = false;
    bool existingGateDetected = false;
    // A gate port answered, but another user's program listens on it: it is not counted.
    bool ownPortForeign = false;
    bool existingPortForeign = false;
    QString lastChecked;
    std::optional<QString> accountUserId;
    std::optional<QString> personalRoom;
    bool signingIn = false;
    std::optional<QString> lastError;
    bool launchAtLogin = false;
    bool useExistingGate = false;
    QStringList detectedAgents;
    QStringList registeredAgents;
    std::optional<QString> registrationError;

    template <typename T, typename V> void publish(T& field, V&& value) {
        field = std::forward<V>(value);
        emit changed();
    }

    // Once set, work that resumes after a wait publishes nothing: the controller is going away.
    void close() { m_closing = true; }

    bool closing() const { return m_closing; }

signals:
    void changed();
    // A part wants the whole picture read again: agents detected and both gates probed.
    void refreshRequested();

private:
    bool m_closing = false;
};

// Whether work that waited may still publish: its part exists and the controller is not going
// away. The state is reached through the part, which is known to exist by then.
template <typename Part> bool stillHere(const QPointer<Part>& part) {
    return part && !part->gateState().closing();
}
