#pragma once

#include <QObject>

#include <memory>

class BrowserSignIn;
class SignInSheetWindow;

// Shows the waiting window while a sign-in waits on the browser. The window is made when a
// sign-in starts (most runs of the program never sign in) and goes once it ends.
class SignInSheetPresenter final : public QObject {
    Q_OBJECT
public:
    explicit SignInSheetPresenter(BrowserSignIn& signIn, QObject* parent = nullptr);
    ~SignInSheetPresenter() override;

    // The window of the sign-in now waiting, if one waits.
    SignInSheetWindow* window() const { return m_window.get(); }

private:
    void onWaitingChanged(bool waiting);

    BrowserSignIn& m_signIn;
    std::unique_ptr<SignInSheetWindow> m_window;
};
