#include "gate/GateConfig.h"
#include "platform/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {
constexpr QFile::Permissions modeBits = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                        QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                        QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
constexpr QFile::Permissions mode0600 = QFile::ReadOwner | QFile::WriteOwner;
constexpr QFile::Permissions mode0644 = mode0600 | QFile::ReadGroup | QFile::ReadOther;
constexpr QFile::Permissions mode0700 = mode0600 | QFile::ExeOwner;
constexpr QFile::Permissions mode0755 =
    mode0644 | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;

// Owner/group/other bits only: Qt adds the *User bits for whoever runs the test.
QFile::Permissions mode(const QString& path) {
    return QFile::permissions(path) & modeBits;
}

QJsonObject parse(const QByteArray& json) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qWarning("not a JSON object: %s", qPrintable(error.errorString()));
    }
    return document.object();
}

QByteArray sampleConfig() {
    return GateConfig::build(QStringLiteral("/data/kh"), QStringLiteral("key-1"), std::nullopt,
                             8790);
}

bool isRoot() {
    return ::geteuid() == 0;
}
} // namespace

class GateConfigTest : public QObject {
    Q_OBJECT
private slots:
    void buildHasExactlyTheGateMembers() {
        const QJsonObject config = parse(sampleConfig());
        QCOMPARE(config.keys(), (QStringList{"mcp", "poller", "queue", "receipts"}));
        QCOMPARE(config["queue"].toObject(), (QJsonObject{{"path", "/data/kh/queue.jsonl"}}));
        QCOMPARE(config["receipts"].toObject(), (QJsonObject{{"path", "/data/kh/receipts.jsonl"}}));
        QCOMPARE(config["poller"].toObject(), (QJsonObject{{"api_key", "key-1"}}));
        QCOMPARE(config["mcp"].toObject().keys(), QStringList{"confirmations"});
        const QJsonObject confirmations = config["mcp"]["confirmations"].toObject();
        QCOMPARE(confirmations.keys(), (QStringList{"host", "port", "room", "wake_script"}));
        QCOMPARE(confirmations["host"].toString(), "127.0.0.1");
        QCOMPARE(confirmations["wake_script"].toString(), "/usr/bin/true");
    }

    void buildPortAndRoom_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("hasRoom");
        QTest::addColumn<QString>("room");
        QTest::addColumn<QString>("served");
        QTest::newRow("absent room") << 8790 << false << ""
                                     << "kestrova";
        QTest::newRow("empty room") << 1 << true << ""
                                    << "kestrova";
        QTest::newRow("named room") << 65535 << true << "lab-7"
                                    << "lab-7";
    }
    void buildPortAndRoom() {
        QFETCH(int, port);
        QFETCH(bool, hasRoom);
        QFETCH(QString, room);
        const QByteArray json =
            GateConfig::build(QStringLiteral("/d"), QStringLiteral("k"),
                              hasRoom ? std::optional(room) : std::nullopt, quint16(port));
        const QJsonObject config = parse(json);
        const QJsonObject confirmations = config["mcp"]["confirmations"].toObject();
        QVERIFY2(confirmations["port"].isDouble(), "the port must be a JSON number");
        QCOMPARE(confirmations["port"].toInteger(), port);
        QTEST(confirmations["room"].toString(), "served");
    }

    void buildIsPrettyUnescapedUtf8() {
        const QByteArray json = sampleConfig();
        QVERIFY2(!json.contains("\\/"), json.constData());
        QVERIFY(json.contains("\"/data/kh/queue.jsonl\""));
        QVERIFY(!json.startsWith("\xEF\xBB\xBF"));
        QVERIFY(json.startsWith('{'));
        QVERIFY(json.count('\n') > 5);
        QVERIFY(json.contains("\n    \"")); // members indented on their own lines
    }

    void buildRoundTrips() {
        const QString supportDir = QStringLiteral("/home/ann/.local/share/Kestrova Helper");
        const QString apiKey = QStringLiteral("kß-ключ-🔑");
        const QByteArray json = GateConfig::build(supportDir, apiKey, std::nullopt, 8790);
        QVERIFY(json.contains(apiKey.toUtf8())); // written as UTF-8, not \u escapes
        const QJsonObject config = parse(json);
        QCOMPARE(config["queue"]["path"].toString(), supportDir + "/queue.jsonl");
        QCOMPARE(config["receipts"]["path"].toString(), supportDir + "/receipts.jsonl");
        QCOMPARE(GateConfig::pollerApiKey(json), std::optional(apiKey));
    }

    void pollerApiKey_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("key"); // empty means none
        QTest::newRow("valid") << QByteArray(R"({"poller":{"api_key":"abc"},"x":1})") << "abc";
        QTest::newRow("invalid json") << QByteArray(R"({"poller":{"api_key":"abc"})") << "";
        QTest::newRow("empty input") << QByteArray() << "";
        QTest::newRow("top-level array") << QByteArray(R"([{"poller":{"api_key":"a"}}])") << "";
        QTest::newRow("no poller") << QByteArray(R"({"api_key":"abc"})") << "";
        QTest::newRow("poller a string") << QByteArray(R"({"poller":"abc"})") << "";
        QTest::newRow("poller an array") << QByteArray(R"({"poller":[{"api_key":"a"}]})") << "";
        QTest::newRow("api_key a number") << QByteArray(R"({"poller":{"api_key":42}})") << "";
        QTest::newRow("api_key null") << QByteArray(R"({"poller":{"api_key":null}})") << "";
        QTest::newRow("api_key empty") << QByteArray(R"({"poller":{"api_key":""}})") << "";
    }
    void pollerApiKey() {
        QFETCH(QByteArray, json);
        QFETCH(QString, key);
        const auto expected = key.isEmpty() ? std::nullopt : std::optional(key);
        QCOMPARE(GateConfig::pollerApiKey(json), expected);
    }

    void readPollerApiKey_data() {
        const QByteArray valid = R"({"poller":{"api_key":"abc"},"pad":""})";
        const qsizetype limit = 1024 * 1024;
        // Valid documents padded to exactly the limit and one byte over it.
        QByteArray atLimit = valid;
        atLimit.insert(valid.size() - 2, QByteArray(limit - valid.size(), 'x'));
        QByteArray overLimit = atLimit;
        overLimit.insert(valid.size() - 2, 'x');
        QTest::addColumn<bool>("present");
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("key");
        QTest::newRow("valid file") << true << valid << "abc";
        QTest::newRow("missing file") << false << QByteArray() << "";
        QTest::newRow("invalid json") << true << QByteArray("{poller:") << "";
        QTest::newRow("exactly 1 MiB") << true << atLimit << "abc";
        QTest::newRow("over 1 MiB") << true << overLimit << "";
        QTest::newRow("non-UTF-8 garbage") << true << QByteArray("\xff\xfe\x00\x81\xc3(", 6) << "";
    }
    void readPollerApiKey() {
        QFETCH(bool, present);
        QFETCH(QByteArray, contents);
        QFETCH(QString, key);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("bramblekit.json"));
        if (present) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(contents), contents.size());
        }
        QCOMPARE(GateConfig::readPollerApiKey(path),
                 key.isEmpty() ? std::nullopt : std::optional(key));
    }

    void writePrivateFileCreatesOwnerOnly() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("secret.json"));
        QVERIFY(PrivateFiles::writePrivateFile(path, "s3cret").has_value());
        QCOMPARE(mode(path), mode0600);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), "s3cret");
    }

    void writePrivateFileTightensAndReplaces() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("secret.json"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("a much longer old secret");
        file.close();
        QVERIFY(file.setPermissions(mode0644));
        QVERIFY(PrivateFiles::writePrivateFile(path, "new").has_value());
        QCOMPARE(mode(path), mode0600);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), "new");
    }

    void writePrivateFileFails_data() {
        QTest::addColumn<QString>("where");
        QTest::newRow("missing folder") << "missing/secret.json";
        QTest::newRow("read-only folder") << "locked/secret.json";
        QTest::newRow("path is a folder") << "locked";
    }
    void writePrivateFileFails() {
        QFETCH(QString, where);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("locked"), mode0755 & ~QFile::WriteOwner));
        if (where.startsWith(u"locked/") && isRoot()) {
            QSKIP("root writes into read-only folders");
        }
        const auto written = PrivateFiles::writePrivateFile(dir.filePath(where), "s");
        QVERIFY(!written.has_value());
        QVERIFY(!written.error().isEmpty());
    }

    void makePrivateFolderCreatesParents() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("a/b/Kestrova Helper"));
        QVERIFY(PrivateFiles::makePrivateFolder(path));
        QVERIFY(QFileInfo(path).isDir());
        QCOMPARE(mode(path), mode0700);
    }

    void makePrivateFolderTightensExisting() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("support"));
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("support"), mode0755));
        QCOMPARE(mode(path), mode0755);
        QVERIFY(PrivateFiles::makePrivateFolder(path));
        QCOMPARE(mode(path), mode0700);
    }
};

QTEST_GUILESS_MAIN(GateConfigTest)
#include "tst_gateconfig.moc"
