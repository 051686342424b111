#include "platform/InstanceMessages.h"
#include "platform/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

    void requestsArriveExactly_data() {
        QTest::addColumn<QByteArray>("encoded"); // empty: a request to show
        QTest::newRow("show") << QByteArray();
        QTest::newRow("callback") << QByteArray(
            "com.example.apps.x:/oauth2redirect?code=4%2F0A&scope=a%20b");
        // Well under the size limit, yet larger than any socket read is likely to be.
    }
    void requestsArriveExactly() {
        QFETCH(QByteArray, encoded);
        SingleInstance running;
        QVERIFY(running.claim());
        QSignalSpy urls(&running, &SingleInstance::urlReceived);
        QSignalSpy shown(&running, &SingleInstance::showRequested);
        const QUrl sent = QUrl::fromEncoded(encoded, QUrl::StrictMode);
        const auto handedOver =
            encoded.isEmpty() ? SingleInstance::requestShow() : SingleInstance::sendUrl(sent);
        QVERIFY2(handedOver, handedOver ? "" : qPrintable(handedOver.error()));
        // The answer comes after the signal: both are in by now.
        QCOMPARE(shown.count(), encoded.isEmpty() ? 1 : 0);
        QCOMPARE(urls.count(), encoded.isEmpty() ? 0 : 1);
        if (!encoded.isEmpty()) {
            QCOMPARE(urls.at(0).at(0).toUrl().toEncoded(), encoded);
        }
    }

    // Where the socket goes; a folder another user could have prepared is never used.
    void socketFolder_data() {
        QTest::addColumn<QString>("runtimeMode"); // "private", "open" or "unset"
        QTest::addColumn<QString>("cacheEntry");  // what is at <cache>/kestrova-helper
        QTest::addColumn<QString>("used");        // "runtime", "cache" or empty: refused
        QTest::newRow("runtime folder") << "private"
                                        << "absent"
                                        << "runtime";
        QTest::newRow("no runtime folder: made in the cache") << "unset"
                                                              << "absent"
                                                              << "cache";
        QTest::newRow("runtime folder not private") << "open"
                                                    << "absent"
                                                    << "cache";
        QTest::newRow("existing 0755 folder refused") << "unset"
                                                      << "0755"
                                                      << "";
        QTest::newRow("a link to a private folder refused") << "unset"
                                                            << "link"
                                                            << "";
        if (::geteuid() == 0) {
            QTest::newRow("another user's folder refused") << "unset"
                                                           << "nobody"
                                                           << "";
        }
    }
    void socketFolder() {
        QFETCH(QString, runtimeMode);
        QFETCH(QString, cacheEntry);
        QFETCH(QString, used);
        if (runtimeMode == u"unset") {
            qunsetenv("XDG_RUNTIME_DIR");
        } else if (runtimeMode == u"open") {
            QVERIFY(
                QFile::setPermissions(runtime(), mode0700 | QFile::ReadOther | QFile::ExeOther));
        }
        const QString ours = cache() + QStringLiteral("/kestrova-helper");
        QVERIFY(QDir().mkpath(cache()));
        if (cacheEntry == u"file") {
            QFile file(ours);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (cacheEntry == u"link") {
            QVERIFY(QFile::link(runtime(), ours));
        } else if (cacheEntry != u"absent") {
            QVERIFY(QDir().mkdir(ours, cacheEntry == u"0755"
                                           ? mode0700 | QFile::ReadOther | QFile::ExeOther
                                           : mode0700));
            if (cacheEntry == u"nobody") {
                QCOMPARE(::chown(QFile::encodeName(ours).constData(), 65534, 65534), 0);
            }
        }
        const auto folder = SingleInstance::socketFolder();
        QCOMPARE(folder.value_or(QString()), used == u"runtime" ? runtime()
                                             : used == u"cache" ? ours
                                                                : QString());
        // Refused or not, this instance runs; a later start learns that it cannot hand over.
        SingleInstance running;
        QVERIFY(running.claim());
        QCOMPARE(running.listenError().has_value(), used.isEmpty());
        QCOMPARE(SingleInstance::requestShow().has_value(), !used.isEmpty());
    }

    // A later start that cannot hand its request over must be told so.
    void handOverFails_data() {
        QTest::addColumn<QString>("situation");
        QTest::newRow("nobody running") << "none";
        QTest::newRow("the running one could not listen") << "listen failed";
        QTest::newRow("the running one does not answer") << "mute";
    }
    void handOverFails() {
        QFETCH(QString, situation);
        SingleInstance running;
        QLocalServer mute;
        if (situation == u"listen failed") {
            // Longer than a socket address can hold; the lock file beside it is fine.
            const QString deep = runtime() + u'/' + QString(120, u'd');
            QVERIFY(QDir().mkdir(deep, mode0700));
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(deep));
            QVERIFY(running.claim());
            QVERIFY(running.listenError().has_value());
            QVERIFY(!SingleInstance().claim());
        } else if (situation == u"mute") {
            QVERIFY(mute.listen(SingleInstance::socketPath()));
        }
        const auto shown = SingleInstance::requestShow();
        QVERIFY(!shown.has_value());
        QVERIFY(!shown.error().isEmpty());
        QVERIFY(!SingleInstance::sendUrl(QUrl(QStringLiteral("kestrova:/callback?code=1"))));
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
        QVERIFY(QFileInfo::exists(SingleInstance::socketPath() + ".lock"));
        QVERIFY(next.claim());
        QVERIFY(SingleInstance::requestShow());
    }

    // Bytes a confused or hostile client sends, then a valid callback on the same connection:
    // the garbage does nothing; the callback is read unless the garbage was so long that the
    // connection is cut.
    void garbageIsIgnored_data() {
        QTest::addColumn<QByteArray>("garbage");
        QTest::addColumn<bool>("cut");
        QByteArray noise(4096, '\0');
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(noise.data()),
                                              noise.size() / int(sizeof(quint32)));
        QTest::newRow("random bytes") << noise + '\n' << false;
        QTest::newRow("invalid url") << QByteArray("url http://bad host/%zz\nurl \n") << false;
        // A valid URL, so only the size limit keeps it out.
        QTest::newRow("over-long line")
            << "url com.example.apps.x:/cb?pad=" + QByteArray(70 * 1024, 'p') + '\n'
            << true;
        QTest::newRow("over-long, no newline") << QByteArray(70 * 1024, 's') << true;
    }
    void garbageIsIgnored() {
        QFETCH(QByteArray, garbage);
        QFETCH(bool, cut);
        InstanceMessages::Reader reader;
        // In two pieces, as a socket may deliver them.
        auto messages = reader.feed(garbage.first(garbage.size() / 2));
        messages += reader.feed(garbage.sliced(garbage.size() / 2) + "url kestrova:/cb?code=1\n");
        QCOMPARE(reader.broken(), cut);
        QCOMPARE(messages.size(), cut ? 0 : 1);
        if (!cut) {
            QCOMPARE(std::get<InstanceMessages::OpenUrl>(messages.at(0)).url,
                     QUrl(QStringLiteral("kestrova:/cb?code=1")));
        }
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
