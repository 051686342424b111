#include "gate/NodeRuntime.h"
#include "platform/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {
// Puts a "node" of the given shape at path: "exec", "plain" (no x bit), "dir", "link" (to an
// executable file elsewhere), "dangling" or "missing".
void place(const QString& path, const QString& shape) {
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    if (shape == u"exec" || shape == u"plain" || shape == u"link") {
        const QString target = shape == u"link" ? path + QStringLiteral(".real") : path;
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n");
        file.close();
        const QFile::Permissions base = QFile::ReadOwner | QFile::WriteOwner;
        QVERIFY(file.setPermissions(shape == u"plain" ? base : base | QFile::ExeOwner));
        if (shape == u"link") {
            QVERIFY(QFile::link(target, path));
        }
    } else if (shape == u"dir") {
        QVERIFY(QDir().mkdir(path));
    } else if (shape == u"dangling") {
        QVERIFY(QFile::link(path + QStringLiteral(".gone"), path));
    } else {
        QCOMPARE(shape, QStringLiteral("missing"));
    }
}
} // namespace

class NodeRuntimeTest : public QObject {
    Q_OBJECT
private slots:
    void isExecutableFile_data() {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<bool>("executable");
        QTest::newRow("executable file") << "exec" << true;
        QTest::newRow("file without x bit") << "plain" << false;
        QTest::newRow("folder") << "dir" << false;
        QTest::newRow("link to executable") << "link" << true;
        QTest::newRow("dangling link") << "dangling" << false;
        QTest::newRow("missing") << "missing" << false;
    }
    void isExecutableFile() {
        QFETCH(QString, shape);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("node"));
        place(path, shape);
        QTEST(NodeRuntime::isExecutableFile(path), "executable");
    }

    // Three candidate folders stand for /opt/homebrew/bin, /usr/local/bin and /usr/bin.
    void resolve_data() {
        QTest::addColumn<QString>("bundle"); // shape of <resources>/node
        QTest::addColumn<QStringList>("candidates");
        QTest::addColumn<QString>("winner"); // "bundle", a candidate index, or empty
        const QStringList allExec{"exec", "exec", "exec"};
        QTest::newRow("bundle wins") << "exec" << allExec << "bundle";
        QTest::newRow("linked bundle wins") << "link" << allExec << "bundle";
        QTest::newRow("bundle wins with no candidates") << "exec" << QStringList{} << "bundle";
        QTest::newRow("non-executable bundle ignored") << "plain" << allExec << "0";
        QTest::newRow("bundle folder named node ignored") << "dir" << allExec << "0";
        QTest::newRow("first candidate in list order") << "missing" << allExec << "0";
        QTest::newRow("missing candidate skipped")
            << "missing" << QStringList{"missing", "exec", "exec"} << "1";
        QTest::newRow("non-executable candidate skipped")
            << "missing" << QStringList{"plain", "exec", "exec"} << "1";
        QTest::newRow("folder named node skipped")
            << "missing" << QStringList{"dir", "dangling", "link"} << "2";
        QTest::newRow("nothing usable") << "plain" << QStringList{"missing", "plain", "dir"} << "";
    }
    void resolve() {
        QFETCH(QString, bundle);
        QFETCH(QStringList, candidates);
        QFETCH(QString, winner);
        QTemporaryDir dir;
        const QString resources = dir.filePath(QStringLiteral("share/kestrova-helper"));
        QVERIFY(QDir().mkpath(resources));
        place(resources + QStringLiteral("/node"), bundle);
        QStringList paths;
        for (qsizetype i = 0; i < candidates.size(); ++i) {
            paths.append(dir.filePath(QStringLiteral("system%1/bin/node").arg(i)));
            place(paths.last(), candidates.at(i));
        }
        const auto bundled = resources + QStringLiteral("/node");
        const std::optional<QString> expected = winner.isEmpty()      ? std::nullopt
                                                : winner == u"bundle" ? std::optional(bundled)
                                                                      : paths.at(winner.toInt());
        QCOMPARE(NodeRuntime::resolve(resources, paths), expected);
        QCOMPARE(NodeRuntime::bundledNode(resources),
                 winner == u"bundle" ? std::optional(bundled) : std::nullopt);
    }

    void emptyResourceFolderMeansNoBundle() {
        // An executable "node" in the working folder must not pass for a bundle.
        QTemporaryDir dir;
        place(dir.filePath(QStringLiteral("node")), QStringLiteral("exec"));
        place(dir.filePath(QStringLiteral("sys/node")), QStringLiteral("exec"));
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        const auto bundled = NodeRuntime::bundledNode(QString());
        const auto resolved = NodeRuntime::resolve(QString(), {dir.filePath("sys/node")});
        QDir::setCurrent(previous);
        QCOMPARE(bundled, std::nullopt);
        QCOMPARE(resolved, std::optional(dir.filePath(QStringLiteral("sys/node"))));
    }

    void applicationSupportFolder_data() {
        QTest::addColumn<QStringList>("dataLocations");
        QTest::addColumn<QString>("home");
        QTest::addColumn<QString>("folder");
        QTest::newRow("no data locations") << QStringList{} << "/home/ann"
                                           << "/home/ann/.local/share";
        QTest::newRow("home with trailing slash") << QStringList{} << "/home/ann/"
                                                  << "/home/ann/.local/share";
        QTest::newRow("first data location") << QStringList{"/data/one", "/data/two"} << "/home/ann"
                                             << "/data/one";
    }
    void applicationSupportFolder() {
        QFETCH(QStringList, dataLocations);
        QFETCH(QString, home);
        QTEST(AppPaths::applicationSupportFolder(dataLocations, home), "folder");
    }

    void join_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("component");
        QTest::addColumn<QString>("joined");
        QTest::newRow("no slash") << "a"
                                  << "b"
                                  << "a/b";
        QTest::newRow("trailing slash") << "a/"
                                        << "b"
                                        << "a/b";
        QTest::newRow("absolute with space") << "/x/Kestrova Helper"
                                             << "node"
                                             << "/x/Kestrova Helper/node";
    }
    void join() {
        QFETCH(QString, folder);
        QFETCH(QString, component);
        QTEST(AppPaths::join(folder, component), "joined");
    }

    void resourceFolder_data() {
        QTest::addColumn<QString>("shape"); // what sits at <root>/share/kestrova-helper
        QTest::addColumn<bool>("found");
        QTest::newRow("installed layout") << "dir" << true;
        QTest::newRow("missing") << "missing" << false;
        QTest::newRow("a file, not a folder") << "plain" << false;
    }
    void resourceFolder() {
        QFETCH(QString, shape);
        QFETCH(bool, found);
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("bin"))));
        const QString expected = dir.filePath(QStringLiteral("share/kestrova-helper"));
        place(expected, shape);
        QCOMPARE(AppPaths::resourceFolder(dir.filePath(QStringLiteral("bin"))),
                 found ? expected : QString());
    }
};

QTEST_GUILESS_MAIN(NodeRuntimeTest)
#include "tst_noderuntime.moc"
