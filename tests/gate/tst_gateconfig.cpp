#include "gate/GateConfig.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {
QJsonObject parse(const QByteArray& json) {
    return QJsonDocument::fromJson(json).object();
}
} // namespace

class GateConfigTest : public QObject {
    Q_OBJECT
private slots:
    void buildHasExactlyTheGateMembers() {
        const QString supportDir = QStringLiteral("/home/ann/.local/share/Kestrova Helper");
        const QString apiKey = QStringLiteral("kß-ключ-🔑");
        const QByteArray json = GateConfig::build(supportDir, apiKey, std::nullopt, 8790);
        QVERIFY2(!json.contains("\\/") && json.contains(apiKey.toUtf8()), json.constData());
        QVERIFY(json.contains("\n    \"")); // pretty-printed, members on their own lines
        const QJsonObject config = parse(json);
        QCOMPARE(config.keys(), (QStringList{"mcp", "poller", "queue", "receipts"}));
        QCOMPARE(config["queue"].toObject(), (QJsonObject{{"path", supportDir + "/queue.jsonl"}}));
        QCOMPARE(config["receipts"].toObject(),
                 (QJsonObject{{"path", supportDir + "/receipts.jsonl"}}));
        QCOMPARE(config["mcp"].toObject().keys(), QStringList{"confirmations"});
        const QJsonObject confirmations = config["mcp"]["confirmations"].toObject();
        QCOMPARE(confirmations.keys(), (QStringList{"host", "port", "room", "wake_script"}));
        QCOMPARE(confirmations["host"].toString(), "127.0.0.1");
        QCOMPARE(confirmations["wake_script"].toString(), "/usr/bin/true");
        QCOMPARE(GateConfig::pollerApiKey(json), std::optional(apiKey));
    }

    void buildPortAndRoom_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<std::optional<QString>>("room");
        QTest::addColumn<QString>("served");
        QTest::newRow("absent room") << 8790 << std::optional<QString>() << "kestrova";
        QTest::newRow("empty room") << 1 << std::optional(QString()) << "kestrova";
        QTest::newRow("named room") << 65535 << std::optional(QStringLiteral("lab-7")) << "lab-7";
    }
    void buildPortAndRoom() {
        QFETCH(int, port);
        QFETCH(std::optional<QString>, room);
        const QJsonObject config = parse(
            GateConfig::build(QStringLiteral("/d"), QStringLiteral("k"), room, quint16(port)));
        const QJsonObject confirmations = config["mcp"]["confirmations"].toObject();
        QVERIFY2(confirmations["port"].isDouble(), "the port must be a JSON number");
        QCOMPARE(confirmations["port"].toInteger(), port);
        QTEST(confirmations["room"].toString(), "served");
    }

    void readPollerApiKey_data() {
        const QByteArray valid = R"({"poller":{"api_key":"abc"},"pad":""})";
        const qsizetype limit = 1024 * 1024;
        // Valid documents padded to exactly the limit and one byte over it.
        QByteArray atLimit = valid;
        atLimit.insert(valid.size() - 2, QByteArray(limit - valid.size(), 'x'));
        QByteArray overLimit = atLimit;
        overLimit.insert(valid.size() - 2, 'x');
        QTest::addColumn<QByteArray>("contents"); // "<none>", "<fifo>", "<folder>" or the text
        QTest::addColumn<QString>("key");         // empty means none
        QTest::newRow("valid file") << valid << "abc";
        QTest::newRow("missing file") << QByteArray("<none>") << "";
        QTest::newRow("a FIFO reads as missing, at once") << QByteArray("<fifo>") << "";
        QTest::newRow("a folder") << QByteArray("<folder>") << "";
        QTest::newRow("over 1 MiB") << overLimit << "";
        QTest::newRow("invalid json") << QByteArray(R"({"poller":{"api_key":"abc"})") << "";
        QTest::newRow("api_key a number") << QByteArray(R"({"poller":{"api_key":42}})") << "";
        QTest::newRow("api_key empty") << QByteArray(R"({"poller":{"api_key":""}})") << "";
    }
    void readPollerApiKey() {
        QFETCH(QByteArray, contents);
        QFETCH(QString, key);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("bramblekit.json"));
        if (contents == "<fifo>") {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (contents == "<folder>") {
            QVERIFY(QDir().mkdir(path));
        } else if (contents != "<none>") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(contents), contents.size());
        }
        QCOMPARE(GateConfig::readPollerApiKey(path),
                 key.isEmpty() ? std::nullopt : std::optional(key));
    }
};

QTEST_GUILESS_MAIN(GateConfigTest)
#include "tst_gateconfig.moc"
