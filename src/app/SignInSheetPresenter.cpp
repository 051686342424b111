#include "app/SignInSheetPresenter.h"

#include "app/SignInSheetWindow.h"
#include "platform/BrowserSignIn.h"

SignInSheetPresenter::SignInSheetPresenter(BrowserSignIn& signIn, QObject* parent)
    : QObject(parent)
    , m_signIn(signIn) {
    connect(&m_signIn, &BrowserSignIn::waitingChanged, this,
            &SignInSheetPresenter::onWaitingChanged);
}

SignInSheetPresenter::~SignInSheetPresenter() = default;

void SignInSheetPresenter::onWaitingChanged(bool waiting) {
    if (waiting && !m_window) {
        m_window = std::make_unique<SignInSheetWindow>(m_signIn);
    } else if (!waiting && m_window) {
        // It hears no later sign-in, and goes later: the end may come from one of its own
        // buttons.
        SignInSheetWindow* const ended = m_window.release();
        disconnect(&m_signIn, nullptr, ended, nullptr);
        ended->hide();
        ended->deleteLater();
    }
}
