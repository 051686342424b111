#include "gate/GateController.h"
#include "gate/NodeRuntime.h"
#include "support/TestHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace Qt::StringLiterals;

class NodeRuntimeTest : public QObject {
    Q_OBJECT
private slots:
    // The first place that has an executable node the gate's engines allow, as a launch takes
    // it: the bundled runtime (res/node), the system's (usr/bin/node here), then nvm versions,
    // highest first by number. A runtime whose folder names no version says it when run. One
    // that cannot say it (it cannot even be executed here, or fails) is never taken. Whatever
    // cannot be a runtime is skipped; one the gate cannot run on is passed over, and said.
    void choice_data() {
        QTest::addColumn<QStringList>("entries"); // "shape:relative path", see choice()
        QTest::addColumn<QString>("engines");
        QTest::addColumn<QString>("found"); // "origin relative-path", or empty
        QTest::addColumn<QString>("skipped");
        const QString nvm = u".nvm/versions/node/"_s;
        QTest::newRow("bundle first")
            << QStringList{u"v20.0.0:res/node"_s, u"v20.0.0:usr/bin/node"_s} << u">=18"_s
            << u"bundled res/node"_s << QString();
        QTest::newRow("nvm by version, not by name; one without a usable node skipped")
            << QStringList{"exec:" + nvm + "v9.0.0/bin/node", "exec:" + nvm + "v20.2.0/bin/node",
                           "exec:" + nvm + "v20.11.1/bin/node", "plain:" + nvm + "v21.0.0/bin/node"}
            << QString() << "nvm " + nvm + "v20.11.1/bin/node" << QString();
        QTest::newRow("dangling, not executable, or named by no version: none")
            << QStringList{u"dangling:usr/bin/node"_s,
                           u"plain:.local/bin/node"_s,
                           "exec:" + nvm + "latest/bin/node",
                           "exec:" + nvm + "v20.x/bin/node",
                           "exec:" + nvm + "v99999999999.0.0/bin/node",
                           u"dangling:.nvm/alias/default"_s}
            << QString() << QString() << QString();
        QTest::newRow("the system's too old, nvm's newest too new")
            << QStringList{u"v16.20.2:usr/bin/node"_s, "exec:" + nvm + "v18.20.1/bin/node",
                           "exec:" + nvm + "v22.0.0/bin/node"}
            << u"^18.17 || >=22.1"_s << "nvm " + nvm + "v18.20.1/bin/node"
            << "system usr/bin/node v16.20.2: the gate needs ^18.17 || >=22.1; nvm " + nvm +
                   "v22.0.0/bin/node v22.0.0: the gate needs ^18.17 || >=22.1";
        QTest::newRow("runtimes that cannot be executed or fail: passed over, and said")
            << QStringList{u"garbage:res/node"_s, u"exec:usr/bin/node"_s,
                           "exec:" + nvm + "v20.0.0/bin/node"}
            << u">=18"_s << "nvm " + nvm + "v20.0.0/bin/node"
            << u"bundled res/node: it did not say its version; system usr/bin/node: it did not "
               "say its version"_s;
        QTest::newRow("none new enough")
            << QStringList{u"v16.0.0:usr/bin/node"_s} << u">=18"_s << QString()
            << u"system usr/bin/node v16.0.0: the gate needs >=18"_s;
    }
    void choice() {
        QFETCH(QStringList, entries);
        QFETCH(QString, engines);
        QFETCH(QString, found);
        QFETCH(QString, skipped);
        const TestHome home;
        home.signIn();
        // exec (says no version), v1.2.3 (says that one), plain (no x bit), dangling (a link to
        // nothing), garbage (executable, but no program this machine can run).
        for (const QString& entry : entries) {
            const QString shape = entry.section(u':', 0, 0);
            const QString relative = entry.section(u':', 1);
            if (shape == u"dangling") {
                QVERIFY(QDir().mkpath(QFileInfo(home.path(relative)).path()));
                QVERIFY(QFile::link(home.path(relative) + u".gone"_s, home.path(relative)));
            } else if (shape == u"garbage") {
                home.makeFile(relative, "\177ELF\2\1\1 not for this machine", true);
            } else {
                // Each says which runtime the gate was launched on.
                const QByteArray launch = "#!/bin/sh\n[ \"$1\" = --version ] || echo \"$0\" >>'" +
                                          home.path(u"launched"_s).toUtf8() + "'\n";
                home.makeFile(relative,
                              launch + (shape.startsWith(u'v') ? "echo " + shape.toUtf8() + "\n"
                                                               : QByteArray("exit 1\n")),
                              shape != u"plain");
            }
        }
        home.makeFile(u"res/Daemon/bin/bk-mcp-daemon.mjs"_s);
        home.makeFile(u"res/Daemon/package.json"_s,
                      R"({"engines": {"node": ")" + engines.toUtf8() + R"("}})");
        GateEnvironment environment = home.environment();
        environment.resourceFolder = home.path(u"res"_s);
        environment.systemNodeCandidates = {home.path(u"usr/bin/node"_s)};
        GateController gate(environment);
        gate.startHelperGate();
        // A runtime this machine has outside the test home is no input.
        const QString prefix = home.home() + u'/';
        const auto chosen = [&gate, &prefix] {
            const auto node = gate.nodePath();
            const bool inside = node && node->startsWith(prefix);
            return inside ? gate.nodeOrigin() + u' ' + node->mid(prefix.size()) : QString();
        };
        QTRY_COMPARE(chosen(), found);
        // Nothing chosen may also mean a version still being read.
        QTRY_COMPARE(gate.published().nodeSkipped.join(u"; "_s).remove(prefix), skipped);
        QCOMPARE(chosen(), found);
        // The launch waited for the versions: only the chosen runtime ever ran the gate.
        const QString launched = home.path(u"launched"_s);
        if (!found.isEmpty() && gate.nodePath()->startsWith(prefix)) {
            QTRY_VERIFY(QFileInfo::exists(launched));
        }
        for (const QByteArray& line : contentsOf(launched).split('\n')) {
            QVERIFY(line.isEmpty() || line == gate.nodePath().value_or(QString()).toUtf8());
        }
    }
};

QTEST_GUILESS_MAIN(NodeRuntimeTest)
#include "tst_noderuntime.moc"
