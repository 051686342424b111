#pragma once

#include "gate/PublishedFields.h"

#include <QObject>
#include <QPointer>

#include <optional>
#include <utility>

// What the windows show, written by the controller's parts. Every assignment through publish()
// emits changed(), also of an equal value: views redraw on each one.
class GateState final : public QObject, public PublishedFields {
    Q_OBJECT
public:
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
