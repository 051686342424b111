#include "app/DiagnosticsContent.h"
#include "app/DiagnosticsWindow.h"
#include "gate/GateController.h"
#include "support/TestHome.h"

#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>

#include <functional>

using namespace Qt::StringLiterals;
using Rows = QList<std::pair<QString, QString>>;
Q_DECLARE_METATYPE(GateSnapshot)

namespace {
const QString dash = u"\u2014"_s;
const Qt::TextInteractionFlags selectable =
    Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard;

// The rows of an empty snapshot with the values a case changes; an unknown label gives no rows,
// so a typo fails the comparison instead of passing unnoticed.
Rows expectedRows(const Rows& changes = {}) {
    Rows rows = {{u"Kestrova gate (:8789)"_s, u"stopped"_s},
                 {u"Existing dev gate (:8788)"_s, u"none"_s},
                 {u"Mode"_s, u"own gate"_s},
                 {u"Signed-in account"_s, dash},
                 {u"Personal room"_s, dash},
                 {u"Gate daemon"_s, u"fallback (~/bramblekit)"_s},
                 {u"Node.js"_s, u"NOT FOUND"_s},
                 {u"Approval bridge"_s, u"not yet verified end-to-end"_s},
                 {u"Last checked"_s, dash},
                 {u"Gate log"_s, QString()}};
    for (const auto& [label, value] : changes) {
        const auto row = std::ranges::find(rows, label, &std::pair<QString, QString>::first);
        if (row == rows.end()) {
            return {};
        }
        row->second = value;
    }
    return rows;
}

// One row of the content table: a change to an empty snapshot and what it should show.
void addCase(const char* name, const std::function<void(GateSnapshot&)>& change,
             const Rows& changes, bool note = true, const QString& errorLine = {}) {
    GateSnapshot state;
    change(state);
    QTest::newRow(name) << state << changes << note << errorLine;
}

QStringList visibleTexts(const QWidget& window) {
    QStringList texts;
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        if (label->isVisibleTo(&window)) {
            texts.append(label->text());
        }
    }
    for (const QTextEdit* path : window.findChildren<QTextEdit*>()) {
        texts.append(path->toPlainText());
    }
    return texts;
}

template <typename T> T* named(const QWidget& window, const QString& accessibleName) {
    for (T* child : window.findChildren<T*>()) {
        if (child->accessibleName() == accessibleName) {
            return child;
        }
    }
    return nullptr;
}
} // namespace

class DiagnosticsTest : public QObject {
    Q_OBJECT

private slots:
    void content_data() {
        QTest::addColumn<GateSnapshot>("state");
        QTest::addColumn<Rows>("changes");
        QTest::addColumn<bool>("note");
        QTest::addColumn<QString>("errorLine"); // empty: no line

        addCase("signed out, own gate stopped", [](auto&) {}, {});
        addCase("signed in, running",
                [](auto& s) {
                    s.helperRunning = true;
                    s.lastChecked = u"10:42"_s;
                    s.accountUserId = u"user-7"_s;
                    s.personalRoom = u"room-9"_s;
                },
                {{u"Kestrova gate (:8789)"_s, u"running"_s},
                 {u"Signed-in account"_s, u"user-7"_s},
                 {u"Personal room"_s, u"room-9"_s},
                 {u"Last checked"_s, u"10:42"_s}});
        const Rows bundled = {{u"Node.js"_s, u"bundled (zero-prereq)"_s}};
        addCase(
            "bundled node alone", [](auto& s) { s.bundledNode = u"/opt/k/node"_s; }, bundled,
            false);
        addCase("node through nvm",
                [](auto& s) {
                    s.nodePath = u"/h/.nvm/versions/node/v22.1.0/bin/node"_s;
                    s.nodeOrigin = u"nvm"_s;
                },
                {{u"Node.js"_s, u"nvm: /h/.nvm/versions/node/v22.1.0/bin/node"_s}});
        addCase("port of the own gate taken", [](auto& s) { s.ownPortForeign = true; },
                {{u"Kestrova gate (:8789)"_s, u"Port 8789 is used by another user's program"_s}});
        addCase(
            "last error", [](auto& s) { s.lastError = u"boom"_s; }, {}, true,
            u"Last error: boom"_s);
        addCase("existing gate chosen and detected",
                [](auto& s) { s.existingGateDetected = s.useExistingGate = true; },
                {{u"Existing dev gate (:8788)"_s, u"detected"_s},
                 {u"Mode"_s, u"using existing gate"_s}});
        addCase("daemon bundled", [](auto& s) { s.daemonBundled = true; },
                {{u"Gate daemon"_s, u"bundled in app"_s}});
    }

    void content() {
        QFETCH(GateSnapshot, state);
        QFETCH(Rows, changes);
        QFETCH(bool, note);
        QFETCH(QString, errorLine);
        state.daemonScript = u"/a/daemon.mjs"_s;
        state.configPath = u"/b/config.json"_s;
        const DiagnosticsContent content = DiagnosticsContent::of(state);
        QCOMPARE(content.rows, expectedRows(changes));
        QCOMPARE(content.showDevBuildNote, note);
        QCOMPARE(content.lastErrorLine,
                 errorLine.isEmpty() ? std::nullopt : std::optional<QString>(errorLine));
        QCOMPARE(content.daemonPath, u"/a/daemon.mjs"_s);
        QCOMPARE(content.configPath, u"/b/config.json"_s);
    }

    void windowFollowsTheController() {
        const TestHome home;
        GateController gate(home.environment());
        QTRY_VERIFY(!gate.lastChecked().isEmpty());
        DiagnosticsWindow window(gate);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));

        const QStringList texts = visibleTexts(window);
        for (const auto& [label, value] : expectedRows(
                 {{u"Last checked"_s, gate.lastChecked()}, {u"Gate log"_s, gate.gateLogPath()}})) {
            QVERIFY2(texts.contains(label) && texts.contains(value), qPrintable(label));
        }

        // Refresh probes the gates and does nothing else. Agent detection publishes at once,
        // the probe's results later.
        auto* refresh = named<QPushButton>(window, u"Refresh"_s);
        QVERIFY(refresh);
        QSignalSpy changed(&gate, &GateController::changed);
        QTest::mouseClick(refresh, Qt::LeftButton);
        const qsizetype atOnce = changed.count();
        QVERIFY(atOnce > 0);
        QTRY_VERIFY(changed.count() > atOnce);
        QCOMPARE(gate.lastError(), std::nullopt);
        QVERIFY(!gate.useExistingGate());

        // Signed out, choosing the own gate fails; the open window shows it and grows.
        const int heightBefore = window.height();
        gate.chooseOwnGate();
        QVERIFY(visibleTexts(window).contains(
            u"Last error: Sign in first to start local approvals."_s));
        QVERIFY(window.height() > heightBefore);

        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(!window.isVisible());

        // Opened again, it checks again: agent detection publishes at once.
        QSignalSpy reopened(&gate, &GateController::changed);
        window.show();
        QVERIFY(!reopened.isEmpty());
    }
};

QTEST_MAIN(DiagnosticsTest)
#include "tst_diagnostics.moc"
