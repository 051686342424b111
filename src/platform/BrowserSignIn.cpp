#include "platform/BrowserSignIn.h"

#include <QCoro/QCoroFuture>
#include <QUrlQuery>

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
    m_pending = std::make_unique<QPromise<Outcome>>();
    m_pending->start();
    QFuture<Outcome> outcome = m_pending->future();
    m_waiting = true;
    m_browserOpened = m_openBrowser(m_authorizationUrl);
    emit waitingChanged(true);
    co_return co_await outcome;
}

std::expected<void, QString> BrowserSignIn::deliverCallback(const QUrl& callback) {
    if (!m_waiting) {
        return std::unexpected(QStringLiteral("no sign-in is waiting"));
    }
    if (callback.scheme().compare(m_callbackScheme, Qt::CaseInsensitive) != 0) {
        return std::unexpected(QStringLiteral("the link is not a sign-in callback"));
    }
    // The state the sign-in sent must come back: anything else is not this sign-in's answer.
    const QString expected = QUrlQuery(m_authorizationUrl).queryItemValue(QStringLiteral("state"));
    if (QUrlQuery(callback).queryItemValue(QStringLiteral("state")) != expected) {
        return std::unexpected(QStringLiteral("the link belongs to another sign-in"));
    }
    finish(callback);
    return {};
}

void BrowserSignIn::cancel() {
    if (m_waiting) {
        finish(std::unexpected(Failure{.cancelled = true, .description = {}}));
    }
}

void BrowserSignIn::finish(const Outcome& outcome) {
    const std::unique_ptr<QPromise<Outcome>> pending = std::move(m_pending);
    pending->addResult(outcome);
    pending->finish();
    m_waiting = false;
    emit waitingChanged(false);
    emit ended(outcome);
}
