#include "gate/GateController.h"
#include "support/TestHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace SettingsKeys;

namespace {

constexpr QFileDevice::Permissions ownerGroupOther{0x7077};

// Keys as the helper itself writes them.
const QByteArray keptKeys = "[General]\n"
                            "kv.apiKey=key-kept\n"
                            "kv.personalRoom=room-kept\n"
                            "kv.userId=user-kept\n";

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

private slots:
    // The helper starts on whatever it can read of a damaged file, and its next write loses
    // none of it; where nothing can be written, it says so and leaves what is there alone.
    void aDamagedOrUnwritableFile_data() {
        QTest::addColumn<QByteArray>("contents"); // null: a folder where the file should be
        QByteArray everyByte;
        for (int value = 0; value < 256; ++value) {
            everyByte += char(value);
        }
        // Among the bytes, a stray double quote: QSettings reads it as opening a value that runs
        // to the end of the file, hiding every key after it from the next write.
        QTest::newRow("binary garbage around the keys")
            << everyByte + '\n' + keptKeys + everyByte + "\nkv.hostFingerprint=FP-KEPT\n";
        QTest::newRow("a folder where the file should be") << QByteArray();
    }
    void aDamagedOrUnwritableFile() {
        QFETCH(QByteArray, contents);
        const TestHome home;
        const QString file = home.path(QStringLiteral("Kestrova Helper.conf"));
        if (contents.isNull()) {
            QVERIFY(QDir().mkpath(file + QStringLiteral("/inside")));
        } else {
            home.makeFile(QStringLiteral("Kestrova Helper.conf"), contents);
        }
        const QFileDevice::Permissions mode = QFileInfo(file).permissions() & ownerGroupOther;
        GateEnvironment environment = home.environment();
        environment.settings = SettingsStore::openFile(file);
        GateController controller(environment);
        controller.chooseUseExistingGate();
        QVERIFY(controller.useExistingGate());
        if (contents.isNull()) {
            QVERIFY2(controller.lastError().value_or(QString()).startsWith(
                         QStringLiteral("Could not save settings: ")),
                     "a write that failed says so");
            // Owner-only file bits (0600) on a folder would lock even its owner out of it.
            QVERIFY(QFileInfo::exists(file + QStringLiteral("/inside")));
            QCOMPARE(QFileInfo(file).permissions() & ownerGroupOther, mode);
            return;
        }
        QCOMPARE(controller.accountUserId(), QStringLiteral("user-kept"));
        QVERIFY(controller.signedIn());
        QCOMPARE(readBack(file, kApiKey), QStringLiteral("key-kept"));
        QCOMPARE(readBack(file, kUserId), QStringLiteral("user-kept"));
        QCOMPARE(readBack(file, kRoom), QStringLiteral("room-kept"));
        QCOMPARE(readBack(file, kHostFP), QStringLiteral("FP-KEPT"));
        QCOMPARE(readBack(file, kUseExisting), QStringLiteral("true"));
    }
};

QTEST_GUILESS_MAIN(SettingsFaultsTest)
#include "tst_settingsfaults.moc"
