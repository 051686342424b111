#pragma once

// While one lives, a fatal message ends the program with status 1 once printed, where Qt would
// abort it. Meant for the toolkit's start: no display it can use (a DISPLAY or WAYLAND_DISPLAY
// that leads nowhere) is the user's environment, not a fault of ours, and deserves the
// toolkit's own message and a plain failure, not a crash. Later fatal messages are faults and
// abort as usual.
class ExitOnFatalMessage {
public:
    ExitOnFatalMessage();
    ~ExitOnFatalMessage();

    ExitOnFatalMessage(const ExitOnFatalMessage&) = delete;
    ExitOnFatalMessage& operator=(const ExitOnFatalMessage&) = delete;
};
