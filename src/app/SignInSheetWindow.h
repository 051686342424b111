#pragma once

#include <QWidget>

class BrowserSignIn;
class QLabel;
class QLineEdit;

// The small "waiting for sign-in" window shown while the browser has the sign-in page. Closing
// it or pressing Cancel cancels the sign-in. Where the browser cannot hand the result back (no
// scheme handler registered), the user can paste the link the browser ended on; where no
// browser opened, the window offers the sign-in link to copy.
class SignInSheetWindow final : public QWidget {
    Q_OBJECT
public:
    explicit SignInSheetWindow(BrowserSignIn& signIn, QWidget* parent = nullptr);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void onWaitingChanged(bool waiting);
    void submitPastedLink();

    BrowserSignIn& m_signIn;
    QLabel* m_noBrowser;
    QLineEdit* m_authorizationLink;
    QWidget* m_copyRow;
    QLineEdit* m_pastedLink;
    QLabel* m_pasteProblem;
};
