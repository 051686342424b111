#include "app/HistoryContent.h"
#include "app/RequestNotice.h"
#include "app/RequestOrder.h"
#include "gate/EventStream.h"
#include "gate/HttpResponse.h"

#include <QTest>

#include <ctime>

Q_DECLARE_METATYPE(WaitingRequest)

namespace {

QString described(const WaitingRequest& r) {
    return r.id + (r.origin == WaitingRequest::Origin::Hook ? ":hook," : ":tool,") +
           (r.callerWaiting ? "waiting" : "gone") + (r.sessionOffer ? ",session" : "");
}

// The changes a run of chunks brings, one "|"-separated item an event: a whole list as its
// requests ("id:origin,caller[,session]"), one added as "+" and the request, one that ended as
// "-id how", or "not a change".
QString published(const QByteArrayList& chunks) {
    EventStream stream;
    QStringList events;
    for (const QByteArray& chunk : chunks) {
        for (const QByteArray& data : stream.feed(chunk)) {
            const auto change = WaitingRequests::parse(data);
            QStringList shown;
            for (const WaitingRequest& r :
                 change && change->list ? *change->list : QList<WaitingRequest>()) {
                shown << described(r);
            }
            events << (!change         ? QStringLiteral("not a change")
                       : change->added ? u'+' + described(*change->added)
                       : change->ended ? u'-' + change->ended->id + u' ' +
                                             RequestOrder::endingText(change->ended->how)
                                       : shown.join(u' '));
        }
    }
    return events.join(u'|');
}

// What a response read from those chunks comes to: "status|body|whole or partial", or why it
// is not one; closed: the peer then closed the connection.
QString answered(const QByteArrayList& chunks, bool closed) {
    HttpResponse response;
    QByteArray body;
    for (const QByteArray& chunk : chunks) {
        const auto more = response.feed(chunk);
        if (!more) {
            return more.error();
        }
        body += *more;
    }
    if (const auto whole = closed ? response.close() : std::expected<void, QString>(); !whole) {
        return whole.error();
    }
    return QStringLiteral("%1|%2|%3")
        .arg(response.status())
        .arg(QString::fromLatin1(body), response.complete() ? "whole" : "partial");
}

WaitingRequest request(WaitingRequest::Origin origin, bool callerWaiting, bool sessionOffer,
                       const QString& grant = {}) {
    return {.id = QStringLiteral("id-1"),
            .agent = QStringLiteral("Claude Code"),
            .title = QStringLiteral("Bash: echo <img src=/dev/zero> && rm -rf build"),
            .cwd = QStringLiteral("/home/u/<b>project"),
            .origin = origin,
            .callerWaiting = callerWaiting,
            .sessionOffer = sessionOffer,
            .grant = grant};
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
        QTest::newRow("not a change; entries without an id or a title left out")
            << QByteArrayList{"data: [1]\n\ndata: {\"intents\":[{\"id\":\"c\"},{\"title\":\"x\"},"
                              "{\"id\":\"d\",\"title\":\"D\"}]}\n\n"}
            << QStringLiteral("not a change|d:tool,waiting");
        QTest::newRow("added, changed, ended on the phone, timed out")
            << QByteArrayList{"event: added\ndata: {\"intent\":{\"id\":\"e\",\"title\":\"E\"}}\n\n"
                              "data: "
                              "{\"intent\":{\"id\":\"e\",\"title\":\"E\",\"caller\":\"gone\"}}"
                              "\n\nevent: ended\ndata: {\"id\":\"e\",\"status\":\"denied\",\"by\":"
                              "\"phone\"}\n\ndata: {\"id\":\"f\",\"status\":\"timed_out\"}\n\n"}
            << QStringLiteral("+e:tool,waiting|+e:tool,gone|-e answered on the phone|-f expired");
    }

    void theStreamPublishesEachList() {
        QFETCH(QByteArrayList, chunks);
        QTEST(published(chunks), "lists");
    }

    void answersOfTheGate_data() {
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<bool>("closed");
        QTest::addColumn<QString>("answer");
        const QByteArray chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
        QTest::newRow("sized, in pieces; bytes after it ignored")
            << QByteArrayList{"HTTP/1.1 409 Conflict\r\nContent-Le", "ngth: 5\r\n\r\nhel",
                              "lo and more"}
            << false << QStringLiteral("409|hello|whole");
        QTest::newRow("chunks with an extension, then a trailer")
            << QByteArrayList{chunked + "3;x=y\r\nabc\r\n", "2\r\nde\r\n0\r\nX: 1\r\n\r\n"} << false
            << QStringLiteral("200|abcde|whole");
        QTest::newRow("a stream, still open")
            << QByteArrayList{chunked + "4\r\ndata"} << false << QStringLiteral("200|data|partial");
        QTest::newRow("an interim answer, then one until the connection closes")
            << QByteArrayList{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 500 Oops\n\nno"} << true
            << QStringLiteral("500|no|whole");
        QTest::newRow("closed in a chunk") << QByteArrayList{chunked + "5\r\nab"} << true
                                           << QStringLiteral("closed in the middle of its answer");
        QTest::newRow("closed before a byte")
            << QByteArrayList{} << true << QStringLiteral("closed without an answer");
        QTest::newRow("another protocol") << QByteArrayList{"SSH-2.0-x\r\n\r\n"} << false
                                          << QStringLiteral("not an HTTP answer (no status line)");
        QTest::newRow("a chunk size that is no number")
            << QByteArrayList{chunked + "-1\r\n"} << false
            << QStringLiteral("not an HTTP answer (a bad chunk size)");
        QTest::newRow("a head without end")
            << QByteArrayList{"HTTP/1.1 200 OK\r\nX: " +
                              QByteArray(HttpResponse::kLongestHead, 'a')}
            << false << QStringLiteral("not an HTTP answer (a line without end)");
    }

    void answersOfTheGate() {
        QFETCH(QByteArrayList, chunks);
        QFETCH(bool, closed);
        QTEST(answered(chunks, closed), "answer");
    }

    void notificationPerServer_data() {
        QTest::addColumn<WaitingRequest>("request");
        QTest::addColumn<QStringList>("capabilities");
        QTest::addColumn<QString>("shown");
        using enum WaitingRequest::Origin;
        const QString summary = QStringLiteral("Claude Code asks for approval|");
        const QStringList everything{QStringLiteral("body"), QStringLiteral("body-markup"),
                                     QStringLiteral("actions")};
        QTest::newRow("markup and actions, the session offered with what it grants")
            << request(Hook, true, true, QStringLiteral("also: `<i>x</i>` again")) << everything
            << summary +
                   QStringLiteral("Bash: echo &lt;img src=/dev/zero&gt; &amp;&amp; rm -rf build\n"
                                  "Folder: /home/u/&lt;b&gt;project\nAllow for this session: "
                                  "also: `&lt;i&gt;x&lt;/i&gt;` again|approve,Approve,deny,Deny,"
                                  "session,Allow for this session");
        QTest::newRow("the session offered without saying what it grants: not offered")
            << request(Hook, true, true) << everything
            << summary +
                   QStringLiteral("Bash: echo &lt;img src=/dev/zero&gt; &amp;&amp; rm -rf build\n"
                                  "Folder: /home/u/&lt;b&gt;project|approve,Approve,deny,Deny");
        QTest::newRow("a tool call whose caller gave up")
            << request(Tool, false, false) << QStringList{QStringLiteral("actions")}
            << QStringLiteral("none");
    }

    void notificationPerServer() {
        QFETCH(WaitingRequest, request);
        QFETCH(QStringList, capabilities);
        const auto notice = RequestNotice::of(request, capabilities);
        const QString described =
            notice
                ? QStringList{notice->summary, notice->body, notice->actions.join(u',')}.join(u'|')
                : QStringLiteral("none");
        QTEST(described, "shown");
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
