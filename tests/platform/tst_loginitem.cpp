#include "platform/XdgAutostartEntry.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class LoginItemTest : public QObject {
    Q_OBJECT
private slots:
    // What was at the entry's place before: one the user turned off reads as off, a FIFO at
    // once, and so does one left by another build that starts another program or nothing.
    // Registering writes an entry that starts exactly this program, whatever its path holds;
    // removing it ends that.
    void registerAndRemove_data() {
        QTest::addColumn<QByteArray>("before"); // "<none>", "<fifo>" or an entry's text
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("executable"); // "<path>/": in a folder on PATH
        QTest::addColumn<QStringList>("lines");
        const QByteArray head = "[Desktop Entry]\nType=Application\n";
        const QString plain = QStringLiteral("/usr/bin/kestrova-helper");
        const QStringList plainLines{QStringLiteral("Exec=") + plain};
        const QByteArray plainHead = head + "Exec=" + plain.toUtf8() + '\n';
        QTest::newRow("space and percent")
            << QByteArray("<none>") << false << "/opt/50% off/%u"
            << QStringList{R"(Exec="/opt/50%% off/%%u")", "TryExec=/opt/50% off/%u"};
        // Inside quotes "$", '"' and '\\' are escaped, then the string escape doubles backslashes.
        const QString quoted = "Exec=\"/opt/a\\\\$\\\\\"b\\\\\\\\c/helper\"";
        QTest::newRow("dollar, quote and backslash")
            << head + quoted.toUtf8() + " %u\n"
            << true << "/opt/a$\"b\\c/helper"
            << QStringList{quoted, "TryExec=/opt/a$\"b\\\\c/helper"};
        QTest::newRow("a quote left open") << head + "Exec=\"/usr/bin/kestrova-helper\n"
                                           << false << plain << plainLines;
        QTest::newRow("another build's program") << head + "Exec=/opt/old/kestrova-helper %u\n"
                                                 << false << plain << plainLines;
        QTest::newRow("no Exec") << head << false << plain << plainLines;
        QTest::newRow("found on PATH") << head + "Exec=kestrova-helper %u\n"
                                       << true << "<path>/kestrova-helper" << QStringList();
        QTest::newRow("Hidden = true") << plainHead + "Hidden = true\n"
                                       << false << plain << plainLines;
        QTest::newRow("turned off by GNOME") << plainHead + "X-GNOME-Autostart-enabled = false\n"
                                             << false << plain << plainLines;
        QTest::newRow("a FIFO") << QByteArray("<fifo>") << false << plain << plainLines;
    }
    void registerAndRemove() {
        QFETCH(QByteArray, before);
        QFETCH(QString, executable);
        QFETCH(QStringList, lines);
        QTemporaryDir dir;
        if (executable.startsWith(u"<path>/")) {
            executable.replace(QStringLiteral("<path>"), dir.path());
            QFile program(executable);
            QVERIFY(program.open(QIODevice::WriteOnly) && program.setPermissions(QFile::ExeOwner));
            qputenv("PATH", dir.path().toLocal8Bit());
        }
        XdgAutostartEntry entry(dir.path(), QStringLiteral("com.kestrova.Helper"), executable);
        QFile file(entry.entryPath());
        if (before == "<fifo>") {
            QCOMPARE(::mkfifo(QFile::encodeName(entry.entryPath()).constData(), 0600), 0);
        } else if (before != "<none>") {
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
            file.close();
        }
        QTEST(entry.isEnabled(), "enabled");
        QVERIFY(entry.setRegistered(true) && entry.isEnabled());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList written = QString::fromUtf8(file.readAll()).split(u'\n');
        for (const QString& line : lines) {
            QVERIFY2(written.contains(line), qPrintable(line));
        }
        QVERIFY(entry.setRegistered(false) && !file.exists() && !entry.isEnabled());
    }
};

QTEST_GUILESS_MAIN(LoginItemTest)
#include "tst_loginitem.moc"
