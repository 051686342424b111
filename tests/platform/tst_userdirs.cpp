#include "platform/UserDirs.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

// The runtime folder is where the hook trusts the gate's socket to be: a folder another account
// could write to, or point elsewhere, would let it answer in the gate's place.
class UserDirsTest : public QObject {
    Q_OBJECT

private slots:
    // In a folder holding "run" (a folder of the row's mode), "link" (to it) and "file".
    void runtimeFolder_data() {
        QTest::addColumn<QString>("given");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("otherUid");
        QTest::addColumn<bool>("taken");
        QTest::newRow("0700 folder of this uid") << QStringLiteral("/run") << 0700 << false << true;
        QTest::newRow("group may read") << QStringLiteral("/run") << 0740 << false << false;
        QTest::newRow("others may enter") << QStringLiteral("/run") << 0701 << false << false;
        QTest::newRow("a link to it") << QStringLiteral("/link") << 0700 << false << false;
        QTest::newRow("a file") << QStringLiteral("/file") << 0700 << false << false;
        QTest::newRow("a relative path") << QStringLiteral("run") << 0700 << false << false;
        QTest::newRow("another uid's folder") << QStringLiteral("/run") << 0700 << true << false;
    }
    void runtimeFolder() {
        QFETCH(QString, given);
        QFETCH(int, mode);
        QFETCH(bool, otherUid);
        if (otherUid && ::geteuid() != 0) {
            QSKIP("giving a folder to another uid needs root");
        }
        const QTemporaryDir dir;
        const QByteArray run = QFile::encodeName(dir.filePath(QStringLiteral("run")));
        QVERIFY(QDir().mkdir(run) && ::chmod(run.constData(), mode_t(mode)) == 0);
        QVERIFY(QFile::link(run, dir.filePath(QStringLiteral("link"))));
        QVERIFY(QFile(dir.filePath(QStringLiteral("file"))).open(QIODevice::WriteOnly));
        QVERIFY(!otherUid || ::chown(run.constData(), 65534, 65534) == 0);
        QVERIFY(QDir::setCurrent(dir.path()));
        const std::string path =
            (given.startsWith(u'/') ? dir.path() + given : given).toStdString();
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(path));

        const auto found = UserDirs::runtimeFolder();
        QDir::setCurrent(QDir::rootPath());
        // When refused, the per-user folder of the system may still be found: never the given one.
        QTEST(found == path, "taken");
    }
};

QTEST_GUILESS_MAIN(UserDirsTest)
#include "tst_userdirs.moc"
