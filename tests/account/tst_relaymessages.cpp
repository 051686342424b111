#include "account/RelayMessages.h"

#include <QTest>

// A relay's error page can be long and spread over many lines: the user reads one line, at most
// 160 characters of it, whichever request failed.
class RelayMessagesTest : public QObject {
    Q_OBJECT
private slots:
    void aLongFailureIsOneShortLine() {
        const HttpExchange::Answer answer{503, QByteArray("ab \n\n ").repeated(100)};
        for (const auto& error : {RelayMessages::relayAuth(answer).error(),
                                  RelayMessages::ownedAgent(answer).error()}) {
            QCOMPARE(error.errorDescription(), QStringLiteral("Relay sign-in failed (503): ") +
                                                   QStringLiteral("ab ").repeated(54).left(160));
        }
    }
};

QTEST_GUILESS_MAIN(RelayMessagesTest)
#include "tst_relaymessages.moc"
