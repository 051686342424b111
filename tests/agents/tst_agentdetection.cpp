#include "agents/AgentDetection.h"
#include "support/TestHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

namespace {
// Builds one entry in the home: "file:rel", "dir:rel" or "link:rel>target" (target relative to
// the home too, and possibly missing).
void create(const TestHome& home, const QString& entry) {
    const qsizetype colon = entry.indexOf(u':');
    const QString type = entry.left(colon);
    const QString rest = entry.mid(colon + 1);
    if (type == u"file") {
        home.makeFile(rest);
    } else if (type == u"dir") {
        QVERIFY(QDir().mkpath(home.path(rest)));
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
    void knownKinds_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("displayName");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("bin");
        QTest::newRow("claude") << 0 << "Claude Code"
                                << "claude_code"
                                << "claude";
        QTest::newRow("codex") << 1 << "Codex"
                               << "codex"
                               << "codex";
        QTest::newRow("gemini") << 2 << "Gemini"
                                << "gemini"
                                << "gemini";
    }
    void knownKinds() {
        QFETCH(int, index);
        QFETCH(QString, displayName);
        QCOMPARE(AgentDetection::agentKinds().size(), 3);
        const AgentDetection::AgentKind& listed = AgentDetection::agentKinds().at(index);
        QCOMPARE(listed.displayName, displayName);
        QTEST(listed.kind, "kind");
        QTEST(listed.bin, "bin");
        const auto found = AgentDetection::agentKind(displayName);
        QVERIFY(found.has_value());
        QTEST(found->kind, "kind");
    }

    void unknownDisplayNameHasNoKind() {
        QVERIFY(!AgentDetection::agentKind(QStringLiteral("Cursor")).has_value());
        // Lookup is by display name, not by the relay's kind.
        QVERIFY(!AgentDetection::agentKind(QStringLiteral("claude_code")).has_value());
    }

    void standardSearchFolders_data() {
        QTest::addColumn<QString>("home");
        QTest::newRow("plain home") << "/home/ann";
        QTest::newRow("home with trailing slash") << "/home/ann/";
    }
    void standardSearchFolders() {
        QFETCH(QString, home);
        const QStringList expected{"/opt/homebrew/bin/", "/usr/local/bin/", "/usr/bin/",
                                   "/home/ann/.local/bin/"};
        QCOMPARE(AgentDetection::searchFolders(home), expected);
    }

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
        QTest::newRow("~/.claude folder")
            << QStringList{"dir:.claude"} << QStringList{"Claude Code"} << "claude"
            << "";
        QTest::newRow("claude in first and second folder: first wins, listed once")
            << QStringList{"file:opt/bin/claude", "file:usr/bin/claude", "dir:.claude"}
            << QStringList{"Claude Code"} << "claude"
            << "opt/bin/claude";
        QTest::newRow("claude only in ~/.local/bin, not executable")
            << QStringList{"file:.local/bin/claude"} << QStringList{"Claude Code"} << "claude"
            << ".local/bin/claude";
        QTest::newRow("folder named codex counts")
            << QStringList{"dir:usr/bin/codex"} << QStringList{"Codex"} << "codex"
            << "usr/bin/codex";
        QTest::newRow("dangling gemini link, no marker")
            << QStringList{"link:opt/bin/gemini>gone/gemini"} << QStringList{} << "gemini"
            << "";
        QTest::newRow("gemini link to an existing file")
            << QStringList{"file:elsewhere/gemini", "link:opt/bin/gemini>elsewhere/gemini"}
            << QStringList{"Gemini"} << "gemini"
            << "opt/bin/gemini";
        QTest::newRow("codex only in a folder not searched")
            << QStringList{"file:elsewhere/codex"} << QStringList{} << "codex"
            << "";
        QTest::newRow("codex and gemini without claude")
            << QStringList{"file:usr/bin/codex", "file:.gemini"} << QStringList{"Codex", "Gemini"}
            << "claude"
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
        const auto path = AgentDetection::cliPath(bin, folders(home));
        if (cliPath.isEmpty()) {
            QVERIFY2(!path.has_value(), qPrintable(path.value_or(QString())));
        } else {
            QCOMPARE(path, std::optional(home.path(cliPath)));
        }
    }
};

QTEST_GUILESS_MAIN(AgentDetectionTest)
#include "tst_agentdetection.moc"
