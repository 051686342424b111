#include "agents/AgentDetection.h"
#include "support/TestHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <sys/stat.h>

namespace {
// Builds one entry in the home: "file:rel", "dir:rel", "fifo:rel", "npmrc:contents" or
// "link:rel>target" (target relative to the home too, and possibly missing).
void create(const TestHome& home, const QString& entry) {
    const qsizetype colon = entry.indexOf(u':');
    const QString type = entry.left(colon);
    const QString rest = entry.mid(colon + 1);
    if (type == u"file") {
        home.makeFile(rest);
    } else if (type == u"npmrc") {
        home.makeFile(QStringLiteral(".npmrc"), rest.toUtf8());
    } else if (type == u"dir") {
        QVERIFY(QDir().mkpath(home.path(rest)));
    } else if (type == u"fifo") {
        QVERIFY(QDir().mkpath(QFileInfo(home.path(rest)).absolutePath()));
        QCOMPARE(::mkfifo(QFile::encodeName(home.path(rest)).constData(), 0600), 0);
    } else if (type == u"link") {
        const QStringList parts = rest.split(u'>');
        QVERIFY(QDir().mkpath(QFileInfo(home.path(parts[0])).absolutePath()));
        QVERIFY(QFile::link(home.path(parts[1]), home.path(parts[0])));
    } else {
        QFAIL(qPrintable(QStringLiteral("unknown entry ") + entry));
    }
}

// Three search folders inside the test home, the last one standing for ~/.local/bin/.
QStringList folders(const TestHome& home) {
    return {home.path(QStringLiteral("opt/bin/")), home.path(QStringLiteral("usr/bin/")),
            home.path(QStringLiteral(".local/bin/"))};
}
} // namespace

class AgentDetectionTest : public QObject {
    Q_OBJECT
private slots:
    void detect_data() {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("bin");
        QTest::addColumn<QString>("cliPath"); // relative to the home; empty means none

        QTest::newRow("nothing installed") << QStringList{} << QStringList{} << "claude"
                                           << "";
        QTest::newRow("only ~/.claude.json: marker without cli")
            << QStringList{"file:.claude.json"} << QStringList{"Claude Code"} << "claude"
            << "";
        QTest::newRow("claude in first and second folder: first wins, listed once")
            << QStringList{"file:opt/bin/claude", "file:usr/bin/claude", "dir:.claude"}
            << QStringList{"Claude Code"} << "claude"
            << "opt/bin/claude";
        QTest::newRow("folder named codex counts")
            << QStringList{"dir:usr/bin/codex"} << QStringList{"Codex"} << "codex"
            << "usr/bin/codex";
        QTest::newRow("dangling gemini link, no marker")
            << QStringList{"link:opt/bin/gemini>gone/gemini"} << QStringList{} << "gemini"
            << "";
        QTest::newRow("all three keep their fixed order")
            << QStringList{"file:opt/bin/gemini", "dir:.codex", "file:.local/bin/claude"}
            << QStringList{"Claude Code", "Codex", "Gemini"} << "gemini"
            << "opt/bin/gemini";
    }
    void detect() {
        QFETCH(QStringList, entries);
        QFETCH(QString, bin);
        QFETCH(QString, cliPath);
        const TestHome home;
        for (const QString& entry : entries) {
            create(home, entry);
        }
        QTEST(AgentDetection::detectAgents(home.home(), folders(home)), "expected");
        QCOMPARE(AgentDetection::cliPath(bin, folders(home)),
                 cliPath.isEmpty() ? std::nullopt : std::optional(home.path(cliPath)));
    }

    // Where Linux users' package tools put an agent, found through the home's search folders.
    void linuxInstalls_data() {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("cliPath"); // of "codex", relative to the home; empty: none
        QTest::newRow("npm -g into ~/.npm-global")
            << QStringList{"file:.npm-global/bin/codex"} << ".npm-global/bin/codex";
        QTest::newRow("npm -g of the highest nvm version")
            << QStringList{"file:.nvm/versions/node/v9.1.0/bin/codex",
                           "file:.nvm/versions/node/v18.2.0/bin/codex"}
            << ".nvm/versions/node/v18.2.0/bin/codex";
        QTest::newRow("npm -g of fnm")
            << QStringList{"file:.local/share/fnm/node-versions/v20.0.0/installation/bin/codex"}
            << ".local/share/fnm/node-versions/v20.0.0/installation/bin/codex";
        QTest::newRow("~/.npmrc prefix under ~")
            << QStringList{"npmrc:; mine\nprefix = ~/npm-tools\n", "file:npm-tools/bin/codex"}
            << "npm-tools/bin/codex";
        QTest::newRow("~/.npmrc prefix, quoted, the last one")
            << QStringList{"npmrc:prefix=/nowhere\nprefix=\"~/b\"\n", "file:b/bin/codex"}
            << "b/bin/codex";
        QTest::newRow("relative prefix skipped")
            << QStringList{"npmrc:prefix=npm-tools\n", "file:npm-tools/bin/codex"} << "";
        QTest::newRow("prefix of a section skipped")
            << QStringList{"npmrc:[x]\nprefix=~/c\n", "file:c/bin/codex"} << "";
        QTest::newRow("~/.npmrc a FIFO: skipped at once")
            << QStringList{"fifo:.npmrc", "file:.bun/bin/codex"} << ".bun/bin/codex";
        QTest::newRow("~/.npmrc a folder")
            << QStringList{"dir:.npmrc", "file:.yarn/bin/codex"} << ".yarn/bin/codex";
        QTest::newRow("pnpm") << QStringList{"file:.local/share/pnpm/codex"}
                              << ".local/share/pnpm/codex";
        QTest::newRow("nvm version named latest or v20.x skipped")
            << QStringList{"file:.nvm/versions/node/latest/bin/codex",
                           "file:.nvm/versions/node/v20.x/bin/codex",
                           "link:.nvm/alias/default>gone"}
            << "";
    }
    void linuxInstalls() {
        QFETCH(QStringList, entries);
        QFETCH(QString, cliPath);
        const TestHome home;
        for (const QString& entry : entries) {
            create(home, entry);
        }
        // The system's own folders are left out: what this machine has installed is no input.
        QStringList searched = AgentDetection::searchFolders(home.home(), QString());
        searched.removeIf(
            [&home](const QString& folder) { return !folder.startsWith(home.home()); });
        QCOMPARE(AgentDetection::cliPath(QStringLiteral("codex"), searched),
                 cliPath.isEmpty() ? std::nullopt : std::optional(home.path(cliPath)));
        QCOMPARE(AgentDetection::detectAgents(home.home(), searched),
                 cliPath.isEmpty() ? QStringList{} : QStringList{QStringLiteral("Codex")});
    }
};

QTEST_GUILESS_MAIN(AgentDetectionTest)
#include "tst_agentdetection.moc"
