#include "gate/NodeRuntime.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using NodeRuntime::Candidate;

namespace {
// Puts an entry of the given shape at path: "exec", "plain" (no x bit), "dir", "link" (to an
// executable file elsewhere), "dangling" or "missing".
void place(const QString& path, const QString& shape) {
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    if (shape == u"exec" || shape == u"plain" || shape == u"link") {
        const QString target = shape == u"link" ? path + QStringLiteral(".real") : path;
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QFile::Permissions base = QFile::ReadOwner | QFile::WriteOwner;
        QVERIFY(file.setPermissions(shape == u"plain" ? base : base | QFile::ExeOwner));
        if (shape == u"link") {
            QVERIFY(QFile::link(target, path));
        }
    } else if (shape == u"dir") {
        QVERIFY(QDir().mkpath(path));
    } else if (shape == u"dangling") {
        QVERIFY(QFile::link(path + QStringLiteral(".gone"), path));
    } else {
        QCOMPARE(shape, QStringLiteral("missing"));
    }
}

// "shape:relative path" entries, made under root.
void layOut(const QString& root, const QStringList& entries) {
    for (const QString& entry : entries) {
        const qsizetype colon = entry.indexOf(u':');
        place(root + u'/' + entry.mid(colon + 1), entry.left(colon));
    }
}

// "origin relative-path" for the candidates inside home, in order.
QStringList inHome(const QList<Candidate>& candidates, const QString& home) {
    QStringList found;
    for (const Candidate& candidate : candidates) {
        if (candidate.path.startsWith(home + u'/')) {
            found.append(candidate.origin + u' ' + candidate.path.mid(home.size() + 1));
        }
    }
    return found;
}
} // namespace

class NodeRuntimeTest : public QObject {
    Q_OBJECT
private slots:
    // Version folders: listed highest version first, by number; names that are no version
    // and entries that are no folder are left out.
    void versionFolders_data() {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("nvmDir"); // relative to the home; "-" for unset
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("nvm by version, not by name")
            << QStringList{"dir:.nvm/versions/node/v9.0.0", "dir:.nvm/versions/node/v20.2.0",
                           "dir:.nvm/versions/node/v20.11.1", "dir:.nvm/versions/node/v10.1.0"}
            << "-"
            << QStringList{"nvm .nvm/versions/node/v20.11.1/bin/node",
                           "nvm .nvm/versions/node/v20.2.0/bin/node",
                           "nvm .nvm/versions/node/v10.1.0/bin/node",
                           "nvm .nvm/versions/node/v9.0.0/bin/node"};
        QTest::newRow("names that are no version")
            << QStringList{"dir:.nvm/versions/node/v20.x",
                           "dir:.nvm/versions/node/latest",
                           "dir:.nvm/versions/node/v",
                           "dir:.nvm/versions/node/v1..2",
                           "dir:.nvm/versions/node/v99999999999.0.0",
                           "dangling:.nvm/versions/node/v21.0.0",
                           "dangling:.nvm/alias/default",
                           "exec:.nvm/versions/node/v22.0.0",
                           "dir:.nvm/versions/node/v18.0.0"}
            << "-" << QStringList{"nvm .nvm/versions/node/v18.0.0/bin/node"};
        QTest::newRow("NVM_DIR replaces ~/.nvm")
            << QStringList{"dir:.nvm/versions/node/v20.0.0", "dir:tools/nvm/versions/node/v18.0.0"}
            << "tools/nvm" << QStringList{"nvm tools/nvm/versions/node/v18.0.0/bin/node"};
        QTest::newRow("fnm and mise")
            << QStringList{"dir:.local/share/mise/installs/node/20.1.0",
                           "dangling:.local/share/mise/installs/node/latest",
                           "dir:.local/share/fnm/node-versions/v18.2.0"}
            << "-"
            << QStringList{"fnm .local/share/fnm/node-versions/v18.2.0/installation/bin/node",
                           "mise .local/share/mise/installs/node/20.1.0/bin/node"};
    }
    void versionFolders() {
        QFETCH(QStringList, entries);
        QFETCH(QString, nvmDir);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        layOut(dir.path(), entries);
        const QString nvm = nvmDir == u"-" ? QString() : dir.filePath(nvmDir);
        const QList<Candidate> all = NodeRuntime::candidates({}, dir.path(), nvm);
        QStringList listed = inHome(all, dir.path());
        listed.removeIf([](const QString& candidate) {
            return !candidate.startsWith(u"nvm ") && !candidate.startsWith(u"fnm ") &&
                   !candidate.startsWith(u"mise ");
        });
        QCOMPARE(listed, expected);
    }

    // The bundled runtime (res/node), else the first place that has an executable node; the
    // system's is usr/bin/node here.
    void find_data() {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("found"); // "origin relative-path", or empty
        QTest::newRow("bundle first")
            << QStringList{"link:res/node", "exec:usr/bin/node"} << "bundled res/node";
        QTest::newRow("dangling link ignored")
            << QStringList{"dangling:usr/bin/node", "exec:.asdf/shims/node"}
            << "asdf .asdf/shims/node";
        QTest::newRow("nothing usable") << QStringList{"plain:.local/bin/node"} << "";
        QTest::newRow("only through nvm: the highest")
            << QStringList{"exec:.nvm/versions/node/v18.19.0/bin/node",
                           "exec:.nvm/versions/node/v20.11.1/bin/node"}
            << "nvm .nvm/versions/node/v20.11.1/bin/node";
        QTest::newRow("highest without a usable node skipped")
            << QStringList{"plain:.nvm/versions/node/v21.0.0/bin/node",
                           "exec:.nvm/versions/node/v20.0.0/bin/node"}
            << "nvm .nvm/versions/node/v20.0.0/bin/node";
        QTest::newRow("the system's before nvm")
            << QStringList{"exec:usr/bin/node", "exec:.nvm/versions/node/v20.0.0/bin/node"}
            << "system usr/bin/node";
        QTest::newRow("volta before ~/.local/bin")
            << QStringList{"exec:.local/bin/node", "link:.volta/bin/node"}
            << "volta .volta/bin/node";
    }
    void find() {
        QFETCH(QStringList, entries);
        QFETCH(QString, found);
        QTemporaryDir dir;
        layOut(dir.path(), entries);
        const auto candidates =
            NodeRuntime::candidates({dir.filePath(QStringLiteral("usr/bin/node"))}, dir.path(), {});
        const auto node = NodeRuntime::find(dir.filePath(QStringLiteral("res")), candidates);
        QCOMPARE(node ? inHome({*node}, dir.path()) : QStringList{},
                 found.isEmpty() ? QStringList{} : QStringList{found});
    }
};

QTEST_GUILESS_MAIN(NodeRuntimeTest)
#include "tst_noderuntime.moc"
