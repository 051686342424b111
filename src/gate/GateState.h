#pragma once

#include "gate/PublishedFields.h"

#include <QObject>
#include <QPointer>

#include <optional>
#include <utility>

// What the windows show, written by the controller's parts. An assignment of a new value
// emits changed(), one of an equal value nothing: every changed() is a redraw of every view.
// Several assignments that belong together are published as one, inside a Batch.
class GateState final : public QObject, public PublishedFields {
    Q_OBJECT
public:
    template <typename T, typename V> void publish(T& field, V&& value) {
        if (field == value) {
            return;
        }
        field = std::forward<V>(value);
        if (m_batches > 0) {
            m_pending = true;
        } else {
            emit changed();
        }
    }

    // Holds changed() back while it lives, then emits it once if anything changed.
    class Batch {
    public:
        explicit Batch(GateState& state)
            : m_state(state) {
            ++m_state.m_batches;
        }
        ~Batch() {
            if (--m_state.m_batches == 0 && std::exchange(m_state.m_pending, false)) {
                emit m_state.changed();
            }
        }
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        GateState& m_state;
    };

    // Once set, work that resumes after a wait publishes nothing: the controller is going away.
    void close() { m_closing = true; }

    bool closing() const { return m_closing; }

signals:
    void changed();
    // A probe cycle has ended, whether or not it changed anything.
    void probed();
    // A part wants the whole picture read again: agents detected and both gates probed.
    void refreshRequested();

private:
    bool m_closing = false;
    int m_batches = 0;
    bool m_pending = false;
};

// Whether work that waited may still publish: its part exists and the controller is not going
// away. The state is reached through the part, which is known to exist by then.
template <typename Part> bool stillHere(const QPointer<Part>& part) {
    return part && !part->gateState().closing();
}
