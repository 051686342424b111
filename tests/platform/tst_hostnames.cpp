#include "platform/HostNames.h"

#include <QTest>

class HostNamesTest : public QObject {
    Q_OBJECT
private slots:
    void prettyHostName_data() {
        QTest::addColumn<QByteArray>("machineInfo");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << QByteArray("PRETTY_HOSTNAME=Studio\n") << "Studio";
        QTest::newRow("double-quoted")
            << QByteArray("PRETTY_HOSTNAME=\"Anna's Studio\"\n") << "Anna's Studio";
        QTest::newRow("single-quoted")
            << QByteArray("PRETTY_HOSTNAME='Studio Two'\n") << "Studio Two";
        QTest::newRow("escaped quote")
            << QByteArray(R"(PRETTY_HOSTNAME="The \"Big\" Box")") << "The \"Big\" Box";
        // Tools that write the file escape $ and ` inside double quotes as a shell would.
        QTest::newRow("escaped dollar")
            << QByteArray(R"(PRETTY_HOSTNAME="Cost \$5 Box")") << "Cost $5 Box";
        QTest::newRow("not ASCII") << QByteArray("PRETTY_HOSTNAME=\"Zo\xc3\xab's Mac\"\n")
                                   << QString::fromUtf8("Zo\xc3\xab's Mac");
        QTest::newRow("absent") << QByteArray("CHASSIS=laptop\nDEPLOYMENT=production\n") << "";
        QTest::newRow("empty value") << QByteArray("PRETTY_HOSTNAME=\n") << "";
        QTest::newRow("among other keys")
            << QByteArray("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Studio\"\nLOCATION=Desk\n")
            << "Studio";
        QTest::newRow("leading spaces") << QByteArray("   PRETTY_HOSTNAME=Studio\n") << "Studio";
        QTest::newRow("longer key")
            << QByteArray("PRETTY_HOSTNAME_OLD=Old\nPRETTY_HOSTNAME=New") << "New";
        QTest::newRow("commented out")
            << QByteArray("#PRETTY_HOSTNAME=Old\nPRETTY_HOSTNAME=New") << "New";
        QTest::newRow("windows line ends")
            << QByteArray("CHASSIS=laptop\r\nPRETTY_HOSTNAME=Studio\r\n") << "Studio";
    }
    void prettyHostName() {
        QFETCH(QByteArray, machineInfo);
        QTEST(HostNames::prettyHostName(machineInfo), "expected");
    }
};

QTEST_GUILESS_MAIN(HostNamesTest)

#include "tst_hostnames.moc"
