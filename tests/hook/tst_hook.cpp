#include "gate/GateController.h"
#include "support/Devstack.h"
#include "support/TestHome.h"

#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace Qt::StringLiterals;

const QByteArray allow =
    R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":"allow"}}})";
const QByteArray input = R"({"tool_name":"Bash","tool_input":{"command":"rm -rf build"}})";
const QByteArray chunkedHead = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                               "Transfer-Encoding: chunked\r\n\r\n";

QByteArray chunk(const QByteArray& data) {
    return QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n";
}

QByteArray withLength(const QByteArray& status, const QByteArray& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\n\r\n" + body;
}

// The gate's socket in the home's runtime folder, where the hook looks for it.
QString gateSocket(const TestHome& home, const char* name = "gate.sock") {
    const QString folder = home.runtimeFolder() + QStringLiteral("/kestrova-helper");
    QDir().mkpath(folder);
    return folder + u'/' + QLatin1String(name);
}

// A gate that answers wrongly on purpose: it serves one connection on the gate's socket, on a
// thread of its own, keeps the request, answers with the pieces given, a short pause before
// each but the first, and hangs up.
class ScriptedPeer {
public:
    ScriptedPeer(const QString& path, QList<QByteArray> pieces)
        : m_listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
        const QByteArray name = QFile::encodeName(path);
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()) + 1);
        if (::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 4) != 0) {
            qFatal("cannot listen on %s", name.constData());
        }
        m_thread = std::thread([this, pieces = std::move(pieces)] { serve(pieces); });
    }
    ~ScriptedPeer() {
        ::shutdown(m_listener, SHUT_RDWR); // ends an accept still waiting
        m_thread.join();
        ::close(m_listener);
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    QByteArray received() const {
        const std::lock_guard lock(m_lock);
        return m_received;
    }

private:
    bool wholeRequest() const {
        const QByteArray request = received();
        const qsizetype headEnd = request.indexOf("\r\n\r\n");
        const qsizetype length = request.indexOf("Content-Length: ");
        return headEnd >= 0 && length >= 0 &&
               request.size() >=
                   headEnd + 4 + request.sliced(length + 16).split('\r').first().toInt();
    }

    void serve(const QList<QByteArray>& pieces) {
        const int connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            return;
        }
        std::array<char, 65536> buffer{};
        ssize_t got = 0;
        while (!wholeRequest() && (got = ::read(connection, buffer.data(), buffer.size())) > 0) {
            const std::lock_guard lock(m_lock);
            m_received.append(buffer.data(), got);
        }
        for (const QByteArray& piece : pieces) {
            // Apart, so that the hook reads them apart.
            std::this_thread::sleep_for(
                std::chrono::milliseconds(&piece == &pieces.first() ? 0 : 50));
            ::send(connection, piece.constData(), size_t(piece.size()), MSG_NOSIGNAL);
        }
        ::close(connection);
    }

    int m_listener;
    QByteArray m_received;
    mutable std::mutex m_lock;
    std::thread m_thread;
};

// The helper's own gate, signed in to the devstack's account, where the phone answers.
std::unique_ptr<GateController> helperGate(const TestHome& home, const Devstack& devstack,
                                           const Devstack::Account& account) {
    home.signIn(account.apiKey);
    home.settings()->setString(QString::fromLatin1(SettingsKeys::kRoom), account.room);
    GateEnvironment environment = home.environmentWithDaemon();
    environment.relayUrl = devstack.baseUrl();
    auto gate = std::make_unique<GateController>(environment);
    gate->startHelperGate();
    return gate;
}

struct Run {
    int exitCode;
    QByteArray printed;
    QByteArray complaint;
};

// The built hook command as an agent runs it, its input on stdin.
void startHook(QProcess& hook, const QString& runtime, const QStringList& arguments,
               const QByteArray& stdinBytes) {
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    hook.setProcessEnvironment(environment);
    hook.start(QStringLiteral(KESTROVA_HOOK_BINARY), arguments);
    hook.write(stdinBytes);
    hook.closeWriteChannel();
    // Written now: a hook started beside another must not wait for its input.
    hook.waitForBytesWritten();
}

// Waits for the hook: an end at all is what some cases check, so it is waited for long.
Run finish(QProcess& hook) {
    hook.waitForFinished(60000);
    const bool ended = hook.state() == QProcess::NotRunning;
    return {ended && hook.exitStatus() == QProcess::NormalExit ? hook.exitCode() : -1,
            hook.readAllStandardOutput(), hook.readAllStandardError()};
}

Run runHook(const QString& runtime, const QStringList& arguments,
            const QByteArray& stdinBytes = input) {
    QProcess hook;
    startHook(hook, runtime, arguments, stdinBytes);
    return finish(hook);
}

} // namespace

class HookTest : public QObject {
    Q_OBJECT

private slots:
    // What the gate says reaches the agent only as a whole 200 answer holding one JSON object;
    // every other reply, however broken, leaves the question to the agent's own prompt.
    void answers_data() {
        QTest::addColumn<QList<QByteArray>>("reply");
        QTest::addColumn<QByteArray>("printed");
        const QByteArray over1MiB = "{\"a\":\"" + QByteArray(1 << 20, 'x') + "\"}";
        QTest::newRow("a decision") << QList{withLength("200 OK", allow)} << allow;
        QTest::newRow("a decision after heartbeats, cut anywhere")
            << QList<QByteArray>{chunkedHead.chopped(1), "\n1\r\n \r", "\n" + chunk(" "),
                                 chunk(allow) + "0\r\n\r\n"}
            << allow;
        QTest::newRow("no decision after heartbeats")
            << QList<QByteArray>{chunkedHead + chunk(" "), "0\r\n\r\n"} << QByteArray();
        QTest::newRow("not JSON") << QList{withLength("200 OK", "allow")} << QByteArray();
        QTest::newRow("an object and more")
            << QList{withLength("200 OK", allow + " {}")} << QByteArray();
        QTest::newRow("refused") << QList{withLength("403 Forbidden", R"({"error":"no"})")}
                                 << QByteArray();
        QTest::newRow("cut off")
            << QList{withLength("200 OK", allow + allow).left(allow.size() + 60)} << QByteArray();
        QTest::newRow("a chunk size that overflows")
            << QList<QByteArray>{chunkedHead + "fffffffffffffffe\r\n" + allow} << QByteArray();
        QTest::newRow("a short status line") << QList<QByteArray>{"HTTP/1."} << QByteArray();
        QTest::newRow("two lengths, though equal")
            << QList{withLength("200 OK\r\nContent-Length: " + QByteArray::number(allow.size()),
                                allow)}
            << QByteArray();
        QTest::newRow("garbage") << QList{QByteArray(5000, '\xff')} << QByteArray();
        QTest::newRow("over 1 MiB")
            << QList<QByteArray>{chunkedHead + chunk(over1MiB.first(over1MiB.size() / 2)),
                                 chunk(over1MiB.sliced(over1MiB.size() / 2)) + "0\r\n\r\n"}
            << QByteArray();
    }
    void answers() {
        QFETCH(QList<QByteArray>, reply);
        QFETCH(QByteArray, printed);
        const TestHome home;
        const ScriptedPeer gate(gateSocket(home), reply);

        const Run run = runHook(home.runtimeFolder(), {QStringLiteral("claude-code")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.printed, printed);
        const QByteArray request = gate.received();
        QVERIFY(request.startsWith("POST /hooks/claude-code HTTP/1.1\r\n"));
        QVERIFY(request.endsWith("\r\n\r\n" + input));
        QVERIFY(!request.contains("Authorization"));
    }

    // The hook asks only when it has an agent and an input; whatever it refuses, it says why on
    // stderr, prints nothing and exits 0, as an agent expects of a hook.
    void refusals_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<qsizetype>("inputSize");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<bool>("complaint");
        const QString agent = QStringLiteral("claude-code");
        QTest::newRow("--port N of older versions' entries")
            << QStringList{agent, QStringLiteral("--port"), QStringLiteral("8789")} << qsizetype(2)
            << true << false;
        QTest::newRow("--port N with more")
            << QStringList{agent, QStringLiteral("--port"), QStringLiteral("28803junk")}
            << qsizetype(2) << false << true;
        QTest::newRow("--port=N") << QStringList{agent, QStringLiteral("--port=8789")}
                                  << qsizetype(2) << false << true;
        QTest::newRow("no agent") << QStringList{} << qsizetype(2) << false << true;
        QTest::newRow("not an agent's name")
            << QStringList{QStringLiteral("../gate")} << qsizetype(2) << false << true;
        QTest::newRow("input over 1 MiB")
            << QStringList{agent} << (qsizetype(1) << 20) + 1 << false << true;
    }
    void refusals() {
        QFETCH(QStringList, arguments);
        QFETCH(qsizetype, inputSize);
        QFETCH(bool, asked);
        QFETCH(bool, complaint);
        const TestHome home;
        const ScriptedPeer gate(gateSocket(home), {withLength("200 OK", "{}")});

        const Run run = runHook(home.runtimeFolder(), arguments, QByteArray(inputSize, ' '));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.printed, asked ? QByteArray("{}") : QByteArray());
        QCOMPARE(!gate.received().isEmpty(), asked);
        QCOMPARE(run.complaint.startsWith("kestrova-hook: "), complaint);
    }

    // The helper's own gates. A gate that froze lets the agent go on to its own prompt; one that
    // waits for the phone says so every few seconds and holds the hook as long as it waits, past
    // the hook's 15 s.
    void theHelpersGates() {
        Devstack devstack;
        const auto account = devstack.signUp();
        QVERIFY(account);
        const TestHome waitingHome;
        const auto waiting = helperGate(waitingHome, devstack, *account);
        QTRY_VERIFY_WITH_TIMEOUT(waiting->helperRunning(), 30000);
        const TestHome frozenHome;
        auto frozen = helperGate(frozenHome, devstack, *account);
        QTRY_VERIFY_WITH_TIMEOUT(frozen->helperRunning(), 30000);
        QProcess waitingHook;
        startHook(waitingHook, waitingHome.runtimeFolder(), {QStringLiteral("claude-code")}, input);
        QProcess frozenHook;
        startHook(frozenHook, frozenHome.runtimeFolder(), {QStringLiteral("claude-code")}, input);
        QTRY_VERIFY_WITH_TIMEOUT(
            !waiting->waitingRequests().isEmpty() && !frozen->waitingRequests().isEmpty(), 30000);

        // The frozen gate outlives its controller, which would not leave it frozen.
        const auto pid = pid_t(frozen->gateProcessId().value_or(0));
        frozen.reset();
        ::kill(pid, SIGSTOP);
        QTest::qWait(20000);
        const QString id = waiting->waitingRequests().first().id;
        QCOMPARE(devstack.decideAsPhone(*account, id, QStringLiteral("approved")), 200);
        const Run left = finish(frozenHook);
        ::kill(pid, SIGCONT);
        QCOMPARE(left.exitCode, 0);
        QCOMPARE(left.printed, QByteArray());
        QCOMPARE(finish(waitingHook).printed, allow);

        // kestrova-hook mcp carries an agent's MCP session to the gate and back, the answers to
        // what it sent just before its input ended too; with no gate there, it says why.
        const QByteArray session =
            R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":)"
            R"("2025-03-26","capabilities":{},"clientInfo":{"name":"test","version":"1"}}})"
            "\n"
            R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
            "\n"
            R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"
            "\n";
        const Run run = runHook(waitingHome.runtimeFolder(), {QStringLiteral("mcp")}, session);
        QCOMPARE(run.exitCode, 0);
        const QList<QByteArray> answers = run.printed.trimmed().split('\n');
        QCOMPARE(answers.size(), 2);
        QCOMPARE(QJsonDocument::fromJson(answers[0])[u"id"].toInt(), 1);
        QCOMPARE(QJsonDocument::fromJson(answers[1])[u"result"][u"tools"][0][u"name"].toString(),
                 QStringLiteral("request_approval"));

        const QTemporaryDir empty;
        const Run noGate = runHook(empty.path(), {QStringLiteral("mcp")}, session);
        QCOMPARE(noGate.exitCode, 1);
        QCOMPARE(noGate.complaint.count('\n'), 1);
    }

    // Another account listening on the gate's socket (through a descriptor it was handed or a
    // right to read any folder) hears nothing from the hook, and its answer reaches no agent.
    void anotherAccountHearsNothing() {
        if (::geteuid() != 0) {
            QSKIP("listening as another uid needs root");
        }
        const TestHome home;
        // Listening as uid 65534 past the folders' modes: the socket is the other account's.
        QProcess listener;
        listener.start(u"setpriv"_s,
                       {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                        u"--inh-caps=+dac_override"_s, u"--ambient-caps=+dac_override"_s,
                        QStandardPaths::findExecutable(u"node"_s), u"-e"_s,
                        u"require('net').createServer((c) => c.once('data', (d) => {"
                        " console.log('received', String(d)); c.end('HTTP/1.1 200 OK\\r\\n"
                        "Content-Length: 2\\r\\n\\r\\n{}'); })).listen(process.argv[1],"
                        " () => console.log('listening'))"_s,
                        gateSocket(home)});
        QVERIFY2(listener.waitForReadyRead(10000), listener.readAllStandardError().constData());

        const Run run = runHook(home.runtimeFolder(), {QStringLiteral("claude-code")});
        listener.kill();
        listener.waitForFinished();
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.printed, QByteArray());
        QCOMPARE(listener.readAllStandardOutput(), QByteArray("listening\n"));
    }
};

QTEST_GUILESS_MAIN(HookTest)
#include "tst_hook.moc"
