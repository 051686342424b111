#include "gate/NodeRuntime.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

class NodeRuntimeTest : public QObject {
    Q_OBJECT
private slots:
    // The bundled runtime (res/node), else the first place that has an executable node; the
    // system's is usr/bin/node here, and nvm versions go highest first, by number.
    void find_data() {
        QTest::addColumn<QStringList>("entries"); // "shape:relative path", see find()
        QTest::addColumn<QString>("found");       // "origin relative-path", or empty
        const auto row = [](const char* name, const QStringList& entries, const char* found) {
            QTest::newRow(name) << entries << QString(found);
        };
        const QString nvm = QStringLiteral(".nvm/versions/node/");
        row("bundle first", {"link:res/node", "exec:usr/bin/node"}, "bundled res/node");
        row("nvm by version, not by name; one without a usable node skipped",
            {"exec:" + nvm + "v9.0.0/bin/node", "exec:" + nvm + "v20.2.0/bin/node",
             "exec:" + nvm + "v20.11.1/bin/node", "plain:" + nvm + "v21.0.0/bin/node"},
            "nvm .nvm/versions/node/v20.11.1/bin/node");
        row("dangling, not executable, or named by no version: none",
            {"dangling:usr/bin/node", "plain:.local/bin/node", "exec:" + nvm + "latest/bin/node",
             "exec:" + nvm + "v20.x/bin/node", "exec:" + nvm + "v99999999999.0.0/bin/node",
             "dangling:.nvm/alias/default"},
            "");
        row("NVM_DIR replaces ~/.nvm",
            {"nvmdir:tools/nvm", "exec:" + nvm + "v20.0.0/bin/node",
             "exec:tools/nvm/versions/node/v18.0.0/bin/node"},
            "nvm tools/nvm/versions/node/v18.0.0/bin/node");
    }
    void find() {
        QFETCH(QStringList, entries);
        QFETCH(QString, found);
        QTemporaryDir dir;
        QString nvmDir;
        // exec, plain (no x bit), link (to an executable elsewhere), dangling; nvmdir: $NVM_DIR.
        for (const QString& entry : entries) {
            const QString shape = entry.section(u':', 0, 0);
            const QString path = dir.filePath(entry.section(u':', 1));
            QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
            QFile file(shape == u"link" ? path + QStringLiteral(".real") : path);
            if (shape == u"nvmdir") {
                nvmDir = path;
            } else if (shape == u"dangling") {
                QVERIFY(QFile::link(path + QStringLiteral(".gone"), path));
            } else {
                QVERIFY(file.open(QIODevice::WriteOnly));
                QVERIFY(file.setPermissions(
                    shape == u"plain" ? QFile::ReadOwner : QFile::ReadOwner | QFile::ExeOwner));
                QVERIFY(shape != u"link" || QFile::link(file.fileName(), path));
            }
        }
        const auto node = NodeRuntime::find(
            dir.filePath(QStringLiteral("res")),
            NodeRuntime::candidates({dir.filePath(QStringLiteral("usr/bin/node"))}, dir.path(),
                                    nvmDir));
        // A runtime this machine has outside the test folder is no input.
        const bool inside = node && node->path.startsWith(dir.path() + u'/');
        QCOMPARE(inside ? node->origin + u' ' + node->path.mid(dir.path().size() + 1) : QString(),
                 found);
    }
};

QTEST_GUILESS_MAIN(NodeRuntimeTest)
#include "tst_noderuntime.moc"
