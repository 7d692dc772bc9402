#include "config/main_settings.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QFile>
#include <QTest>

Q_DECLARE_METATYPE(osk::EngineKind)

namespace osk {

namespace {

// A settings file in a folder of its own, holding `content`, or no file at all for a null content.
class SettingsFixture final {
public:
    explicit SettingsFixture(const QByteArray& content = QByteArray()) {
        if (!content.isNull())
            test::writeFileBytes(path(), content);
    }
    QString path() const { return m_folder.file(kSettingsFileName); }
    QByteArray content() const { return test::readFileBytes(path()); }

private:
    test::TempProgramFolder m_folder;
};

} // namespace

class TestMainSettings final : public QObject {
    Q_OBJECT

private slots:
    void defaults_data();
    void defaults();
    void port_data();
    void port();
    void startFlags_data();
    void startFlags();
    void unwritableFileStillGivesDefaultPort();
    void maxUsers_data();
    void maxUsers();
    void engine_data();
    void engine();
};

void TestMainSettings::defaults_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("expectedContent");
    const QByteArray garbage("[Main]\r\nPort=puerto\r\nOSInit=si\r\nMinInit=no\r\nMaxUsers=muchos\r\n"
                             "Engine=Oracle\r\nSQLServer=\r\n");
    QTest::newRow("no file") << QByteArray() << QByteArray("[Main]\r\nPort=1033\r\n");
    QTest::newRow("garbage") << garbage << QByteArray(garbage).replace("puerto", "1033");
}

// Only the port is written back; every other key keeps its garbage.
void TestMainSettings::defaults() {
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, expectedContent);
    SettingsFixture fixture(content);
    ProfileFile file(fixture.path());

    const MainSettings settings = CargaValores(file);

    QCOMPARE(fixture.content(), expectedContent);
    QCOMPARE(settings.port, 1033);
    QVERIFY(!settings.autoStart);
    QVERIFY(!settings.minStart);
    QCOMPARE(settings.sqlServerName, QString());
    QCOMPARE(settings.engine, EngineKind::Embedded);
    QCOMPARE(settings.maxUsers, 255);
    QCOMPARE(settings.computerName, computerName());
}

void TestMainSettings::port_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("expectedPort");
    QTest::addColumn<QByteArray>("expectedContent");

    const QByteArray head("; puerto\r\n[Main]\r\nSQLServer=SRV\r\n");
    auto withPort = [&](const QByteArray& port) {
        return head + "Port=" + port + "\r\nOSInit=1\r\n";
    };
    const QByteArray defaulted = withPort("1033");

    QTest::newRow("stored port") << withPort("1034") << 1034 << withPort("1034");
    QTest::newRow("numeric start") << withPort("2000abc") << 2000 << withPort("2000abc");
    QTest::newRow("exponent") << withPort("1e3") << 1000 << withPort("1e3");
    QTest::newRow("half rounds to even") << withPort("2000.5") << 2000 << withPort("2000.5");
    QTest::newRow("above 16 bits signed") << withPort("40000") << 40000 << withPort("40000");
    QTest::newRow("largest TCP port") << withPort("65535") << 65535 << withPort("65535");
    QTest::newRow("stored 0") << withPort("0") << 1033 << defaulted;
    QTest::newRow("rounds to 0") << withPort("0.4") << 1033 << defaulted;
    QTest::newRow("not numeric") << withPort("abc") << 1033 << defaulted;
    QTest::newRow("empty") << withPort("") << 1033 << defaulted;
    QTest::newRow("negative") << withPort("-1") << 1033 << defaulted;
    QTest::newRow("beyond TCP ports") << withPort("65536") << 1033 << defaulted;
    QTest::newRow("huge") << withPort("1e400") << 1033 << defaulted;
    QTest::newRow("key missing") << head << 1033 << QByteArray(head + "Port=1033\r\n");
    QTest::newRow("section missing") << QByteArray("[Backup1]\r\nType=1\r\n") << 1033
                                     << QByteArray("[Backup1]\r\nType=1\r\n[Main]\r\nPort=1033\r\n");
    QTest::newRow("port only in another section")
        << QByteArray("[Backup1]\r\nPort=2000\r\n[Main]\r\n") << 1033
        << QByteArray("[Backup1]\r\nPort=2000\r\n[Main]\r\nPort=1033\r\n");
}

void TestMainSettings::port() {
    QFETCH(QByteArray, content);
    QFETCH(int, expectedPort);
    QFETCH(QByteArray, expectedContent);

    SettingsFixture fixture(content);
    ProfileFile file(fixture.path());

    QCOMPARE(CargaValores(file).port, expectedPort);
    QCOMPARE(fixture.content(), expectedContent);
}

void TestMainSettings::startFlags_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("on");

    QTest::newRow("1") << QByteArray("1") << true;
    QTest::newRow("2") << QByteArray("2") << true;
    QTest::newRow("-1") << QByteArray("-1") << true;
    QTest::newRow("fraction") << QByteArray("0.5") << true;
    QTest::newRow("numeric start") << QByteArray("1abc") << true;
    QTest::newRow("0") << QByteArray("0") << false;
    QTest::newRow("0.0") << QByteArray("0.0") << false;
    QTest::newRow("empty") << QByteArray("") << false;
    QTest::newRow("yes") << QByteArray("yes") << false;
    QTest::newRow("true") << QByteArray("True") << false;
}

void TestMainSettings::startFlags() {
    QFETCH(QByteArray, value);
    QFETCH(bool, on);

    // Each flag alone, so that a flag read from the other's key shows.
    for (const QByteArray key : {"OSInit", "MinInit"}) {
        SettingsFixture fixture("[Main]\r\nPort=1033\r\n" + key + "=" + value + "\r\n");
        ProfileFile file(fixture.path());
        const MainSettings settings = CargaValores(file);
        QCOMPARE(settings.autoStart, on && key == "OSInit");
        QCOMPARE(settings.minStart, on && key == "MinInit");
    }
}

void TestMainSettings::unwritableFileStillGivesDefaultPort() {
    test::TempProgramFolder folder;
    ProfileFile file(folder.file(QStringLiteral("missing/") + kSettingsFileName));

    const MainSettings settings = CargaValores(file);

    QCOMPARE(settings.port, kDefaultPort);
    QVERIFY(!file.exists());
}

void TestMainSettings::maxUsers_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("expected");

    QTest::newRow("missing") << QByteArray() << 255;
    QTest::newRow("empty") << QByteArray("MaxUsers=") << 255;
    QTest::newRow("zero") << QByteArray("MaxUsers=0") << 0;
    QTest::newRow("plain") << QByteArray("MaxUsers=12") << 12;
    QTest::newRow("blanks") << QByteArray("maxusers =  12 ") << 12;
    QTest::newRow("leading zeros") << QByteArray("MaxUsers=007") << 7;
    QTest::newRow("largest") << QByteArray("MaxUsers=255") << 255;
    QTest::newRow("too large") << QByteArray("MaxUsers=256") << 255;
    QTest::newRow("far too large") << QByteArray("MaxUsers=99999999999") << 255;
    QTest::newRow("negative") << QByteArray("MaxUsers=-1") << 255;
    QTest::newRow("plus sign") << QByteArray("MaxUsers=+5") << 255;
    QTest::newRow("fraction") << QByteArray("MaxUsers=1.5") << 255;
    QTest::newRow("trailing text") << QByteArray("MaxUsers=12abc") << 255;
    QTest::newRow("word") << QByteArray("MaxUsers=diez") << 255;
}

void TestMainSettings::maxUsers() {
    QFETCH(QByteArray, line);
    QFETCH(int, expected);

    SettingsFixture fixture("[Main]\r\nPort=1033\r\n" + line + "\r\n");
    const ProfileFile file(fixture.path());

    QCOMPARE(readMaxUsers(file), expected);
}

void TestMainSettings::engine_data() {
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<EngineKind>("expected");
    QTest::addColumn<QString>("serverName");

    QTest::newRow("SQL Server, no name") << QByteArray("Engine=SQLServer\r\n") << EngineKind::SqlServer << "";
    QTest::newRow("SQL Server in other case")
        << QByteArray("Engine=sqlserver\r\nSQLServer=SRV\r\n") << EngineKind::SqlServer << "SRV";
    QTest::newRow("embedded beats a server name")
        << QByteArray("Engine=embedded\r\nSQLServer=SRV\r\n") << EngineKind::Embedded << "SRV";
    QTest::newRow("embedded, no name") << QByteArray("Engine=Embedded\r\n") << EngineKind::Embedded << "";
    QTest::newRow("missing, server name")
        << QByteArray("SQLServer=(local)\r\n") << EngineKind::SqlServer << "(local)";
    QTest::newRow("missing, empty name") << QByteArray("SQLServer=\r\n") << EngineKind::Embedded << "";
    QTest::newRow("missing, no name") << QByteArray() << EngineKind::Embedded << "";
    QTest::newRow("unknown, server name")
        << QByteArray("Engine=Oracle\r\nSQLServer=SRV\r\n") << EngineKind::SqlServer << "SRV";
    QTest::newRow("unknown, no name") << QByteArray("Engine=Oracle\r\n") << EngineKind::Embedded << "";
    QTest::newRow("name in another section")
        << QByteArray("[Other]\r\nSQLServer=SRV\r\n") << EngineKind::Embedded << "";
}

void TestMainSettings::engine() {
    QFETCH(QByteArray, lines);
    QFETCH(EngineKind, expected);
    QFETCH(QString, serverName);

    SettingsFixture fixture("[Main]\r\nPort=1033\r\n" + lines);
    ProfileFile file(fixture.path());

    QCOMPARE(chooseEngine(file), expected);
    const MainSettings settings = CargaValores(file);
    QCOMPARE(settings.engine, expected);
    QCOMPARE(settings.sqlServerName, serverName);
}

} // namespace osk

QTEST_GUILESS_MAIN(osk::TestMainSettings)
#include "test_main_settings.moc"
