#include "platform/XdgAutostartEntry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {
const QString appId = QStringLiteral("com.kestrova.Helper");
const QString helper = QStringLiteral("/usr/bin/kestrova-helper");

QStringList lines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll()).split(u'\n');
}

// What desktop-file-validate says is wrong with the entry; empty when it is valid or the tool
// is not installed.
QByteArray validationErrors(const QString& path) {
    const QString validator =
        QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (validator.isEmpty()) {
        qWarning("desktop-file-validate is not installed: the entry's syntax is not checked");
        return {};
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(validator, {path});
    process.waitForFinished();
    return process.exitCode() == 0 ? QByteArray() : process.readAll() + "(invalid)";
}
} // namespace

class LoginItemTest : public QObject {
    Q_OBJECT
private slots:
    void registerWritesValidEntry_data() {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("execLine");
        QTest::addColumn<QString>("tryExecLine");
        QTest::newRow("plain path") << "/opt/kestrova/bin/kestrova-helper"
                                    << "Exec=/opt/kestrova/bin/kestrova-helper"
                                    << "TryExec=/opt/kestrova/bin/kestrova-helper";
        QTest::newRow("space") << "/opt/Kestrova Helper/kestrova-helper"
                               << "Exec=\"/opt/Kestrova Helper/kestrova-helper\""
                               << "TryExec=/opt/Kestrova Helper/kestrova-helper";
        // Inside quotes "$" becomes \$, then the string escape doubles the backslash.
        QTest::newRow("dollar") << "/opt/a$b/helper"
                                << R"(Exec="/opt/a\\$b/helper")"
                                << "TryExec=/opt/a$b/helper";
        QTest::newRow("percent, unquoted") << "/opt/100%/helper"
                                           << "Exec=/opt/100%%/helper"
                                           << "TryExec=/opt/100%/helper";
        QTest::newRow("percent, quoted") << "/opt/50% off/%u"
                                         << "Exec=\"/opt/50%% off/%%u\""
                                         << "TryExec=/opt/50% off/%u";
        QTest::newRow("quote and backslash") << "/opt/a\"b\\c/helper"
                                             << "Exec=\"/opt/a\\\\\"b\\\\\\\\c/helper\""
                                             << "TryExec=/opt/a\"b\\\\c/helper";
        QTest::newRow("newline") << "/opt/a\nb/helper"
                                 << R"(Exec="/opt/a\nb/helper")"
                                 << R"(TryExec=/opt/a\nb/helper)";
    }
    void registerWritesValidEntry() {
        QFETCH(QString, executable);
        QFETCH(QString, execLine);
        QFETCH(QString, tryExecLine);
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("config/autostart"));
        XdgAutostartEntry entry(folder, appId, executable);
        const auto registered = entry.setRegistered(true);
        QVERIFY2(registered, registered ? "" : qPrintable(registered.error()));
        QCOMPARE(entry.entryPath(), folder + "/com.kestrova.Helper.desktop");
        const QStringList written = lines(entry.entryPath());
        QCOMPARE(written.value(0), "[Desktop Entry]");
        for (const QString& line : {QStringLiteral("Type=Application"), execLine, tryExecLine,
                                    QStringLiteral("X-GNOME-Autostart-enabled=true")}) {
            QVERIFY2(written.contains(line), qPrintable(line));
        }
        QVERIFY(entry.isEnabled());
        QCOMPARE(validationErrors(entry.entryPath()), QByteArray());
    }

    // What is at the entry's place before; whether it reads as on, and after registering.
    void enabledState_data() {
        QTest::addColumn<QByteArray>("contents"); // "<none>", "<fifo>", "<folder>" or the text
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("afterRegistering");
        const QByteArray head = "[Desktop Entry]\nType=Application\nExec=kestrova-helper\n";
        QTest::newRow("no entry") << QByteArray("<none>") << false << true;
        QTest::newRow("plain entry") << head << true << true;
        QTest::newRow("Hidden = true") << head + "Hidden = true\n" << false << true;
        QTest::newRow("Hidden=false") << head + "Hidden=false\n" << true << true;
        QTest::newRow("turned off by GNOME") << head + "X-GNOME-Autostart-enabled=false\n"
                                             << false << true;
        QTest::newRow("turned off, spaced") << head + "X-GNOME-Autostart-enabled = false\n"
                                            << false << true;
        QTest::newRow("off keys in another group")
            << head + "\n[Desktop Action quit]\nHidden=true\nX-GNOME-Autostart-enabled=false\n"
            << true << true;
        QTest::newRow("a FIFO: off, at once") << QByteArray("<fifo>") << false << true;
        QTest::newRow("a folder") << QByteArray("<folder>") << false << false;
    }
    void enabledState() {
        QFETCH(QByteArray, contents);
        QFETCH(bool, afterRegistering);
        QTemporaryDir dir;
        XdgAutostartEntry entry(dir.path(), appId, helper);
        const QByteArray path = QFile::encodeName(entry.entryPath());
        if (contents == "<fifo>") {
            QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        } else if (contents == "<folder>") {
            QVERIFY(QDir().mkdir(entry.entryPath()));
        } else if (contents != "<none>") {
            QFile file(entry.entryPath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(contents);
        }
        QTEST(entry.isEnabled(), "enabled");
        QCOMPARE(entry.setRegistered(true).has_value(), afterRegistering);
        QCOMPARE(entry.isEnabled(), afterRegistering);
        if (afterRegistering) {
            QVERIFY(entry.setRegistered(false));
            QVERIFY(!QFile::exists(entry.entryPath()));
            QVERIFY(entry.setRegistered(false)); // nothing left to remove is no failure
        }
    }
};

QTEST_GUILESS_MAIN(LoginItemTest)
#include "tst_loginitem.moc"
