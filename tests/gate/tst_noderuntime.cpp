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
    // system's is usr/bin/node here, and nvm versions go highest first, by number. Whatever
    // cannot be a runtime is skipped.
    void find_data() {
        QTest::addColumn<QStringList>("entries"); // "shape:relative path", see find()
        QTest::addColumn<QString>("found");       // "origin relative-path", or empty
        const auto row = [](const char* name, const QStringList& entries, const char* found) {
            QTest::newRow(name) << entries << QString(found);
        };
        const QString nvm = QStringLiteral(".nvm/versions/node/");
        row("bundle first", {"exec:res/node", "exec:usr/bin/node"}, "bundled res/node");
        row("nvm by version, not by name; one without a usable node skipped",
            {"exec:" + nvm + "v9.0.0/bin/node", "exec:" + nvm + "v20.2.0/bin/node",
             "exec:" + nvm + "v20.11.1/bin/node", "plain:" + nvm + "v21.0.0/bin/node"},
            "nvm .nvm/versions/node/v20.11.1/bin/node");
        row("dangling, not executable, or named by no version: none",
            {"dangling:usr/bin/node", "plain:.local/bin/node", "exec:" + nvm + "latest/bin/node",
             "exec:" + nvm + "v20.x/bin/node", "exec:" + nvm + "v99999999999.0.0/bin/node",
             "dangling:.nvm/alias/default"},
            "");
    }
    void find() {
        QFETCH(QStringList, entries);
        QFETCH(QString, found);
        QTemporaryDir dir;
        // exec, plain (no x bit), dangling (a link to nothing).
        for (const QString& entry : entries) {
            const QString shape = entry.section(u':', 0, 0);
            const QString path = dir.filePath(entry.section(u':', 1));
            QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
            if (shape == u"dangling") {
                QVERIFY(QFile::link(path + QStringLiteral(".gone"), path));
            } else {
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly));
                QVERIFY(file.setPermissions(
                    shape == u"plain" ? QFile::ReadOwner : QFile::ReadOwner | QFile::ExeOwner));
            }
        }
        const auto node = NodeRuntime::find(
            dir.filePath(QStringLiteral("res")),
            NodeRuntime::candidates({dir.filePath(QStringLiteral("usr/bin/node"))}, dir.path(),
                                    QString()));
        // A runtime this machine has outside the test folder is no input.
        const bool inside = node && node->path.startsWith(dir.path() + u'/');
        QCOMPARE(inside ? node->origin + u' ' + node->path.mid(dir.path().size() + 1) : QString(),
                 found);
    }
};

QTEST_GUILESS_MAIN(NodeRuntimeTest)
#include "tst_noderuntime.moc"
