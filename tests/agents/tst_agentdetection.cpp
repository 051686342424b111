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
    // Where users install an agent, found through the search folders inside the home.
    void detect_data() {
        QTest::addColumn<QStringList>("entries"); // "file:", "dir:", "fifo:", "link:rel>target"
        QTest::addColumn<QString>("bin");
        QTest::addColumn<QString>("cliPath"); // relative to the home; empty means none
        QTest::addColumn<QStringList>("agents");
        const auto row = [](const char* name, const QStringList& entries, const char* bin,
                            const char* cliPath, const QStringList& agents) {
            QTest::newRow(name) << entries << QString(bin) << QString(cliPath) << agents;
        };
        const QStringList codex{QStringLiteral("Codex")};
        const QString nvm = QStringLiteral(".nvm/versions/node/");
        row("first folder wins, listed once",
            {"file:.local/bin/claude", "file:.npm-global/bin/claude", "dir:.claude"}, "claude",
            ".local/bin/claude", {"Claude Code"});
        row("markers without a CLI count, in fixed order; a dangling link is none",
            {"link:.local/bin/gemini>gone", "file:.npm-global/bin/gemini", "dir:.codex",
             "file:.claude.json"},
            "gemini", ".npm-global/bin/gemini", {"Claude Code", "Codex", "Gemini"});
        row("npm -g of the highest nvm version, by number",
            {"file:" + nvm + "v9.1.0/bin/codex", "file:" + nvm + "v18.2.0/bin/codex"}, "codex",
            ".nvm/versions/node/v18.2.0/bin/codex", codex);
        row("~/.npmrc prefix, quoted, the last one",
            {"file:.npmrc>prefix=/nowhere\nprefix=\"~/b\"\n", "file:b/bin/codex"}, "codex",
            "b/bin/codex", codex);
        row("relative prefix and nvm names that are no version skipped",
            {"file:.npmrc>prefix=npm-tools\n", "file:npm-tools/bin/codex",
             "file:" + nvm + "latest/bin/codex", "file:" + nvm + "v20.x/bin/codex"},
            "codex", "", {});
        row("~/.npmrc a FIFO: skipped at once", {"fifo:.npmrc", "file:.bun/bin/codex"}, "codex",
            ".bun/bin/codex", codex);
    }
    void detect() {
        QFETCH(QStringList, entries);
        QFETCH(QString, bin);
        QFETCH(QString, cliPath);
        const TestHome home;
        for (const QString& entry : entries) {
            const QString type = entry.section(u':', 0, 0);
            const QString rel = entry.section(u':', 1).section(u'>', 0, 0);
            const QString more = entry.section(u'>', 1); // file contents or link target
            QVERIFY(QDir().mkpath(QFileInfo(home.path(rel)).absolutePath()));
            if (type == u"file") {
                home.makeFile(rel, more.toUtf8());
            } else if (type == u"dir") {
                QVERIFY(QDir().mkpath(home.path(rel)));
            } else if (type == u"fifo") {
                QCOMPARE(::mkfifo(QFile::encodeName(home.path(rel)).constData(), 0600), 0);
            } else {
                QVERIFY(QFile::link(home.path(more), home.path(rel)));
            }
        }
        // The system's own folders are left out: what this machine has installed is no input.
        QStringList searched = AgentDetection::searchFolders(home.home(), QString());
        searched.removeIf(
            [&home](const QString& folder) { return !folder.startsWith(home.home()); });
        QCOMPARE(AgentDetection::cliPath(bin, searched),
                 cliPath.isEmpty() ? std::nullopt : std::optional(home.path(cliPath)));
        QTEST(AgentDetection::detectAgents(home.home(), searched), "agents");
    }
};

QTEST_GUILESS_MAIN(AgentDetectionTest)
#include "tst_agentdetection.moc"
