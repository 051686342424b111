#include "platform/XdgAutostartEntry.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class LoginItemTest : public QObject {
    Q_OBJECT
private slots:
    // What was at the entry's place before: one the user turned off reads as off, a FIFO at
    // once. Registering writes an entry that starts exactly this program, whatever its path
    // holds; removing it ends that.
    void registerAndRemove_data() {
        QTest::addColumn<QByteArray>("before"); // "<none>", "<fifo>" or an entry's text
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QStringList>("lines");
        const QByteArray head = "[Desktop Entry]\nType=Application\nExec=kestrova-helper\n";
        const QString plain = QStringLiteral("/usr/bin/kestrova-helper");
        const QStringList plainLines{QStringLiteral("Exec=") + plain};
        QTest::newRow("space and percent")
            << QByteArray("<none>") << false << "/opt/50% off/%u"
            << QStringList{R"(Exec="/opt/50%% off/%%u")", "TryExec=/opt/50% off/%u"};
        // Inside quotes "$", '"' and '\\' are escaped, then the string escape doubles backslashes.
        QTest::newRow("dollar, quote and backslash")
            << head << true << "/opt/a$\"b\\c/helper"
            << QStringList{"Exec=\"/opt/a\\\\$\\\\\"b\\\\\\\\c/helper\"",
                           "TryExec=/opt/a$\"b\\\\c/helper"};
        QTest::newRow("Hidden = true") << head + "Hidden = true\n" << false << plain << plainLines;
        QTest::newRow("turned off by GNOME") << head + "X-GNOME-Autostart-enabled = false\n"
                                             << false << plain << plainLines;
        QTest::newRow("a FIFO") << QByteArray("<fifo>") << false << plain << plainLines;
    }
    void registerAndRemove() {
        QFETCH(QByteArray, before);
        QFETCH(QString, executable);
        QFETCH(QStringList, lines);
        QTemporaryDir dir;
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
