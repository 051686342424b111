#include "app/RequestOrder.h"

#include <algorithm>

namespace RequestOrder {

QList<ShownRequest> arrange(const QList<ShownRequest>& shown, const QList<WaitingRequest>& waiting,
                            const QList<RequestEnding>& endings, bool held) {
    QList<ShownRequest> arranged;
    if (held) {
        for (const ShownRequest& entry : shown) {
            const auto still = std::ranges::find(waiting, entry.request.id, &WaitingRequest::id);
            if (still != waiting.end()) {
                arranged.append({.request = *still});
                continue;
            }
            // The last word on it counts: an id ends once.
            const auto ending = std::ranges::find(endings.crbegin(), endings.crend(),
                                                  entry.request.id, &RequestEnding::id);
            arranged.append({.request = entry.request,
                             .ended = ending != endings.crend()
                                          ? ending->how
                                          : entry.ended.value_or(Ending::Unknown)});
        }
    }
    for (const WaitingRequest& request : waiting) {
        if (std::ranges::none_of(
                arranged, [&](const ShownRequest& e) { return e.request.id == request.id; })) {
            arranged.append({.request = request});
        }
    }
    return arranged;
}

QString endingText(Ending how) {
    switch (how) {
    case Ending::AnsweredOnPhone:
        return QStringLiteral("answered on the phone");
    case Ending::AnsweredHere:
        return QStringLiteral("answered on this desktop");
    case Ending::Expired:
        return QStringLiteral("expired");
    case Ending::Withdrawn:
        return QStringLiteral("withdrawn");
    case Ending::Unknown:
        break;
    }
    return QStringLiteral("no longer waiting");
}

} // namespace RequestOrder
