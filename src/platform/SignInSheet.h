#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>

#include <expected>

// Shows a sign-in page and reports how it ended, exactly once: the redirect to the callback
// scheme, the user's cancellation, or another failure.
class SignInSheet {
public:
    struct Failure {
        bool cancelled = false;
        QString description; // when not cancelled

        bool operator==(const Failure&) const = default;
    };
    using Outcome = std::expected<QUrl, Failure>;

    virtual ~SignInSheet() = default;
    virtual QCoro::Task<Outcome> present(QUrl authorizationUrl, QString callbackScheme) = 0;
    // Ends a waiting sign-in as cancelled; nothing when none waits.
    virtual void cancel() = 0;
};
