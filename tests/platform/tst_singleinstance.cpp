#include "platform/InstanceMessages.h"
#include "platform/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace {
// Run as a child of this binary: becomes the running instance, says so, and waits to be killed.
constexpr char holdArgument[] = "--hold-instance";
} // namespace

class SingleInstanceTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_runtime; // nothing reaches the real session's socket

private slots:
    void initTestCase() {
        QVERIFY(QFile::setPermissions(m_runtime.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
    }

    // A second start hands its link to the first, exactly. A killed instance leaves its socket
    // file and its lock behind; neither may block the next.
    void aSecondStartReachesTheFirst() {
        QProcess holder;
        holder.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(holdArgument)});
        QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine(), 20000);
        QCOMPARE(holder.readLine(), QByteArray("claimed\n"));
        SingleInstance next;
        QVERIFY2(!next.claim(), "the other process holds the lock");
        QVERIFY(SingleInstance::requestShow());
        holder.kill();
        QVERIFY(holder.waitForFinished());
        QVERIFY(next.claim());
        QSignalSpy urls(&next, &SingleInstance::urlReceived);
        const QByteArray sent = "com.example.apps.x:/oauth2redirect?code=4%2F0A&scope=a%20b";
        QVERIFY(SingleInstance::sendUrl(QUrl::fromEncoded(sent, QUrl::StrictMode)));
        QCOMPARE(urls.count(), 1); // the answer comes after the signal
        QCOMPARE(urls.at(0).at(0).toUrl().toEncoded(), sent);
    }

    // What a confused or hostile client sends: garbage does nothing and loses nothing; a line
    // over the size limit, even a valid URL and even in two pieces, cuts the connection.
    void garbageIsIgnored() {
        QByteArray noise(4096, '\0');
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(noise.data()), 1024);
        InstanceMessages::Reader reader;
        const auto read = reader.feed(noise + "\nurl http://bad host/%zz\nurl kestrova:/cb?c=1\n");
        QCOMPARE(read.size(), 1);
        QCOMPARE(std::get<InstanceMessages::OpenUrl>(read.at(0)).url, QUrl("kestrova:/cb?c=1"));
        QVERIFY(!reader.broken());
        const QByteArray half(35 * 1024, 'p');
        QVERIFY(reader.feed("url com.example.apps.x:/cb?p=" + half).isEmpty());
        QVERIFY(reader.feed(half + "\nurl kestrova:/cb?c=2\n").isEmpty() && reader.broken());
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 2 && qstrcmp(argv[1], holdArgument) == 0) {
        SingleInstance instance;
        if (!instance.claim()) {
            return 1;
        }
        std::fputs("claimed\n", stdout);
        std::fflush(stdout);
        return QCoreApplication::exec();
    }
    SingleInstanceTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleinstance.moc"
