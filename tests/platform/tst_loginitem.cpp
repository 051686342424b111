#include "platform/XdgAutostartEntry.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {
const QString appId = QStringLiteral("com.kestrova.Helper");
} // namespace

class LoginItemTest : public QObject {
    Q_OBJECT
private slots:
    // The Exec= line must start exactly this program, whatever its path holds.
    void registerWritesValidEntry_data() {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QStringList>("lines");
        const auto row = [](const char* name, const char* executable, const char* exec,
                            const char* tryExec) {
            QTest::newRow(name) << QString(executable) << QStringList{exec, tryExec};
        };
        row("space and percent", "/opt/50% off/%u", R"(Exec="/opt/50%% off/%%u")",
            "TryExec=/opt/50% off/%u");
        // Inside quotes "$", '"' and '\\' are escaped, then the string escape doubles backslashes.
        row("dollar, quote and backslash", "/opt/a$\"b\\c/helper",
            "Exec=\"/opt/a\\\\$\\\\\"b\\\\\\\\c/helper\"", "TryExec=/opt/a$\"b\\\\c/helper");
        row("newline", "/opt/a\nb/helper", R"(Exec="/opt/a\nb/helper")",
            R"(TryExec=/opt/a\nb/helper)");
    }
    void registerWritesValidEntry() {
        QFETCH(QString, executable);
        QFETCH(QStringList, lines);
        QTemporaryDir dir;
        XdgAutostartEntry entry(dir.filePath(QStringLiteral("autostart")), appId, executable);
        QVERIFY(entry.setRegistered(true) && entry.isEnabled());
        QCOMPARE(entry.entryPath(), dir.filePath("autostart/com.kestrova.Helper.desktop"));
        QFile file(entry.entryPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList written = QString::fromUtf8(file.readAll()).split(u'\n');
        for (const QString& line : lines) {
            QVERIFY2(written.contains(line), qPrintable(line));
        }
    }

    // What is at the entry's place before; whether it reads as on, and after registering.
    void enabledState_data() {
        QTest::addColumn<QByteArray>("contents"); // "<none>", "<fifo>" or the text
        QTest::addColumn<bool>("enabled");
        const QByteArray head = "[Desktop Entry]\nType=Application\nExec=kestrova-helper\n";
        const auto row = [](const char* name, const QByteArray& contents, bool on) {
            QTest::newRow(name) << contents << on;
        };
        row("no entry", "<none>", false);
        row("plain entry", head, true);
        row("Hidden = true", head + "Hidden = true\n", false);
        row("turned off by GNOME", head + "X-GNOME-Autostart-enabled = false\n", false);
        row("off keys in another group",
            head + "\n[Desktop Action quit]\nHidden=true\nX-GNOME-Autostart-enabled=false\n", true);
        row("a FIFO: off, at once", "<fifo>", false);
    }
    void enabledState() {
        QFETCH(QByteArray, contents);
        QTemporaryDir dir;
        XdgAutostartEntry entry(dir.path(), appId, QStringLiteral("/usr/bin/kestrova-helper"));
        QFile file(entry.entryPath());
        if (contents == "<fifo>") {
            QCOMPARE(::mkfifo(QFile::encodeName(entry.entryPath()).constData(), 0600), 0);
        } else if (contents != "<none>") {
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size());
            file.close();
        }
        QTEST(entry.isEnabled(), "enabled");
        QVERIFY(entry.setRegistered(true) && entry.isEnabled());
        QVERIFY(entry.setRegistered(false) && !file.exists());
    }
};

QTEST_GUILESS_MAIN(LoginItemTest)
#include "tst_loginitem.moc"
