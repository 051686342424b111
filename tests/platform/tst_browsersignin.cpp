#include "app/SignInSheetPresenter.h"
#include "app/SignInSheetWindow.h"
#include "platform/BrowserSignIn.h"

#include <QCoro/QCoroTask>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include <memory>

using Outcome = SignInSheet::Outcome;

char* toString(const Outcome& outcome) {
    return QTest::toString(outcome ? QStringLiteral("url ") + outcome->toString()
                                   : QStringLiteral("failure cancelled=%1 %2")
                                         .arg(outcome.error().cancelled)
                                         .arg(outcome.error().description));
}

namespace {

const QUrl
    kAuthorization(QStringLiteral("https://accounts.example.test/auth?client_id=x&state=s%201"));
const QString kScheme = QStringLiteral("com.example.apps.x");
const QUrl kCallback(QStringLiteral("com.example.apps.x:/oauth2redirect?code=4%2F0A&state=s%201"));
const Outcome kCancelled =
    std::unexpected(SignInSheet::Failure{.cancelled = true, .description = {}});

enum class Ending { None, Callback, Cancel, Destruction };

template <typename T> T* widgetLabelled(const QWidget& window, const QString& label) {
    for (T* child : window.findChildren<T*>()) {
        if (child->text() == label || child->accessibleName() == label) {
            return child;
        }
    }
    return nullptr;
}

QList<QLabel*> visibleLabels(const QWidget& window) {
    QList<QLabel*> visible;
    for (QLabel* label : window.findChildren<QLabel*>()) {
        if (label->isVisible() && !label->text().isEmpty()) {
            visible << label;
        }
    }
    return visible;
}

} // namespace

class BrowserSignInTest : public QObject {
    Q_OBJECT

    bool m_browserStarts = true;
    QList<QUrl> m_opened;
    QList<Outcome> m_ended;
    QList<bool> m_waiting;
    std::unique_ptr<BrowserSignIn> m_sheet;

    void makeSheet() {
        m_sheet = std::make_unique<BrowserSignIn>([this](const QUrl& url) {
            m_opened << url;
            return m_browserStarts;
        });
        connect(m_sheet.get(), &BrowserSignIn::ended, this,
                [this](const Outcome& outcome) { m_ended << outcome; });
        connect(m_sheet.get(), &BrowserSignIn::waitingChanged, this,
                [this](bool waiting) { m_waiting << waiting; });
    }

    // The task of a sign-in that has ended, once its caller has been resumed.
    static Outcome resultOf(QCoro::Task<Outcome>& task) {
        if (!QTest::qWaitFor([&] { return task.isReady(); }, 2000)) {
            return std::unexpected(
                SignInSheet::Failure{.cancelled = false, .description = "never resumed"});
        }
        return QCoro::waitFor(task);
    }

private slots:
    void init() {
        m_browserStarts = true;
        m_opened.clear();
        m_ended.clear();
        m_waiting.clear();
        makeSheet();
    }
    void cleanup() { m_sheet.reset(); }

    void theOutcomeArrivesExactlyOnce_data() {
        QTest::addColumn<Ending>("ending");
        QTest::addColumn<Outcome>("expected");
        QTest::newRow("callback") << Ending::Callback << Outcome(kCallback);
        QTest::newRow("cancel") << Ending::Cancel << kCancelled;
        QTest::newRow("destruction") << Ending::Destruction << kCancelled;
    }
    void theOutcomeArrivesExactlyOnce() {
        QFETCH(Ending, ending);
        QFETCH(Outcome, expected);
        auto task = m_sheet->present(kAuthorization, kScheme);
        QVERIFY(m_sheet->isWaiting());
        QCOMPARE(m_opened, QList<QUrl>{kAuthorization});
        QCOMPARE(m_sheet->authorizationUrl(), kAuthorization);
        if (ending == Ending::Callback) {
            QVERIFY(m_sheet->deliverCallback(kCallback));
        } else if (ending == Ending::Cancel) {
            m_sheet->cancel();
        } else {
            m_sheet.reset();
        }
        QCOMPARE(m_ended, QList<Outcome>{expected});
        QCOMPARE(resultOf(task), expected);
        if (m_sheet) { // a finished sign-in takes nothing more
            QVERIFY(!m_sheet->isWaiting());
            QVERIFY(!m_sheet->deliverCallback(kCallback));
            m_sheet->cancel();
        }
        QCOMPARE(m_ended.size(), 1);
        QCOMPARE(m_waiting, QList<bool>({true, false}));
    }

    void nothingIsAcceptedWithoutAWaitingSignIn_data() {
        QTest::addColumn<Ending>("before");
        QTest::newRow("never presented") << Ending::None;
        QTest::newRow("after a callback") << Ending::Callback;
        QTest::newRow("after cancel") << Ending::Cancel;
    }
    void nothingIsAcceptedWithoutAWaitingSignIn() {
        QFETCH(Ending, before);
        if (before != Ending::None) {
            auto task = m_sheet->present(kAuthorization, kScheme);
            if (before == Ending::Callback) {
                QVERIFY(m_sheet->deliverCallback(kCallback));
            } else {
                m_sheet->cancel();
            }
            QCOMPARE(resultOf(task).has_value(), before == Ending::Callback);
        }
        const qsizetype endedBefore = m_ended.size();
        QVERIFY(!m_sheet->deliverCallback(kCallback));
        QCOMPARE(m_ended.size(), endedBefore);
        QVERIFY(!m_sheet->isWaiting());
    }

    // A late callback of an earlier attempt, or one without the attempt's state, is not this
    // sign-in's answer: it is ignored and the wait goes on until the right one comes.
    void onlyTheAttemptsOwnStateEndsTheWait() {
        auto task = m_sheet->present(kAuthorization, kScheme);
        for (const char* stale : {"com.example.apps.x:/oauth2redirect?code=old&state=s%200",
                                  "com.example.apps.x:/oauth2redirect?code=old"}) {
            QVERIFY(!m_sheet->deliverCallback(QUrl(QString::fromLatin1(stale))));
            QVERIFY(m_sheet->isWaiting());
        }
        QVERIFY(m_sheet->deliverCallback(kCallback));
        QCOMPARE(resultOf(task), Outcome(kCallback));
    }

    void aSecondSignInEndsTheFirstAsCancelled() {
        auto first = m_sheet->present(kAuthorization, kScheme);
        const QUrl secondPage(QStringLiteral("https://accounts.example.test/auth?state=two"));
        auto second = m_sheet->present(secondPage, kScheme);
        QCOMPARE(m_ended, QList<Outcome>{kCancelled});
        QCOMPARE(resultOf(first), kCancelled);
        QVERIFY(m_sheet->isWaiting());
        QVERIFY(!second.isReady());
        QCOMPARE(m_sheet->authorizationUrl(), secondPage);
        QVERIFY2(!m_sheet->deliverCallback(kCallback), "the first attempt's late callback");
        const QUrl secondCallback(
            QStringLiteral("com.example.apps.x:/oauth2redirect?code=2&state=two"));
        QVERIFY(m_sheet->deliverCallback(secondCallback));
        QCOMPARE(resultOf(second), Outcome(secondCallback));
        QCOMPARE(m_ended.size(), 2);
        QCOMPARE(m_opened, QList<QUrl>({kAuthorization, secondPage}));
    }

    // The waiting window.

    void aWindowThatEndedHearsNoLaterSignIn() {
        const SignInSheetPresenter presenter(*m_sheet);
        auto first = m_sheet->present(kAuthorization, kScheme);
        const QPointer<SignInSheetWindow> ended = presenter.window();
        m_sheet->cancel();
        // The next sign-in starts before the ended window is gone.
        auto second = m_sheet->present(kAuthorization, kScheme);
        QVERIFY(ended && !ended->isVisible());
        QVERIFY(presenter.window() && presenter.window() != ended);
        QVERIFY(presenter.window()->isVisible());
        m_sheet->cancel();
        QCOMPARE(resultOf(first), kCancelled);
        QCOMPARE(resultOf(second), kCancelled);
    }

    void cancelAndCloseCancel_data() {
        QTest::addColumn<bool>("close");
        QTest::newRow("cancel button") << false;
        QTest::newRow("closing the window") << true;
    }
    void cancelAndCloseCancel() {
        QFETCH(bool, close);
        SignInSheetWindow window(*m_sheet);
        auto task = m_sheet->present(kAuthorization, kScheme);
        if (close) {
            QVERIFY(window.close());
        } else {
            auto* cancel = widgetLabelled<QPushButton>(window, QStringLiteral("Cancel"));
            QVERIFY(cancel);
            QTest::mouseClick(cancel, Qt::LeftButton);
        }
        QCOMPARE(m_ended, QList<Outcome>{kCancelled});
        QCOMPARE(resultOf(task), kCancelled);
        QVERIFY(!window.isVisible());
    }

    void aPastedLinkIsDelivered_data() {
        QTest::addColumn<QString>("pasted");
        QTest::addColumn<bool>("pressReturn");
        QTest::addColumn<bool>("accepted");
        const QString callback = kCallback.toString(QUrl::FullyEncoded);
        QTest::newRow("continue") << callback << false << true;
        QTest::newRow("return") << callback << true << true;
        QTest::newRow("with spaces around") << "  " + callback + "\n" << false << true;
        QTest::newRow("another scheme")
            << "https://accounts.example.test/cb?code=1" << false << false;
        QTest::newRow("not a link") << "the code is 4/0A" << true << false;
        QTest::newRow("empty") << "" << false << false;
    }
    void aPastedLinkIsDelivered() {
        QFETCH(QString, pasted);
        QFETCH(bool, pressReturn);
        QFETCH(bool, accepted);
        SignInSheetWindow window(*m_sheet);
        auto task = m_sheet->present(kAuthorization, kScheme);
        auto* field = widgetLabelled<QLineEdit>(window, QStringLiteral("Link from the browser"));
        auto* submit = widgetLabelled<QPushButton>(window, QStringLiteral("Continue"));
        QVERIFY(field && submit);
        const QList<QLabel*> labelsBefore = visibleLabels(window);
        field->setText(pasted);
        if (pressReturn) {
            QTest::keyClick(field, Qt::Key_Return);
        } else {
            QTest::mouseClick(submit, Qt::LeftButton);
        }
        if (accepted) {
            QCOMPARE(m_ended, QList<Outcome>{Outcome(kCallback)});
            QCOMPARE(resultOf(task), Outcome(kCallback));
            QVERIFY(!window.isVisible());
            return;
        }
        QVERIFY(m_ended.isEmpty());
        QVERIFY(m_sheet->isWaiting());
        QVERIFY(window.isVisible());
        const QList<QLabel*> labelsAfter = visibleLabels(window);
        QCOMPARE(labelsAfter.size(), labelsBefore.size() + 1); // the problem is shown
        // The right link still goes through after a wrong one.
        field->setText(kCallback.toString(QUrl::FullyEncoded));
        QTest::mouseClick(submit, Qt::LeftButton);
        QCOMPARE(resultOf(task), Outcome(kCallback));
    }
};

QTEST_MAIN(BrowserSignInTest)

#include "tst_browsersignin.moc"
