#pragma once

#include "platform/SignInSheet.h"

#include <QObject>
#include <QPromise>

#include <expected>
#include <functional>
#include <memory>

// The sign-in sheet of a desktop without a built-in web view: the system browser shows the
// page, and the redirect to the callback scheme comes back through the desktop entry's scheme
// handler, a second start of the program that hands the URL over. The waiting window (or a
// test) watches waitingChanged() and calls cancel() or deliverCallback().
class BrowserSignIn final : public QObject, public SignInSheet {
    Q_OBJECT
public:
    // Opens a URL in the browser; false when no browser could be started.
    using BrowserOpener = std::function<bool(const QUrl&)>;

    explicit BrowserSignIn(BrowserOpener openBrowser, QObject* parent = nullptr);
    ~BrowserSignIn() override;

    QCoro::Task<Outcome> present(QUrl authorizationUrl, QString callbackScheme) override;

    bool isWaiting() const { return m_waiting; }
    bool browserOpened() const { return m_browserOpened; }
    const QUrl& authorizationUrl() const { return m_authorizationUrl; }

    // Ends the wait with the URL when a sign-in waits and the URL is its callback: the
    // callback scheme and the attempt's own state. Anything else is ignored, and the error
    // says why.
    std::expected<void, QString> deliverCallback(const QUrl& callback);
    void cancel() override;

signals:
    void waitingChanged(bool waiting);
    void ended(const SignInSheet::Outcome& outcome);

private:
    void finish(const Outcome& outcome);

    BrowserOpener m_openBrowser;
    // Each call waits on its own promise, so it ends even when this object goes away first or
    // a newer call ends it in the same turn of the event loop.
    std::unique_ptr<QPromise<Outcome>> m_pending;
    bool m_waiting = false;
    bool m_browserOpened = false;
    QUrl m_authorizationUrl;
    QString m_callbackScheme;
};
