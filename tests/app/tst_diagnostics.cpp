#include "app/DiagnosticsContent.h"

#include <QTest>

#include <functional>

using namespace Qt::StringLiterals;
Q_DECLARE_METATYPE(GateSnapshot)

class DiagnosticsTest : public QObject {
    Q_OBJECT

private slots:
    void content_data() {
        QTest::addColumn<GateSnapshot>("state");
        // The rows' values in order, the log's path, the dev-build note, the error line.
        QTest::addColumn<QString>("shown");
        const auto add = [](const char* name, const std::function<void(GateSnapshot&)>& change,
                            const QString& shown) {
            GateSnapshot state;
            change(state);
            QTest::newRow(name) << state << shown;
        };

        add(
            "signed out, own gate stopped", [](auto&) {},
            u"stopped|—|none|own gate|—|—|fallback (~/bramblekit)|NOT FOUND|not found|not found|"
            "not found|not found|not found|not yet verified end-to-end|—||note|"_s);
        add(
            "signed in, running, node through nvm after an older one",
            [](auto& s) {
                s.helperRunning = s.daemonBundled = true;
                s.answersUnavailable = u"the gate failed: HTTP 500"_s;
                s.lastChecked = u"10:42"_s;
                s.accountUserId = u"user-7"_s;
                s.personalRoom = u"room-9"_s;
                s.nodePath = u"/h/.nvm/bin/node"_s;
                s.nodeOrigin = u"nvm"_s;
                s.nodeSkipped = {u"system /usr/bin/node v16.0.0: the gate needs >=18"_s};
                s.gateLogPath = u"/h/gate.log"_s;
                s.detectedAgents = {u"Claude Code"_s, u"Codex"_s, u"Gemini"_s};
                using State = AgentConnection::State;
                s.agentConnections = {
                    {u"Codex"_s, State::Unreadable, u"/h/.codex/config.toml line 3"_s},
                    {u"Claude Code"_s, State::Connected, {}}};
            },
            u"running|unavailable (the gate failed: HTTP 500)|none|own gate|user-7|room-9|bundled "
            u"in app|nvm: /h/.nvm/bin/node; skipped "
            "system /usr/bin/node v16.0.0: the gate needs >=18|"
            "connected|settings unreadable: /h/.codex/config.toml line 3|—|not found|not found|"
            "not yet verified end-to-end|10:42|/h/gate.log|note|"_s);
        // A bundled Node.js wins over one found on the system, and needs no dev-build note;
        // another user's program on the port is told even where the gate seems to run.
        add(
            "bundled node, existing gate in use, port taken, an error",
            [](auto& s) {
                s.bundledNode = u"/opt/k/node"_s;
                s.nodePath = u"/usr/bin/node"_s;
                s.existingGateDetected = s.useExistingGate = true;
                s.ownPortForeign = s.helperRunning = true;
                s.lastError = u"boom"_s;
            },
            u"Port 8789 is used by another user's program|—|detected|using existing gate|—|—|"
            "fallback (~/bramblekit)|bundled (zero-prereq)|not found|not found|not found|"
            "not found|not found|not yet verified end-to-end|—|||Last error: boom"_s);
    }

    void content() {
        QFETCH(GateSnapshot, state);
        const DiagnosticsContent content = DiagnosticsContent::of(state);
        QStringList lines;
        for (const auto& row : content.rows) {
            lines << row.second;
        }
        lines << content.gateLogPath << (content.showDevBuildNote ? u"note"_s : QString())
              << content.lastErrorLine.value_or(QString());
        QTEST(lines.join(u'|'), "shown");
    }
};

QTEST_MAIN(DiagnosticsTest)
#include "tst_diagnostics.moc"
