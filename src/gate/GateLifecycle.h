#pragma once

#include <QString>

#include <optional>

// The own gate's life as the supervisor sees it: one state at a time, moved only by the
// transitions of one table.
namespace GateLifecycle {

enum class State {
    Stopped,         // no gate held
    ChoosingRuntime, // a start waits for a runtime to say its version
    Launching,       // launched, not yet seen to answer
    Serving,         // launched, and it answered a probe
    TakenOver,       // an earlier run's gate, held now
    Stopping,        // asked to end, its end not seen yet
    Restarting,      // asked to end so that one on the new config takes its place
    Failed,          // the last start came to nothing: no runtime, no launch, or an early end
};

enum class Event {
    Start,         // the own gate is wanted
    Stop,          // it is not
    NoRuntime,     // the runtime search settled on none
    Launched,      // a gate process was started
    LaunchFailed,  // its config or process could not be made
    Found,         // a gate of ours that this helper did not launch serves: taken over
    Answered,      // the held gate served a probe
    ConfigChanged, // the held gate runs on an older config
    Ended,         // the held (or stopping) gate has ended
};

// Where the event leads from the state; nothing when it does not apply there (the event is
// ignored, the state stays).
std::optional<State> next(State state, Event event);

QString nameOf(State state);
QString nameOf(Event event);

} // namespace GateLifecycle
