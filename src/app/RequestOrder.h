#pragma once

#include "gate/WaitingRequest.h"

#include <QList>

#include <optional>

// A request as a view lists it: still waiting, or ended while the view was held open.
struct ShownRequest {
    WaitingRequest request;
    std::optional<Ending> ended{};

    bool operator==(const ShownRequest&) const = default;
};

// Where each request goes in a view the user may be about to click. While the view is held
// (a menu open, a list under the pointer) nothing moves: a request that ended stays where it
// was, marked with how it ended, and new ones go after those shown. Once it is let go, the
// view lists just what waits, in the gate's order.
namespace RequestOrder {

QList<ShownRequest> arrange(const QList<ShownRequest>& shown, const QList<WaitingRequest>& waiting,
                            const QList<RequestEnding>& endings, bool held);

// "answered on the phone", "expired", …
QString endingText(Ending how);

} // namespace RequestOrder
