#include "agents/AgentDetection.h"
#include "support/TestHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <sys/stat.h>

class AgentDetectionTest : public QObject {
    Q_OBJECT
private slots:
    // An agent installed with npm -g, into ~/.npm-global, nvm's folders or under ~/.npmrc's
    // prefix, is found; an ~/.npmrc with no usable prefix, or one that cannot be read, is skipped.
    void npmPrefix_data() {
        QTest::addColumn<QStringList>("entries"); // "fifo:" or "file:" path ">" contents
        QTest::addColumn<QString>("cliPath");     // of codex, relative to the home; empty: none
        QTest::newRow("prefix quoted, the last one")
            << QStringList{"file:.npmrc>prefix=/nowhere\nprefix=\"~/b\"\n", "file:b/bin/codex"}
            << "b/bin/codex";
        QTest::newRow("~/.npm-global")
            << QStringList{"file:.npm-global/bin/codex"} << ".npm-global/bin/codex";
        QTest::newRow("nvm's npm") << QStringList{"file:.nvm/versions/node/v22.3.0/bin/codex"}
                                   << ".nvm/versions/node/v22.3.0/bin/codex";
        QTest::newRow("no prefix")
            << QStringList{"file:.npmrc>color=false\n", "file:bin/codex"} << "";
        QTest::newRow("a relative prefix")
            << QStringList{"file:.npmrc>prefix=npm-tools\n", "file:npm-tools/bin/codex"} << "";
        QTest::newRow("a FIFO: skipped at once")
            << QStringList{"fifo:.npmrc", "file:.bun/bin/codex"} << ".bun/bin/codex";
    }
    void npmPrefix() {
        QFETCH(QStringList, entries);
        QFETCH(QString, cliPath);
        const TestHome home;
        for (const QString& entry : entries) {
            const QString rel = entry.section(u':', 1).section(u'>', 0, 0);
            QVERIFY(QDir().mkpath(QFileInfo(home.path(rel)).absolutePath()));
            if (entry.startsWith(u"fifo:")) {
                QCOMPARE(::mkfifo(QFile::encodeName(home.path(rel)).constData(), 0600), 0);
            } else {
                home.makeFile(rel, entry.section(u'>', 1).toUtf8());
            }
        }
        // The system's own folders are left out: what this machine has installed is no input.
        QStringList searched = AgentDetection::searchFolders(home.home(), QString());
        searched.removeIf(
            [&home](const QString& folder) { return !folder.startsWith(home.home()); });
        QCOMPARE(AgentDetection::cliPath(QStringLiteral("codex"), searched),
                 cliPath.isEmpty() ? std::nullopt : std::optional(home.path(cliPath)));
    }
};

QTEST_GUILESS_MAIN(AgentDetectionTest)
#include "tst_agentdetection.moc"
