#include "platform/BrowserSignIn.h"

#include <QCoro/QCoroSignal>

BrowserSignIn::BrowserSignIn(BrowserOpener openBrowser, QObject* parent)
    : QObject(parent)
    , m_openBrowser(std::move(openBrowser)) {
}

BrowserSignIn::~BrowserSignIn() {
    // A waiting sign-in must still end, or its caller would wait forever.
    cancel();
}

QCoro::Task<SignInSheet::Outcome> BrowserSignIn::present(QUrl authorizationUrl,
                                                         QString callbackScheme) {
    // Only one sign-in waits at a time; an older one ends as cancelled.
    cancel();
    m_authorizationUrl = std::move(authorizationUrl);
    m_callbackScheme = std::move(callbackScheme);
    m_waiting = true;
    m_browserOpened = m_openBrowser(m_authorizationUrl);
    emit waitingChanged(true);
    const auto outcome = co_await qCoro(this, &BrowserSignIn::ended);
    co_return outcome;
}

bool BrowserSignIn::deliverCallback(const QUrl& callback) {
    if (!m_waiting || callback.scheme().compare(m_callbackScheme, Qt::CaseInsensitive) != 0) {
        return false;
    }
    finish(callback);
    return true;
}

void BrowserSignIn::cancel() {
    if (m_waiting) {
        finish(std::unexpected(Failure{.cancelled = true, .description = {}}));
    }
}

void BrowserSignIn::finish(const Outcome& outcome) {
    m_waiting = false;
    emit waitingChanged(false);
    emit ended(outcome);
}
