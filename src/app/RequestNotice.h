#pragma once

#include "gate/WaitingRequest.h"
#include "platform/DesktopNotifications.h"

#include <QStringList>

#include <optional>

// What the desktop notification of a waiting request says and offers, for a server with the
// given capabilities. Action keys are the decisions' names.
namespace RequestNotice {

inline constexpr char kApprove[] = "approve";
inline constexpr char kDeny[] = "deny";
inline constexpr char kAllowForSession[] = "session";

// Nothing for a tool call whose caller has gone: nobody at the computer waits for it.
std::optional<DesktopNotifications::Notice> of(const WaitingRequest& request,
                                               const QStringList& capabilities);

// A notice about an answer given here that decided nothing.
DesktopNotifications::Notice ofProblem(const QString& text, const QStringList& capabilities);

// The decision an action key stands for.
std::optional<Decision> decisionOf(const QString& action);

} // namespace RequestNotice
