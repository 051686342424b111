#include "platform/InstanceMessages.h"
#include "platform/SingleInstance.h"
#include "platform/UserDirs.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <unistd.h>

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

    // A second start hands its link to the first, exactly, and hears why it was not taken; one
    // that gets no answer fails. A killed instance leaves its socket file and its lock behind;
    // neither may block the next.
    void aSecondStartReachesTheFirst() {
        QProcess holder;
        holder.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(holdArgument)});
        QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine(), 20000);
        QCOMPARE(holder.readLine(), QByteArray("claimed\n"));
        SingleInstance next;
        QVERIFY2(!next.claim(), "the other process holds the lock");
        holder.kill();
        QVERIFY(holder.waitForFinished());
        QVERIFY(next.claim());
        // With the launcher's leave to take the focus, for Wayland.
        const QSignalSpy shown(&next, &SingleInstance::showRequested);
        qputenv("XDG_ACTIVATION_TOKEN", "launcher-42");
        QVERIFY(SingleInstance::requestShow());
        qunsetenv("XDG_ACTIVATION_TOKEN");
        QCOMPARE(shown.count(), 1);
        QCOMPARE(shown.at(0).at(0).toByteArray(), "launcher-42");
        QList<QUrl> urls;
        next.setUrlHandler([&urls](const QUrl& url) -> InstanceMessages::Answer {
            urls << url;
            return std::unexpected(QStringLiteral("no sign-in is waiting"));
        });
        const QByteArray sent = "com.example.apps.x:/oauth2redirect?code=4%2F0A&scope=a%20b";
        QCOMPARE(SingleInstance::sendUrl(QUrl::fromEncoded(sent, QUrl::StrictMode)).error(),
                 "The running Kestrova Helper did not take the request: no sign-in is waiting");
        QCOMPARE(urls.size(), 1); // the answer comes after the handler
        QCOMPARE(urls.at(0).toEncoded(), sent);
        // A later start that gets no answer (this process does not serve its socket while it
        // waits) fails, and says why.
        QProcess later;
        later.start(QStringLiteral(KESTROVA_HELPER_BINARY), {});
        QVERIFY(later.waitForFinished(20000));
        QCOMPARE(later.exitCode(), 1);
        QVERIFY(later.readAllStandardError().endsWith("no answer\n"));
    }

    // Another user who could write into the socket's folder could put their own socket there
    // and receive the sign-in callbacks: a folder not private to us is never used.
    void onlyAPrivateFolderHoldsTheSocket_data() {
        QTest::addColumn<QString>("cacheEntry"); // at <cache>/kestrova-helper; the runtime is 0755
        QTest::addColumn<bool>("used");
        QTest::newRow("none: made private") << "absent" << true;
        QTest::newRow("0755 folder") << "0755" << false;
        QTest::newRow("link to a private folder") << "link" << false;
        if (::geteuid() == 0) {
            QTest::newRow("another user's folder") << "nobody" << false;
        }
    }
    void onlyAPrivateFolderHoldsTheSocket() {
        QFETCH(QString, cacheEntry);
        QFETCH(bool, used);
        const QTemporaryDir dir;
        const QString ours = dir.filePath(QStringLiteral("kestrova-helper"));
        constexpr auto owner = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        QVERIFY(QFile::setPermissions(dir.path(), owner | QFile::ReadOther | QFile::ExeOther));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path())); // not private
        qputenv("XDG_CACHE_HOME", QFile::encodeName(dir.path()));
        const auto restore = qScopeGuard(
            [this] { qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path())); });
        if (UserDirs::runtimeFolder()) {
            QSKIP("the system's own per-user runtime folder comes before the cache folder");
        }
        if (cacheEntry == u"link") {
            QVERIFY(QDir().mkdir(dir.filePath(QStringLiteral("private")), owner));
            QVERIFY(QFile::link(dir.filePath(QStringLiteral("private")), ours));
        } else if (cacheEntry == u"nobody") { // private, but not ours
            QVERIFY(QDir().mkdir(ours, owner) &&
                    ::chown(QFile::encodeName(ours), 65534, 65534) == 0);
        } else if (cacheEntry == u"0755") {
            QVERIFY(QDir().mkdir(ours, owner | QFile::ReadOther | QFile::ExeOther));
        }
        QCOMPARE(SingleInstance::socketFolder().value_or(QString()), used ? ours : QString());
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
