#include "platform/XdgAutostartEntry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString appId = QStringLiteral("com.kestrova.Helper");

QStringList lines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll()).split(u'\n');
}

void writeEntry(const QString& path, const QByteArray& contents) {
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(contents);
}
} // namespace

class LoginItemTest : public QObject {
    Q_OBJECT
private slots:
    void registerWritesEntry_data() {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("execLine");
        QTest::addColumn<QString>("tryExecLine");
        QTest::newRow("plain path") << "/opt/kestrova/bin/kestrova-helper"
                                    << "Exec=/opt/kestrova/bin/kestrova-helper"
                                    << "TryExec=/opt/kestrova/bin/kestrova-helper";
        QTest::newRow("path with a space") << "/opt/Kestrova Helper/kestrova-helper"
                                           << "Exec=\"/opt/Kestrova Helper/kestrova-helper\""
                                           << "TryExec=/opt/Kestrova Helper/kestrova-helper";
        // Inside quotes "$" becomes \$, then the string escape doubles the backslash.
        QTest::newRow("path with a dollar") << "/opt/a$b/helper"
                                            << R"(Exec="/opt/a\\$b/helper")"
                                            << "TryExec=/opt/a$b/helper";
    }
    void registerWritesEntry() {
        QFETCH(QString, executable);
        QFETCH(QString, execLine);
        QFETCH(QString, tryExecLine);
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("config/autostart"));
        XdgAutostartEntry entry(folder, appId, executable);
        QVERIFY(!entry.isEnabled());
        const auto registered = entry.setRegistered(true);
        QVERIFY2(registered.has_value(), qPrintable(registered.error()));
        QCOMPARE(entry.entryPath(), folder + "/com.kestrova.Helper.desktop");
        const QStringList written = lines(entry.entryPath());
        QCOMPARE(written.value(0), "[Desktop Entry]");
        for (const QString& line : {QStringLiteral("Type=Application"), execLine, tryExecLine,
                                    QStringLiteral("X-GNOME-Autostart-enabled=true"),
                                    QStringLiteral("X-KDE-autostart-after=panel"),
                                    QStringLiteral("X-LXQt-Need-Tray=true")}) {
            QVERIFY2(written.contains(line), qPrintable(line));
        }
        QVERIFY(entry.isEnabled());
    }

    void unregister() {
        QTemporaryDir dir;
        XdgAutostartEntry entry(dir.path(), appId, QStringLiteral("/usr/bin/kestrova-helper"));
        QVERIFY(entry.setRegistered(true).has_value());
        QVERIFY(QFile::exists(entry.entryPath()));
        QVERIFY(entry.setRegistered(false).has_value());
        QVERIFY(!QFile::exists(entry.entryPath()));
        QVERIFY(!entry.isEnabled());
        // A second unregister finds nothing to remove and still succeeds.
        QVERIFY(entry.setRegistered(false).has_value());
    }

    void hiddenKey_data() {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("enabled");
        const QByteArray head = "[Desktop Entry]\nType=Application\nExec=kestrova-helper\n";
        QTest::newRow("no Hidden key") << head << true;
        QTest::newRow("Hidden=true") << head + "Hidden=true\n" << false;
        QTest::newRow("Hidden = true with spaces") << head + "Hidden = true\n" << false;
        QTest::newRow("Hidden=false") << head + "Hidden=false\n" << true;
        QTest::newRow("Hidden=true in another group")
            << head + "\n[Desktop Action quit]\nName=Quit\nHidden=true\n"
            << true;
    }
    void hiddenKey() {
        QFETCH(QByteArray, contents);
        QTemporaryDir dir;
        XdgAutostartEntry entry(dir.path(), appId, QStringLiteral("/usr/bin/kestrova-helper"));
        writeEntry(entry.entryPath(), contents);
        QTEST(entry.isEnabled(), "enabled");
    }

    void registerReenablesHiddenEntry() {
        QTemporaryDir dir;
        XdgAutostartEntry entry(dir.path(), appId, QStringLiteral("/usr/bin/kestrova-helper"));
        writeEntry(entry.entryPath(), "[Desktop Entry]\nType=Application\nHidden=true\n");
        QVERIFY(!entry.isEnabled());
        QVERIFY(entry.setRegistered(true).has_value());
        QVERIFY(entry.isEnabled());
    }

    void registerFailsWhenFolderIsAFile() {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("autostart"));
        writeEntry(folder, "not a folder");
        XdgAutostartEntry entry(folder, appId, QStringLiteral("/usr/bin/kestrova-helper"));
        const auto registered = entry.setRegistered(true);
        QVERIFY(!registered.has_value());
        QVERIFY(!registered.error().isEmpty());
        QVERIFY(!entry.isEnabled());
    }

    void entryPassesDesktopFileValidate() {
        const QString validator =
            QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (validator.isEmpty()) {
            QSKIP("desktop-file-validate is not installed");
        }
        QTemporaryDir dir;
        XdgAutostartEntry entry(dir.path(), appId, QStringLiteral("/opt/Kestrova Helper/helper"));
        QVERIFY(entry.setRegistered(true).has_value());
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(validator, {entry.entryPath()});
        QVERIFY(process.waitForFinished());
        const QByteArray output = process.readAll();
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QVERIFY2(process.exitCode() == 0, output.constData());
    }
};

QTEST_GUILESS_MAIN(LoginItemTest)
#include "tst_loginitem.moc"
