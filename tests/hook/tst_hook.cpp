#include "support/StubHttpServer.h"
#include "support/TestHome.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTest>

namespace {

constexpr char secret[] = "Tz3v0WqH8s1bX4kJ9mYc2LdRf7nPa5GeU6hQiKoSwAB";

struct Run {
    int exitCode;
    QByteArray printed;
};

// The built hook command as an agent runs it: input on stdin, the home's secret, a port.
Run runHook(const TestHome& home, quint16 port, const QByteArray& input) {
    QProcess hook;
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("HOME"), home.home());
    hook.setProcessEnvironment(environment);
    hook.start(QStringLiteral(KESTROVA_HOOK_BINARY),
               {QStringLiteral("claude-code"), QStringLiteral("--port"), QString::number(port)});
    hook.write(input);
    hook.closeWriteChannel();
    // The stub answers on this thread's event loop while the hook waits for it.
    const QDeadlineTimer deadline(10000);
    while (hook.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        QTest::qWait(10);
    }
    return {hook.exitStatus() == QProcess::NormalExit ? hook.exitCode() : -1,
            hook.readAllStandardOutput()};
}

} // namespace

class HookTest : public QObject {
    Q_OBJECT

private slots:
    // What the gate says reaches the agent only as a 200 answer holding one JSON object; all
    // else leaves the question to the agent's own prompt. The hook always exits 0.
    void answers_data() {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("printed");
        using B = StubHttpServer::Behaviour;
        const QByteArray allow =
            R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":"allow"}}})";
        QTest::newRow("a decision") << int(B::Answer) << 200 << allow << allow;
        QTest::newRow("a decision in chunks") << int(B::Chunked) << 200 << allow << allow;
        QTest::newRow("no decision") << int(B::Answer) << 200 << QByteArray() << QByteArray();
        QTest::newRow("not JSON") << int(B::Answer) << 200 << QByteArray("allow") << QByteArray();
        QTest::newRow("an object and more")
            << int(B::Answer) << 200 << QByteArray(R"({"decision":"deny"} {})") << QByteArray();
        QTest::newRow("a list") << int(B::Answer) << 200 << QByteArray("[{}]") << QByteArray();
        QTest::newRow("refused") << int(B::Answer) << 401 << QByteArray(R"({"error":"no"})")
                                 << QByteArray();
        QTest::newRow("cut off") << int(B::CutOff) << 200 << allow << QByteArray();
    }
    void answers() {
        QFETCH(int, behaviour);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, printed);
        const TestHome home;
        home.makeFile(QStringLiteral(".local/share/Kestrova Helper/gate-secret"),
                      QByteArray(secret) + '\n');
        const quint16 port = freePort();
        const StubHttpServer gate(port, StubHttpServer::Behaviour(behaviour), status, body);
        const QByteArray input = R"({"tool_name":"Bash","tool_input":{"command":"rm -rf build"}})";

        const Run run = runHook(home, port, input);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.printed, printed);
        QCOMPARE(gate.requests().size(), 1);
        const QByteArray request = gate.requests().constFirst();
        QVERIFY(request.startsWith("POST /hooks/claude-code HTTP/1.1\r\n"));
        QVERIFY(request.contains("\r\nAuthorization: Bearer " + QByteArray(secret) + "\r\n"));
        QVERIFY(request.endsWith("\r\n\r\n" + input));
    }

    // Nothing to ask, or no one to ask: nothing is printed and the gate hears nothing.
    void nothingAsked_data() {
        QTest::addColumn<bool>("listening");
        QTest::addColumn<bool>("secretFile");
        QTest::addColumn<qsizetype>("inputSize");
        QTest::newRow("gate down") << false << true << qsizetype(100);
        QTest::newRow("no secret yet") << true << false << qsizetype(100);
        QTest::newRow("input over 1 MiB") << true << true << (qsizetype(1) << 20) + 1;
    }
    void nothingAsked() {
        QFETCH(bool, listening);
        QFETCH(bool, secretFile);
        QFETCH(qsizetype, inputSize);
        const TestHome home;
        if (secretFile) {
            home.makeFile(QStringLiteral(".local/share/Kestrova Helper/gate-secret"), secret);
        }
        const quint16 port = freePort();
        std::unique_ptr<StubHttpServer> gate;
        if (listening) {
            gate = std::make_unique<StubHttpServer>(port, StubHttpServer::Behaviour::Answer, 200,
                                                    "{}");
        }
        const Run run = runHook(home, port, QByteArray(inputSize, 'x'));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.printed, QByteArray());
        QVERIFY(!gate || gate->requests().isEmpty());
    }
};

QTEST_GUILESS_MAIN(HookTest)
#include "tst_hook.moc"
