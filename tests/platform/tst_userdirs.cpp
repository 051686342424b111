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

    enum class Folder {
        Private,
        GroupReadable,
        OtherEnterable,
        Link,
        File,
        Missing,
        Relative,
        OtherUid
    };

private slots:
    void runtimeFolder_data() {
        QTest::addColumn<Folder>("folder");
        QTest::addColumn<bool>("taken");
        QTest::newRow("0700 folder of this uid") << Folder::Private << true;
        QTest::newRow("group may read") << Folder::GroupReadable << false;
        QTest::newRow("others may enter") << Folder::OtherEnterable << false;
        QTest::newRow("a link to a private folder") << Folder::Link << false;
        QTest::newRow("a file") << Folder::File << false;
        QTest::newRow("missing") << Folder::Missing << false;
        QTest::newRow("a relative path") << Folder::Relative << false;
        QTest::newRow("another uid's folder") << Folder::OtherUid << false;
    }
    void runtimeFolder() {
        QFETCH(Folder, folder);
        QFETCH(bool, taken);
        if (folder == Folder::OtherUid && ::geteuid() != 0) {
            QSKIP("giving a folder to another uid needs root");
        }
        const QTemporaryDir dir;
        const QString made = dir.path() + QStringLiteral("/run");
        QString given = made;
        QVERIFY(QDir().mkdir(made));
        QCOMPARE(::chmod(QFile::encodeName(made).constData(), 0700), 0);
        switch (folder) {
        case Folder::GroupReadable:
            QCOMPARE(::chmod(QFile::encodeName(made).constData(), 0740), 0);
            break;
        case Folder::OtherEnterable:
            QCOMPARE(::chmod(QFile::encodeName(made).constData(), 0701), 0);
            break;
        case Folder::Link:
            given = dir.path() + QStringLiteral("/link");
            QVERIFY(QFile::link(made, given));
            break;
        case Folder::File:
            given = dir.path() + QStringLiteral("/file");
            QVERIFY(QFile(given).open(QIODevice::WriteOnly));
            break;
        case Folder::Missing:
            given = dir.path() + QStringLiteral("/none");
            break;
        case Folder::Relative:
            QVERIFY(QDir::setCurrent(dir.path()));
            given = QStringLiteral("run");
            break;
        case Folder::OtherUid:
            QCOMPARE(::chown(QFile::encodeName(made).constData(), 65534, 65534), 0);
            break;
        case Folder::Private:
            break;
        }
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(given));

        const auto found = UserDirs::runtimeFolder();
        QDir::setCurrent(QDir::rootPath());
        // When refused, the per-user folder of the system may still be found: never the given one.
        QCOMPARE(found == given.toStdString(), taken);
        if (taken) {
            QCOMPARE(UserDirs::gateSocket(), given.toStdString() + "/kestrova-helper/gate.sock");
        }
    }
};

QTEST_GUILESS_MAIN(UserDirsTest)
#include "tst_userdirs.moc"
