#include "platform/SingleInstance.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>

namespace {

// Run as a child of this binary: becomes the running instance, says so, and waits to be killed.
constexpr char holdArgument[] = "--hold-instance";

int holdInstance(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    SingleInstance instance;
    if (!instance.claim()) {
        return 1;
    }
    std::fputs("claimed\n", stdout);
    std::fflush(stdout);
    return QCoreApplication::exec();
}

// Writes raw bytes to the running instance the way a confused or hostile client would. Whether
// the bytes all go out is up to the receiver, which may hang up early.
bool sendRaw(const QByteArray& bytes) {
    QLocalSocket socket;
    socket.connectToServer(SingleInstance::socketPath());
    if (!socket.waitForConnected(2000)) {
        return false;
    }
    socket.write(bytes);
    socket.waitForBytesWritten(2000);
    socket.disconnectFromServer();
    return true;
}

} // namespace

class SingleInstanceTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_runtime;

private slots:
    // Every case gets its own runtime folder: nothing reaches the real session's socket.
    void init() {
        m_runtime = std::make_unique<QTemporaryDir>();
        QVERIFY(m_runtime->isValid());
        QVERIFY(QFile::setPermissions(m_runtime->path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime->path()));
        QCOMPARE(SingleInstance::socketPath(), m_runtime->path() + "/kestrova-helper.socket");
    }

    void onlyOneInstanceRunsAtATime() {
        auto first = std::make_unique<SingleInstance>();
        QVERIFY(first->claim());
        SingleInstance second;
        QVERIFY(!second.claim());
        QVERIFY(!second.claim());
        first.reset();
        QVERIFY(second.claim());
        QVERIFY(SingleInstance::requestShow());
    }

    void requestShowReachesTheRunningInstance() {
        SingleInstance running;
        QVERIFY(running.claim());
        QSignalSpy shown(&running, &SingleInstance::showRequested);
        QSignalSpy urls(&running, &SingleInstance::urlReceived);
        QVERIFY(SingleInstance::requestShow());
        QTRY_COMPARE(shown.count(), 1);
        QCOMPARE(urls.count(), 0);
    }

    void sendUrlDeliversTheUrlExactly_data() {
        QTest::addColumn<QByteArray>("encoded");
        QTest::newRow("callback") << QByteArray(
            "com.example.apps.x:/oauth2redirect?code=4%2F0A&scope=a%20b");
        QTest::newRow("plus and state") << QByteArray(
            "com.example.apps.x:/oauth2redirect?code=a+b%2Bc&state=%C3%A9t%C3%A9%26x");
        QTest::newRow("error") << QByteArray("kestrova:/callback?error=access_denied#frag%20x");
        // Well under the size limit, yet larger than any socket read is likely to be.
        QTest::newRow("long") << "com.example.apps.x:/cb?pad=" + QByteArray(32 * 1024, 'p');
    }
    void sendUrlDeliversTheUrlExactly() {
        QFETCH(QByteArray, encoded);
        SingleInstance running;
        QVERIFY(running.claim());
        QSignalSpy urls(&running, &SingleInstance::urlReceived);
        QSignalSpy shown(&running, &SingleInstance::showRequested);
        const QUrl sent = QUrl::fromEncoded(encoded, QUrl::StrictMode);
        QVERIFY(sent.isValid());
        QVERIFY(SingleInstance::sendUrl(sent));
        QTRY_COMPARE(urls.count(), 1);
        const QUrl received = urls.at(0).at(0).toUrl();
        QCOMPARE(received, sent);
        QCOMPARE(received.toEncoded(), encoded);
        QCOMPARE(shown.count(), 0);
    }

    void withNobodyRunningRequestsFailQuickly_data() {
        QTest::addColumn<bool>("leftoverFile");
        QTest::newRow("no socket") << false;
        QTest::newRow("leftover file") << true;
    }
    void withNobodyRunningRequestsFailQuickly() {
        QFETCH(bool, leftoverFile);
        if (leftoverFile) {
            QFile leftover(SingleInstance::socketPath());
            QVERIFY(leftover.open(QIODevice::WriteOnly));
        }
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!SingleInstance::requestShow());
        QVERIFY(!SingleInstance::sendUrl(QUrl(QStringLiteral("kestrova:/callback?code=1"))));
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    }

    // A killed instance leaves its socket file and its lock behind; neither may block the next.
    void aKilledInstanceDoesNotBlockTheNext() {
        QProcess holder;
        holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        holder.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(holdArgument)});
        QVERIFY(holder.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine(), 20000);
        QCOMPARE(holder.readLine(), QByteArray("claimed\n"));

        SingleInstance next;
        QVERIFY2(!next.claim(), "the other process holds the lock");
        QVERIFY(SingleInstance::requestShow());

        holder.kill();
        QVERIFY(holder.waitForFinished());
        QVERIFY(QFileInfo::exists(SingleInstance::socketPath()));
        QVERIFY(QFileInfo::exists(SingleInstance::socketPath() + ".lock"));
        QVERIFY(!SingleInstance::requestShow());

        QVERIFY(next.claim());
        QSignalSpy shown(&next, &SingleInstance::showRequested);
        QVERIFY(SingleInstance::requestShow());
        QTRY_COMPARE(shown.count(), 1);
    }

    void garbageIsIgnored_data() {
        QTest::addColumn<QByteArray>("garbage");
        QByteArray noise(4096, '\0');
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(noise.data()),
                                              noise.size() / int(sizeof(quint32)));
        QTest::newRow("random bytes") << noise;
        // A valid URL, so only the size limit keeps it out.
        QTest::newRow("over-long line")
            << "url com.example.apps.x:/cb?pad=" + QByteArray(70 * 1024, 'p') + '\n';
        QTest::newRow("over-long, no newline") << QByteArray(70 * 1024, 's');
        QTest::newRow("invalid url") << QByteArray("url http://bad host/%zz\n");
        QTest::newRow("empty url") << QByteArray("url \n");
        QTest::newRow("unknown verb") << QByteArray("open kestrova:/callback?code=1\nquit\n");
        QTest::newRow("no newline") << QByteArray("sho");
    }
    void garbageIsIgnored() {
        QFETCH(QByteArray, garbage);
        SingleInstance running;
        QVERIFY(running.claim());
        QSignalSpy urls(&running, &SingleInstance::urlReceived);
        QSignalSpy shown(&running, &SingleInstance::showRequested);
        QVERIFY(sendRaw(garbage));
        QTest::qWait(200);
        QCOMPARE(urls.count(), 0);
        QCOMPARE(shown.count(), 0);

        const QUrl callback(QStringLiteral("com.example.apps.x:/oauth2redirect?code=4%2F0A"));
        QVERIFY(SingleInstance::sendUrl(callback));
        QTRY_COMPARE(urls.count(), 1);
        QCOMPARE(urls.at(0).at(0).toUrl(), callback);
        QCOMPARE(shown.count(), 0);
    }
};

int main(int argc, char** argv) {
    if (argc == 2 && qstrcmp(argv[1], holdArgument) == 0) {
        return holdInstance(argc, argv);
    }
    QCoreApplication app(argc, argv);
    SingleInstanceTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleinstance.moc"
