#include "app/RequestNotice.h"

namespace RequestNotice {

namespace {

// Servers that take markup in the body would read "<b>" in a title as bold.
QString bodyText(const QString& text, const QStringList& capabilities) {
    return capabilities.contains(QStringLiteral("body-markup")) ? text.toHtmlEscaped() : text;
}

} // namespace

std::optional<DesktopNotifications::Notice> of(const WaitingRequest& request,
                                               const QStringList& capabilities) {
    if (request.origin == WaitingRequest::Origin::Tool && !request.callerWaiting) {
        return std::nullopt;
    }
    DesktopNotifications::Notice notice;
    notice.summary = (request.agent.isEmpty() ? QStringLiteral("An agent") : request.agent) +
                     QStringLiteral(" asks for approval");
    QString body = request.title;
    if (!request.cwd.isEmpty()) {
        body += QStringLiteral("\nFolder: ") + request.cwd;
    }
    // Offered only with the words of what it grants.
    const bool sessionOffered = request.sessionOffer && !request.grant.isEmpty() &&
                                capabilities.contains(QStringLiteral("actions"));
    if (sessionOffered) {
        body += QStringLiteral("\nAllow for this session: ") + request.grant;
    }
    notice.body = bodyText(body, capabilities);
    if (capabilities.contains(QStringLiteral("actions"))) {
        notice.actions = {QString::fromLatin1(kApprove), QStringLiteral("Approve"),
                          QString::fromLatin1(kDeny), QStringLiteral("Deny")};
        if (sessionOffered) {
            notice.actions << QString::fromLatin1(kAllowForSession)
                           << QStringLiteral("Allow for this session");
        }
    }
    // It stays until the request is decided, wherever that happens, or expires.
    notice.expireMs = 0;
    return notice;
}

DesktopNotifications::Notice ofProblem(const QString& text, const QStringList& capabilities) {
    return {.summary = QStringLiteral("Your answer was not taken"),
            .body = bodyText(text, capabilities)};
}

std::optional<Decision> decisionOf(const QString& action) {
    if (action == QLatin1StringView(kApprove)) {
        return Decision::Approve;
    }
    if (action == QLatin1StringView(kDeny)) {
        return Decision::Deny;
    }
    if (action == QLatin1StringView(kAllowForSession)) {
        return Decision::AllowForSession;
    }
    return std::nullopt;
}

} // namespace RequestNotice
