#include "gate/GateConfig.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class GateConfigTest : public QObject {
    Q_OBJECT
private slots:
    // What the gate reads back: the key unharmed, its files, loopback only, the port and room.
    void build() {
        const QString dir = QStringLiteral("/home/ann/.local/share/Kestrova Helper");
        const QString key = QStringLiteral("kß-ключ-🔑");
        const QByteArray json = GateConfig::build(dir, key, std::nullopt, 8790);
        QCOMPARE(GateConfig::pollerApiKey(json), std::optional(key));
        const QJsonObject config = QJsonDocument::fromJson(json).object();
        QCOMPARE(config["queue"]["path"].toString(), dir + "/queue.jsonl");
        const QJsonObject confirmations = config["mcp"]["confirmations"].toObject();
        QCOMPARE(confirmations["host"].toString(), "127.0.0.1");
        QCOMPARE(confirmations["port"].toInteger(-1), 8790); // a number, not a string
        QCOMPARE(confirmations["room"].toString(), "kestrova");
        const auto named =
            QJsonDocument::fromJson(GateConfig::build("/d", "k", QString("lab-7"), 1));
        QCOMPARE(named["mcp"]["confirmations"]["room"].toString(), "lab-7");
    }

    // A developer's own gate file: one kind of bad file after another, none yields a key.
    void readPollerApiKey() {
        QTemporaryDir dir;
        const QString fifo = dir.filePath(QStringLiteral("fifo"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(!GateConfig::readPollerApiKey(fifo)); // and at once
        const QByteArray valid = R"({"poller":{"api_key":"abc"},"pad":""})";
        for (const QByteArray& contents :
             {valid, QByteArray(valid).insert(valid.size() - 2, QByteArray(1024 * 1024, 'x')),
              QByteArray(R"({"poller":{"api_key":"abc"})"),
              QByteArray(R"({"poller":{"api_key":42}})")}) {
            QFile file(dir.filePath(QStringLiteral("bramblekit.json")));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size());
            file.close();
            QCOMPARE(GateConfig::readPollerApiKey(file.fileName()),
                     contents == valid ? std::optional(QStringLiteral("abc")) : std::nullopt);
        }
    }
};

QTEST_GUILESS_MAIN(GateConfigTest)
#include "tst_gateconfig.moc"
