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

template <typename T> T* widgetLabelled(const QWidget& window, const QString& label) {
    for (T* child : window.findChildren<T*>()) {
        if (child->text() == label || child->accessibleName() == label) {
            return child;
        }
    }
    return nullptr;
}

// The task of a sign-in that has ended, once its caller has been resumed.
Outcome resultOf(QCoro::Task<Outcome>& task) {
    if (!QTest::qWaitFor([&] { return task.isReady(); }, 2000)) {
        return std::unexpected(
            SignInSheet::Failure{.cancelled = false, .description = "never resumed"});
    }
    return QCoro::waitFor(task);
}

} // namespace

class BrowserSignInTest : public QObject {
    Q_OBJECT

    QList<QUrl> m_opened;
    QList<Outcome> m_ended;
    std::unique_ptr<BrowserSignIn> m_sheet;

private slots:
    void init() {
        m_opened.clear();
        m_ended.clear();
        m_sheet = std::make_unique<BrowserSignIn>([this](const QUrl& url) {
            m_opened << url;
            return true;
        });
        connect(m_sheet.get(), &BrowserSignIn::ended, this,
                [this](const Outcome& outcome) { m_ended << outcome; });
    }
    void cleanup() { m_sheet.reset(); }

    // Each way a waiting sign-in ends: the outcome reaches its caller exactly once, the window
    // goes, and nothing more is taken. A pasted link that is not a callback shows the problem and
    // the wait goes on until the right one comes.
    void theOutcomeArrivesExactlyOnce_data() {
        // "close", or "continue:"/"return:" and the pasted text
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("problem");
        QTest::addColumn<Outcome>("expected");
        const QString link = kCallback.toString(QUrl::FullyEncoded);
        QTest::newRow("closing the window") << QString("close") << false << kCancelled;
        QTest::newRow("pasted, continue") << "continue:" + link << false << Outcome(kCallback);
        QTest::newRow("pasted with spaces, return") << "return:  " + link + "\n"
                                                    << false << Outcome(kCallback);
        QTest::newRow("another scheme pasted")
            << QString("continue:https://accounts.example.test/cb?code=1") << true
            << Outcome(kCallback);
        QTest::newRow("not a link pasted")
            << QString("return:the code is 4/0A") << true << Outcome(kCallback);
    }
    void theOutcomeArrivesExactlyOnce() {
        QFETCH(QString, action);
        QFETCH(bool, problem);
        QFETCH(Outcome, expected);
        const SignInSheetPresenter presenter(*m_sheet);
        auto task = m_sheet->present(kAuthorization, kScheme);
        const QPointer<SignInSheetWindow> window = presenter.window();
        QVERIFY(window && window->isVisible());
        auto* field = widgetLabelled<QLineEdit>(*window, QStringLiteral("Link from the browser"));
        auto* submit = widgetLabelled<QPushButton>(*window, QStringLiteral("Continue"));
        QVERIFY(field && submit);
        const auto visibleLabels = [&window] {
            return std::ranges::count_if(window->findChildren<QLabel*>(), [](const QLabel* label) {
                return label->isVisible() && !label->text().isEmpty();
            });
        };
        const auto labels = visibleLabels();
        if (action == u"close") {
            QVERIFY(window->close());
        } else {
            field->setText(action.section(u':', 1));
            if (action.startsWith(u"return")) {
                QTest::keyClick(field, Qt::Key_Return);
            } else {
                QTest::mouseClick(submit, Qt::LeftButton);
            }
        }
        if (problem) {
            QVERIFY(m_ended.isEmpty() && m_sheet->isWaiting() && window->isVisible());
            QCOMPARE(visibleLabels(), labels + 1); // the problem is shown
            field->setText(kCallback.toString(QUrl::FullyEncoded));
            QTest::mouseClick(submit, Qt::LeftButton);
        }
        QCOMPARE(m_ended, QList<Outcome>{expected});
        QVERIFY(!window || !window->isVisible());
        QVERIFY(!m_sheet->deliverCallback(kCallback));
        m_sheet->cancel();
        QCOMPARE(m_ended.size(), 1);
        QCOMPARE(resultOf(task), expected);
    }

    // A second sign-in ends the first as cancelled and gets a window of its own, the ended one
    // hearing it no more. A late callback of the first attempt, or one without the attempt's
    // state, is not the second's answer: the wait goes on until the right one comes.
    void aSecondSignInEndsTheFirst() {
        const SignInSheetPresenter presenter(*m_sheet);
        auto first = m_sheet->present(kAuthorization, kScheme);
        const QPointer<SignInSheetWindow> ended = presenter.window();
        const QUrl secondPage(QStringLiteral("https://accounts.example.test/auth?state=two"));
        auto second = m_sheet->present(secondPage, kScheme);
        QCOMPARE(m_ended, QList<Outcome>{kCancelled});
        QVERIFY(ended && !ended->isVisible());
        QVERIFY(presenter.window() && presenter.window() != ended);
        QVERIFY(presenter.window()->isVisible());
        for (const QUrl& stale : {kCallback, QUrl("com.example.apps.x:/oauth2redirect?code=old")}) {
            QVERIFY(!m_sheet->deliverCallback(stale));
        }
        const QUrl secondCallback(
            QStringLiteral("com.example.apps.x:/oauth2redirect?code=2&state=two"));
        QVERIFY(m_sheet->deliverCallback(secondCallback));
        QCOMPARE(resultOf(first), kCancelled);
        QCOMPARE(resultOf(second), Outcome(secondCallback));
        QCOMPARE(m_opened, QList<QUrl>({kAuthorization, secondPage}));
    }
};

QTEST_MAIN(BrowserSignInTest)
#include "tst_browsersignin.moc"
