#include "app/HistoryContent.h"
#include "app/RequestNotice.h"
#include "gate/EventStream.h"

#include <QTest>

#include <ctime>

Q_DECLARE_METATYPE(WaitingRequest)

namespace {

// The lists a run of chunks publishes, one "|"-separated item an event: each request as
// "id:origin,caller[,session]", or "not a change".
QString published(const QByteArrayList& chunks) {
    EventStream stream;
    QStringList events;
    QList<WaitingRequest> list;
    for (const QByteArray& chunk : chunks) {
        for (const QByteArray& data : stream.feed(chunk)) {
            const auto requests = WaitingRequests::apply(list, data);
            list = requests.value_or(list);
            QStringList shown;
            for (const WaitingRequest& r : requests.value_or(QList<WaitingRequest>())) {
                shown << r.id + (r.origin == WaitingRequest::Origin::Hook ? ":hook," : ":tool,") +
                             (r.callerWaiting ? "waiting" : "gone") +
                             (r.sessionOffer ? ",session" : "");
            }
            events << (requests ? shown.join(u' ') : QStringLiteral("not a change"));
        }
    }
    return events.join(u'|');
}

WaitingRequest request(WaitingRequest::Origin origin, bool callerWaiting, bool sessionOffer) {
    return {.id = QStringLiteral("id-1"),
            .agent = QStringLiteral("Claude Code"),
            .title = QStringLiteral("Bash: echo <b>bold</b> && rm -rf build"),
            .cwd = QStringLiteral("/home/u/project"),
            .origin = origin,
            .callerWaiting = callerWaiting,
            .sessionOffer = sessionOffer};
}

} // namespace

class RequestsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        qputenv("TZ", "UTC");
        ::tzset();
    }

    void theStreamPublishesEachList_data() {
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<QString>("lists");
        QTest::newRow("one event in pieces, lines ended by CRLF")
            << QByteArrayList{"data: {\"intents\":[{\"id\":\"a\",\"title\":\"T\",\"origin\":\"ho",
                              "ok\",\"caller\":\"gone\",\"session_offer\":true}]}\r", "\n\r\n"}
            << QStringLiteral("a:hook,gone,session");
        QTest::newRow("a comment, an event over two data lines, then another")
            << QByteArrayList{": hello\n\ndata: {\"intents\":\ndata: []}\n\n"
                              "data: {\"intents\":[{\"id\":\"b\",\"title\":\"U\"}]}\n\n"}
            << QStringLiteral("|b:tool,waiting");
        QTest::newRow("not a list; entries without an id or a title left out")
            << QByteArrayList{"data: [1]\n\ndata: {\"intents\":[{\"id\":\"c\"},{\"title\":\"x\"},"
                              "{\"id\":\"d\",\"title\":\"D\"}]}\n\n"}
            << QStringLiteral("not a change|d:tool,waiting");
        QTest::newRow("a snapshot, then one added, one added again, one ended")
            << QByteArrayList{"event: snapshot\ndata: "
                              "{\"intents\":[{\"id\":\"e\",\"title\":\"E\"}]}\n\n"
                              "event: added\ndata: {\"intent\":{\"id\":\"f\",\"title\":\"F\"}}\n\n"
                              "event: added\ndata: {\"intent\":{\"id\":\"f\",\"title\":\"F\","
                              "\"caller\":\"gone\"}}\n\n"
                              "event: ended\ndata: {\"id\":\"e\",\"status\":\"denied\"}\n\n"}
            << QStringLiteral("e:tool,waiting|e:tool,waiting f:tool,waiting|e:tool,waiting "
                              "f:tool,gone|f:tool,gone");
    }

    void theStreamPublishesEachList() {
        QFETCH(QByteArrayList, chunks);
        QFETCH(QString, lists);
        QCOMPARE(published(chunks), lists);
    }

    void notificationPerServer_data() {
        QTest::addColumn<WaitingRequest>("request");
        QTest::addColumn<QStringList>("capabilities");
        QTest::addColumn<QString>("shown");
        using enum WaitingRequest::Origin;
        const QString summary = QStringLiteral("Claude Code asks for approval|");
        QTest::newRow("markup and actions, the session offered")
            << request(Hook, true, true)
            << QStringList{QStringLiteral("body"), QStringLiteral("body-markup"),
                           QStringLiteral("actions")}
            << summary +
                   QStringLiteral("Bash: echo &lt;b&gt;bold&lt;/b&gt; &amp;&amp; rm -rf build\n"
                                  "Folder: /home/u/project|approve,Approve,deny,Deny,"
                                  "session,Allow for this session");
        QTest::newRow("plain text, no actions")
            << request(Tool, true, false) << QStringList{QStringLiteral("body")}
            << summary + QStringLiteral("Bash: echo <b>bold</b> && rm -rf build\n"
                                        "Folder: /home/u/project|");
        QTest::newRow("a tool call whose caller gave up")
            << request(Tool, false, false) << QStringList{QStringLiteral("actions")}
            << QStringLiteral("none");
    }

    void notificationPerServer() {
        QFETCH(WaitingRequest, request);
        QFETCH(QStringList, capabilities);
        QFETCH(QString, shown);
        const auto notice = RequestNotice::of(request, capabilities);
        const QString described =
            notice
                ? QStringList{notice->summary, notice->body, notice->actions.join(u',')}.join(u'|')
                : QStringLiteral("none");
        QCOMPARE(described, shown);
        if (notice) {
            QCOMPARE(notice->expireMs, 0);
        }
    }

    // Newest first, at most the limit; damaged lines, a first line cut by reading from the
    // middle of the file and lines without an id are skipped; older lines show what they have.
    void historyOfTheReceipts() {
        const QByteArray lines =
            "\"title\":\"cut\"}\n"
            "{\"id\":\"1\",\"time\":\"2026-01-02T03:04:05.000Z\",\"status\":\"approved\"}\n"
            "{\"id\":\"2\",\"time\":\"2026-01-02T04:00:00Z\",\"status\":\"timed_out\"}\n"
            "{not json\n"
            "{\"id\":\"3\",\"time\":\"2026-01-03T10:00:00Z\",\"status\":\"denied\",\"by\":"
            "\"desktop\",\"agent\":\"Codex\",\"title\":\"Bash: ls\",\"note\":\"not now\"}\n"
            "[]\n"
            "{\"time\":\"2026-01-03T11:00:00Z\",\"status\":\"denied\"}\n"
            "{\"id\":\"4\",\"time\":\"2026-01-03T12:00:00Z\",\"status\":\"approved_for_session\","
            "\"by\":\"phone\",\"agent\":\"Claude Code\",\"title\":\"Edit: a.txt\"}\n"
            "{\"id\":\"5\",\"time\":\"2026-01-03T13:00:00Z\",\"status\":\"timed_out\",\"by\":"
            "\"timeout\",\"agent\":\"Gemini CLI\",\"title\":\"x\"}\n";
        QStringList shown;
        for (const HistoryRow& row : HistoryContent::rows(ReceiptLog::latest(lines, 4))) {
            shown << QStringList{row.when, row.agent, row.title, row.answer, row.where, row.note}
                         .join(u'|');
        }
        QCOMPARE(shown, (QStringList{
                            "2026-01-03 13:00|Gemini CLI|x|Timed out|Time-out|",
                            "2026-01-03 12:00|Claude Code|Edit: a.txt|Allowed for the session|"
                            "Phone|",
                            "2026-01-03 10:00|Codex|Bash: ls|Denied|Desktop|not now",
                            "2026-01-02 04:00|||Timed out|Time-out|",
                        }));
    }
};

QTEST_MAIN(RequestsTest)
#include "tst_requests.moc"
