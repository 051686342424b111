#include "platform/InstanceMessages.h"
#include "platform/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {
constexpr QFile::Permissions mode0700 = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr QFile::Permissions mode0755 = mode0700 | QFile::ReadOther | QFile::ExeOther;
// Run as a child of this binary: becomes the running instance, says so, and waits to be killed.
constexpr char holdArgument[] = "--hold-instance";
} // namespace

class SingleInstanceTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString runtime() const { return m_dir->filePath(QStringLiteral("runtime")); }
    QString cache() const { return m_dir->filePath(QStringLiteral("cache")); }

private slots:
    // Every case gets its own runtime and cache folders: nothing reaches the real session's.
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("runtime"), mode0700));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime()));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(cache()));
    }

    // Where the socket goes; a folder another user could have prepared is never used.
    void socketFolder_data() {
        QTest::addColumn<QString>("cacheEntry"); // what is at <cache>/kestrova-helper
        QTest::addColumn<QString>("used");       // "runtime", "cache" or empty: refused
        const auto row = [](const char* name, const char* entry, const char* used) {
            QTest::newRow(name) << QString(entry) << QString(used);
        };
        row("runtime folder", "absent", "runtime");
        row("runtime folder not private: made in the cache", "absent", "cache");
        row("existing 0755 folder refused", "0755", "");
        row("a link to a private folder refused", "link", "");
        if (::geteuid() == 0) {
            row("another user's folder refused", "nobody", "");
        }
    }
    void socketFolder() {
        QFETCH(QString, cacheEntry);
        QFETCH(QString, used);
        QVERIFY(used == u"runtime" || QFile::setPermissions(runtime(), mode0755));
        const QString ours = cache() + QStringLiteral("/kestrova-helper");
        QVERIFY(QDir().mkpath(cache()));
        if (cacheEntry == u"link") {
            const QString elsewhere = m_dir->filePath(QStringLiteral("private"));
            QVERIFY(QDir().mkdir(elsewhere, mode0700) && QFile::link(elsewhere, ours));
        } else if (cacheEntry != u"absent") {
            QVERIFY(QDir().mkdir(ours, cacheEntry == u"0755" ? mode0755 : mode0700));
            QVERIFY(cacheEntry != u"nobody" ||
                    ::chown(QFile::encodeName(ours).constData(), 65534, 65534) == 0);
        }
        QCOMPARE(SingleInstance::socketFolder().value_or(QString()), used == u"runtime" ? runtime()
                                                                     : used == u"cache"
                                                                         ? ours
                                                                         : QString());
        const auto noOne = SingleInstance::requestShow();
        QVERIFY2(!noOne && !noOne.error().isEmpty(), "nobody running");
        // Refused or not, this instance runs; a later start learns that it cannot hand over.
        SingleInstance running;
        QVERIFY(running.claim());
        QCOMPARE(running.listenError().has_value(), used.isEmpty());
        QCOMPARE(SingleInstance::requestShow().has_value(), !used.isEmpty());
    }

    // A later start whose request is not taken must be told so, not wait for ever.
    void handOverFails() {
        QLocalServer mute; // listens, never answers
        QVERIFY(mute.listen(SingleInstance::socketPath()));
        QVERIFY(!SingleInstance::requestShow());
        const auto shown =
            SingleInstance::sendUrl(QUrl(QStringLiteral("kestrova:/callback?code=1")));
        QVERIFY(!shown && !shown.error().isEmpty());
    }

    // A killed instance leaves its socket file and its lock behind; neither may block the next,
    // which then receives requests exactly.
    void aKilledInstanceDoesNotBlockTheNext() {
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
    if (argc == 2 && qstrcmp(argv[1], holdArgument) == 0) {
        QCoreApplication app(argc, argv);
        SingleInstance instance;
        if (!instance.claim()) {
            return 1;
        }
        std::fputs("claimed\n", stdout);
        std::fflush(stdout);
        return QCoreApplication::exec();
    }
    QCoreApplication app(argc, argv);
    SingleInstanceTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleinstance.moc"
