#include "app/SignInSheetWindow.h"

#include "app/Symbols.h"
#include "platform/BrowserSignIn.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

SignInSheetWindow::SignInSheetWindow(BrowserSignIn& signIn, QWidget* parent)
    : QWidget(parent, Qt::Dialog)
    , m_signIn(signIn)
    , m_noBrowser(new QLabel(tr("No browser could be opened. Open this link in one:"), this))
    , m_authorizationLink(new QLineEdit(this))
    , m_copyRow(new QWidget(this))
    , m_pastedLink(new QLineEdit(this))
    , m_pasteProblem(new QLabel(this)) {
    setWindowTitle(tr("Sign in to Kestrova"));
    setWindowIcon(Symbols::appIcon());
    setAccessibleName(windowTitle());

    auto* heading = new QLabel(tr("Continue in your browser"), this);
    QFont headingFont = heading->font();
    headingFont.setBold(true);
    heading->setFont(headingFont);
    auto* explanation = new QLabel(
        tr("Finish signing in with Google in your browser. This window closes by itself."), this);
    explanation->setWordWrap(true);

    m_authorizationLink->setReadOnly(true);
    m_authorizationLink->setAccessibleName(tr("Sign-in link"));
    auto* copy = new QPushButton(tr("Copy link"), m_copyRow);
    copy->setAccessibleName(tr("Copy the sign-in link"));
    connect(copy, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(m_authorizationLink->text()); });
    auto* copyLayout = new QHBoxLayout(m_copyRow);
    copyLayout->setContentsMargins(0, 0, 0, 0);
    copyLayout->addWidget(m_authorizationLink, 1);
    copyLayout->addWidget(copy);

    auto* pasteLabel =
        new QLabel(tr("Browser did not come back? Paste the link it ended on:"), this);
    pasteLabel->setWordWrap(true);
    m_pastedLink->setPlaceholderText(tr("Link from the browser"));
    m_pastedLink->setAccessibleName(tr("Link from the browser"));
    pasteLabel->setBuddy(m_pastedLink);
    auto* submit = new QPushButton(tr("Continue"), this);
    submit->setAccessibleName(tr("Continue with the pasted link"));
    connect(submit, &QPushButton::clicked, this, &SignInSheetWindow::submitPastedLink);
    connect(m_pastedLink, &QLineEdit::returnPressed, this, &SignInSheetWindow::submitPastedLink);
    auto* pasteRow = new QHBoxLayout;
    pasteRow->addWidget(m_pastedLink, 1);
    pasteRow->addWidget(submit);
    m_pasteProblem->setWordWrap(true);
    m_pasteProblem->hide();

    auto* cancel = new QPushButton(tr("Cancel"), this);
    cancel->setAccessibleName(tr("Cancel sign-in"));
    connect(cancel, &QPushButton::clicked, &m_signIn, &BrowserSignIn::cancel);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addWidget(explanation);
    layout->addWidget(m_noBrowser);
    layout->addWidget(m_copyRow);
    layout->addSpacing(8);
    layout->addWidget(pasteLabel);
    layout->addLayout(pasteRow);
    layout->addWidget(m_pasteProblem);
    layout->addLayout(buttons);
    setMinimumWidth(420);

    connect(&m_signIn, &BrowserSignIn::waitingChanged, this, &SignInSheetWindow::onWaitingChanged);
    // Made once a sign-in already waits (SignInSheetPresenter makes it so), it shows at once.
    if (m_signIn.isWaiting()) {
        onWaitingChanged(true);
    }
}

void SignInSheetWindow::onWaitingChanged(bool waiting) {
    if (!waiting) {
        hide();
        return;
    }
    const bool browserMissing = !m_signIn.browserOpened();
    m_noBrowser->setVisible(browserMissing);
    m_copyRow->setVisible(browserMissing);
    m_authorizationLink->setText(m_signIn.authorizationUrl().toString(QUrl::FullyEncoded));
    m_pastedLink->clear();
    m_pasteProblem->hide();
    show();
    raise();
    activateWindow();
}

void SignInSheetWindow::submitPastedLink() {
    const QUrl link(m_pastedLink->text().trimmed(), QUrl::StrictMode);
    if (!m_signIn.deliverCallback(link)) {
        m_pasteProblem->setText(tr("That is not the link of this sign-in."));
        m_pasteProblem->show();
    }
}

void SignInSheetWindow::closeEvent(QCloseEvent* event) {
    // Closing the window is the user's way of saying no.
    m_signIn.cancel();
    event->accept();
}
