#include "gate/GateController.h"
#include "support/TestHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <unistd.h>

using namespace SettingsKeys;

namespace {

constexpr QFileDevice::Permissions ownerGroupOther{0x7077};

// Keys as the helper itself writes them.
const QByteArray keptKeys = "[General]\n"
                            "kv.apiKey=key-kept\n"
                            "kv.personalRoom=room-kept\n"
                            "kv.userId=user-kept\n";

QByteArray everyByte() {
    QByteArray bytes;
    for (int value = 0; value < 256; ++value) {
        bytes += char(value);
    }
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& contents) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

// The file as another program would read it next: a copy under a name this process has never
// opened, because QSettings shares what it parsed among the objects open on one file.
std::optional<QString> readBack(const QString& path, const char* key) {
    static int copies = 0;
    const QString copy = path + QStringLiteral(".copy%1").arg(++copies);
    if (!QFile::copy(path, copy)) {
        return QStringLiteral("<no copy>");
    }
    return SettingsStore::openFile(copy)->string(QString::fromLatin1(key));
}

} // namespace

class SettingsFaultsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestHome> m_home;
    QString m_file;

    // A controller on a store opened after the file was written, as at a program start.
    std::unique_ptr<GateController> startOnFile() const {
        GateEnvironment environment = m_home->environment();
        environment.settings = SettingsStore::openFile(m_file);
        return std::make_unique<GateController>(environment);
    }

private slots:
    void init() {
        m_home = std::make_unique<TestHome>();
        m_file = m_home->path(QStringLiteral(".config/Kestrova/Kestrova Helper.conf"));
        QVERIFY(QDir().mkpath(QFileInfo(m_file).absolutePath()));
    }

    void cleanup() {
        // A folder left without its search bit could not be removed with the home.
        if (QFileInfo(m_file).isDir()) {
            QFile::setPermissions(m_file, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        m_home.reset();
    }

    void oneWriteKeepsEveryReadableKey_data() {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("keysReadable");
        QByteArray noQuote = everyByte();
        noQuote.replace('"', "");
        QTest::newRow("binary garbage, no quote, before the keys")
            << noQuote + '\n' + keptKeys << true;
        QTest::newRow("a block of NULs before the keys")
            << QByteArray(4096, '\0') + '\n' + keptKeys << true;
        QTest::newRow("truncated last line") << keptKeys + "kv.hostFing" << true;
        QTest::newRow("unterminated quote on the last line")
            << keptKeys + "kv.hostFingerprint=\"FP-" << true;
        QTest::newRow("huge line") << keptKeys + QByteArray(8 * 1024 * 1024, 'x') + '\n' << true;
        QTest::newRow("huge value")
            << keptKeys + "kv.note=" + QByteArray(8 * 1024 * 1024, 'y') + '\n'
            << true;
        QTest::newRow("invalid UTF-8")
            << keptKeys + "kv.note=\xff\xfe\xc3(\n\xc3\x28=1\n[\xff]\nother=1\n"
            << true;
        QTest::newRow("nothing but garbage") << everyByte().repeated(64) << false;
        // QSettings reads a stray double quote as opening a value that runs to the end of the
        // file: every key after it is hidden, and the next write drops them for good.
        QTest::newRow("a junk line with a stray quote")
            << QByteArray(
                   "[General]\nkv.apiKey=key-kept\n\x01\"\x02 junk\nkv.personalRoom=room-kept\n"
                   "kv.userId=user-kept\n")
            << true;
        QTest::newRow("binary garbage before the keys") << everyByte() + '\n' + keptKeys << true;
        QTest::newRow("binary garbage after the keys")
            << keptKeys + everyByte() + "\nkv.hostFingerprint=FP-KEPT\n"
            << true;
    }

    // The helper starts on whatever it can read, and its next write loses none of it.
    void oneWriteKeepsEveryReadableKey() {
        QFETCH(QByteArray, contents);
        QFETCH(bool, keysReadable);
        QVERIFY(writeFile(m_file, contents));
        const auto controller = startOnFile();
        const auto kept = [keysReadable](const char* value) {
            return keysReadable ? std::optional(QString::fromLatin1(value)) : std::nullopt;
        };
        QCOMPARE(controller->accountUserId(), kept("user-kept"));
        QCOMPARE(controller->personalRoom(), kept("room-kept"));
        QCOMPARE(controller->signedIn(), keysReadable);
        QVERIFY(!controller->useExistingGate());

        controller->chooseUseExistingGate();
        QVERIFY(controller->useExistingGate());
        QCOMPARE(readBack(m_file, kApiKey), kept("key-kept"));
        QCOMPARE(readBack(m_file, kUserId), kept("user-kept"));
        QCOMPARE(readBack(m_file, kRoom), kept("room-kept"));
        QCOMPARE(readBack(m_file, kUseExisting), QStringLiteral("true"));
        if (contents.contains("FP-KEPT")) {
            QCOMPARE(readBack(m_file, kHostFP), QStringLiteral("FP-KEPT"));
        }
        QCOMPARE(QFileInfo(m_file).permissions() & ownerGroupOther,
                 QFile::ReadOwner | QFile::WriteOwner);
    }

    // Nothing can be read or written there: defaults, and the folder is left as it was, since
    // owner-only file bits (0600) on a folder lock even its owner out of it.
    void aFolderWhereTheFileShouldBe() {
        QVERIFY(QDir().mkpath(m_file + QStringLiteral("/inside")));
        const QFileDevice::Permissions mode = QFileInfo(m_file).permissions() & ownerGroupOther;
        const auto controller = startOnFile();
        QCOMPARE(controller->accountUserId(), std::nullopt);
        QVERIFY(!controller->signedIn());
        controller->chooseUseExistingGate();
        QVERIFY(controller->useExistingGate());
        QVERIFY(QFileInfo(m_file).isDir());
        QVERIFY(QFileInfo::exists(m_file + QStringLiteral("/inside")));
        QCOMPARE(QFileInfo(m_file).permissions() & ownerGroupOther, mode);
        QVERIFY2(controller->lastError().value_or(QString()).startsWith(
                     QStringLiteral("Could not save settings: ")),
                 "a write that failed says so");
    }
};

QTEST_GUILESS_MAIN(SettingsFaultsTest)
#include "tst_settingsfaults.moc"
