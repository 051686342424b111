#include "gate/GateLifecycle.h"

#include <algorithm>
#include <array>

namespace GateLifecycle {

namespace {

using enum State;
using enum Event;

struct Transition {
    State from;
    Event event;
    State to;
};

// Every move there is. A Start or Stop not listed for a state leaves it as it is.
constexpr std::array transitions{
    Transition{Stopped, Start, ChoosingRuntime},
    Transition{Stopped, Found, TakenOver},
    Transition{Failed, Start, ChoosingRuntime},
    Transition{Failed, Found, TakenOver},

    Transition{ChoosingRuntime, Stop, Stopped},
    Transition{ChoosingRuntime, NoRuntime, Failed},
    Transition{ChoosingRuntime, Found, TakenOver},
    Transition{ChoosingRuntime, Launched, Launching},
    Transition{ChoosingRuntime, LaunchFailed, Failed},

    Transition{Launching, Answered, Serving},
    Transition{Launching, Ended, Failed},
    Transition{Launching, Stop, Stopping},
    Transition{Launching, ConfigChanged, Restarting},

    Transition{Serving, Ended, Stopped},
    Transition{Serving, Stop, Stopping},
    Transition{Serving, ConfigChanged, Restarting},

    Transition{TakenOver, Ended, Stopped},
    Transition{TakenOver, Stop, Stopping},
    Transition{TakenOver, ConfigChanged, Restarting},

    // A start while the last gate is still ending waits for that end: both would want the port.
    Transition{Stopping, Start, Restarting},
    Transition{Stopping, Ended, Stopped},

    Transition{Restarting, Stop, Stopping},
    Transition{Restarting, Ended, ChoosingRuntime},
};

} // namespace

std::optional<State> next(State state, Event event) {
    const auto found = std::ranges::find_if(transitions, [state, event](const Transition& row) {
        return row.from == state && row.event == event;
    });
    return found == transitions.end() ? std::nullopt : std::optional(found->to);
}

QString nameOf(State state) {
    static constexpr std::array names{"stopped",    "choosing a runtime", "launching",  "serving",
                                      "taken over", "stopping",           "restarting", "failed"};
    return QString::fromLatin1(names.at(static_cast<size_t>(state)));
}

QString nameOf(Event event) {
    static constexpr std::array names{"start",    "stop",           "no runtime",
                                      "launched", "launch failed",  "found",
                                      "answered", "config changed", "ended"};
    return QString::fromLatin1(names.at(static_cast<size_t>(event)));
}

} // namespace GateLifecycle
