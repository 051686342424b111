#include "support/Devstack.h"
#include "support/TestHome.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

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

// A private runtime folder with the gate's folder in it, as the gate makes them.
class Runtime {
public:
    Runtime() {
        QDir(m_dir.path()).mkdir(QStringLiteral("kestrova-helper"));
        ::chmod(QFile::encodeName(m_dir.path()).constData(), 0700);
    }
    QString path() const { return m_dir.path(); }
    QString socket(const char* name) const {
        return m_dir.path() + QStringLiteral("/kestrova-helper/") + QLatin1String(name);
    }

private:
    QTemporaryDir m_dir;
};

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

// The built gate on a free port, its sockets in the runtime folder; with an account, its
// requests go to the devstack's relay, where the phone answers them.
class RealGate {
public:
    RealGate(const Runtime& runtime, const Devstack::Account& account, const QUrl& relay = {}) {
        const QString folder = m_dir.path();
        QFile secret(folder + QStringLiteral("/secret"));
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("s3cret\n");
        secret.close();
        const QJsonObject config{
            {"queue", QJsonObject{{"path", folder + QStringLiteral("/queue.jsonl")}}},
            {"receipts", QJsonObject{{"path", folder + QStringLiteral("/receipts.jsonl")}}},
            {"poller", QJsonObject{{"api_key", account.apiKey}}},
            {"mcp",
             QJsonObject{{"confirmations", QJsonObject{{"port", freePort()},
                                                       {"host", "127.0.0.1"},
                                                       {"room", account.room},
                                                       {"secret_path", secret.fileName()}}}}}};
        QFile file(folder + QStringLiteral("/config.json"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(config).toJson());
        file.close();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        if (relay.isValid()) {
            environment.insert(QStringLiteral("KESTROVA_RELAY_URL"),
                               relay.toString(QUrl::StripTrailingSlash));
        }
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStandardPaths::findExecutable(QStringLiteral("node")),
                        {QStringLiteral(KESTROVA_TEST_RESOURCE_DIR "/Daemon/bin/bk-mcp-daemon.mjs"),
                         QStringLiteral("--config"), file.fileName()});
        QTRY_VERIFY_WITH_TIMEOUT((m_output += m_process.readAll()).contains("listening"), 30000);
    }
    ~RealGate() {
        m_process.kill();
        m_process.waitForFinished();
    }
    RealGate(const RealGate&) = delete;
    RealGate& operator=(const RealGate&) = delete;

    qint64 pid() const { return m_process.processId(); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_output;
};

// The id of the request waiting at the gate, asked on its socket as the desktop asks.
QString waitingRequest(const Runtime& runtime) {
    QLocalSocket socket;
    socket.connectToServer(runtime.socket("gate.sock"));
    socket.write("GET /intents HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    while (socket.state() == QLocalSocket::ConnectedState && socket.waitForReadyRead(5000)) {
    }
    // One chunk: the gate writes the list at once.
    const QByteArray reply = socket.readAll();
    const QByteArray body = reply.sliced(reply.indexOf("\r\n\r\n") + 4);
    const qsizetype sizeEnd = body.indexOf("\r\n");
    const QJsonArray waiting =
        QJsonDocument::fromJson(body.mid(sizeEnd + 2, body.left(sizeEnd).toInt(nullptr, 16)))
            .array();
    return waiting.isEmpty() ? QString() : waiting.first()[u"id"].toString();
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
        const Runtime runtime;
        const ScriptedPeer gate(runtime.socket("gate.sock"), reply);

        const Run run = runHook(runtime.path(), {QStringLiteral("claude-code")});
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
        const Runtime runtime;
        const ScriptedPeer gate(runtime.socket("gate.sock"), {withLength("200 OK", "{}")});

        const Run run = runHook(runtime.path(), arguments, QByteArray(inputSize, ' '));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.printed, asked ? QByteArray("{}") : QByteArray());
        QCOMPARE(!gate.received().isEmpty(), asked);
        QCOMPARE(run.complaint.startsWith("kestrova-hook: "), complaint);
    }

    // A gate that froze lets the agent go on to its own prompt; one that waits for the phone
    // says so every few seconds and holds the hook as long as it waits, past the hook's 15 s.
    void aFrozenGateIsLeft() {
        Devstack devstack;
        const auto account = devstack.signUp();
        QVERIFY(account);
        const Runtime waitingRuntime;
        const RealGate waiting(waitingRuntime, *account, devstack.baseUrl());
        const Runtime frozenRuntime;
        const RealGate frozen(frozenRuntime, *account);
        QProcess waitingHook;
        startHook(waitingHook, waitingRuntime.path(), {QStringLiteral("claude-code")}, input);
        QProcess frozenHook;
        startHook(frozenHook, frozenRuntime.path(), {QStringLiteral("claude-code")}, input);
        QString id;
        QTRY_VERIFY_WITH_TIMEOUT(!(id = waitingRequest(waitingRuntime)).isEmpty(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!waitingRequest(frozenRuntime).isEmpty(), 30000);

        ::kill(pid_t(frozen.pid()), SIGSTOP);
        QTest::qWait(20000);
        QCOMPARE(devstack.decideAsPhone(*account, id, QStringLiteral("approved")), 200);
        const Run left = finish(frozenHook);
        ::kill(pid_t(frozen.pid()), SIGCONT);
        QCOMPARE(left.exitCode, 0);
        QCOMPARE(left.printed, QByteArray());
        QCOMPARE(finish(waitingHook).printed, allow);
    }

    // Another account listening on the gate's socket (through a descriptor it was handed or a
    // right to read any folder) hears nothing from the hook, and its answer reaches no agent.
    void anotherAccountHearsNothing() {
        if (::geteuid() != 0) {
            QSKIP("listening as another uid needs root");
        }
        const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
        if (python.isEmpty()) {
            QSKIP("the listener of another uid is a python3 script");
        }
        const Runtime runtime;
        // Bound as root, then listening as uid 65534: the socket is the other account's.
        const char* script = R"(
import os
import socket
import sys

s = socket.socket(socket.AF_UNIX)
s.bind(sys.argv[1])
os.setgroups([])
os.setresgid(65534, 65534, 65534)
os.setresuid(65534, 65534, 65534)
s.listen()
print("listening", flush=True)
while True:
    c, _ = s.accept()
    try:
        data = c.recv(65536)
        if data:
            print("received", data, flush=True)
        c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}")
    except OSError:
        pass
    c.close()
)";
        QProcess listener;
        listener.start(python, {QStringLiteral("-c"), QString::fromLatin1(script),
                                runtime.socket("gate.sock")});
        if (!listener.waitForReadyRead(10000)) {
            QSKIP(qPrintable(QStringLiteral("no listener: ") + listener.readAllStandardError()));
        }

        const Run run = runHook(runtime.path(), {QStringLiteral("claude-code")});
        listener.kill();
        listener.waitForFinished();
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.printed, QByteArray());
        QCOMPARE(listener.readAllStandardOutput(), QByteArray("listening\n"));
    }

    // kestrova-hook mcp carries an agent's MCP session to the gate and back; the answers to
    // what the agent sent just before its input ended are delivered too.
    void mcpPipe() {
        Devstack devstack;
        const auto account = devstack.signUp();
        QVERIFY(account);
        const Runtime runtime;
        const RealGate gate(runtime, *account);
        const QByteArray session =
            R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":)"
            R"("2025-03-26","capabilities":{},"clientInfo":{"name":"test","version":"1"}}})"
            "\n"
            R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
            "\n"
            R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"
            "\n";
        const Run run = runHook(runtime.path(), {QStringLiteral("mcp")}, session);
        QCOMPARE(run.exitCode, 0);
        const QList<QByteArray> answers = run.printed.trimmed().split('\n');
        QCOMPARE(answers.size(), 2);
        QCOMPARE(QJsonDocument::fromJson(answers[0])[u"id"].toInt(), 1);
        QCOMPARE(QJsonDocument::fromJson(answers[1])[u"result"][u"tools"][0][u"name"].toString(),
                 QStringLiteral("request_approval"));

        const Runtime empty;
        const Run noGate = runHook(empty.path(), {QStringLiteral("mcp")}, session);
        QCOMPARE(noGate.exitCode, 1);
        QCOMPARE(noGate.complaint.count('\n'), 1);
    }
};

QTEST_GUILESS_MAIN(HookTest)
#include "tst_hook.moc"
