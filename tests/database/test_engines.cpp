// Both engines against one contract. The SQL Server engine runs through unixODBC with SQLite's ODBC
// driver under a driver name of the test's own, on database files named as the databases; the
// T-SQL-only statements are checked by the exact text it sends.

#include "database/database_admin.h"
#include "database/embedded_engine.h"
#include "database/odbc_engine.h"
#include "eventlog/event_log.h"
#include "sqlite_fixture.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QTest>
#include <memory>

using namespace osk;
using namespace osk::test;

namespace {

const QString kSqliteDriverLibrary = QStringLiteral("/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so");
const QString kNoRecord = QStringLiteral("BOF o EOF es True, o el registro actual se eliminó. La operación "
                                         "solicitada requiere un registro actual.");

} // namespace

class TestEngines final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { QDir::setCurrent(m_previousFolder); }

    void contract_data();
    void contract();
    void sqlServerStatements();
    void listFillLogsInOncePerDatabase();
    void embeddedDropsAndBacksUp();

private:
    // The file of a database as the engine of the row keeps it.
    QString fileOf(const QString& database) const {
        return m_odbc ? m_folder->file(database) : m_folder->file(QStringLiteral("Data/") + database + ".db");
    }
    bool createDatabase(const QString& name, const QStringList& statements);
    std::unique_ptr<Engine> makeEngine();

    TempProgramFolder m_odbcConfig;
    std::unique_ptr<TempProgramFolder> m_folder;
    QString m_previousFolder;
    bool m_odbc = false;
    QStringList m_sent;
    QStringList m_logins;
};

void TestEngines::initTestCase() {
    // The driver manager reads its driver list from ODBCSYSINI on first use: set before any handle.
    QVERIFY(writeFileBytes(m_odbcConfig.file(QStringLiteral("odbcinst.ini")),
                           "[Osk Test SQLite]\nDriver=" + kSqliteDriverLibrary.toUtf8() + "\n"));
    QVERIFY(writeFileBytes(m_odbcConfig.file(QStringLiteral("odbc.ini")), QByteArray()));
    qputenv("ODBCSYSINI", m_odbcConfig.path().toUtf8());
    qputenv("ODBCINI", m_odbcConfig.file(QStringLiteral("odbc.ini")).toUtf8());
    m_previousFolder = QDir::currentPath();
}

// OskDB, two product databases (one without the components table), an update database and a
// database of another product; the SQLite driver opens "database=<name>" in the working folder.
void TestEngines::init() {
    m_folder = std::make_unique<TempProgramFolder>();
    QVERIFY(QDir().mkpath(m_folder->file(QStringLiteral("Data"))));
    QVERIFY(QDir::setCurrent(m_folder->path()));
    m_sent.clear();
    m_logins.clear();
    m_odbc = QByteArray(QTest::currentDataTag()) != "embedded" &&
             QByteArray(QTest::currentTestFunction()) != "embeddedDropsAndBacksUp";
    if (m_odbc && !QFile::exists(kSqliteDriverLibrary))
        QSKIP("SQLite's ODBC driver is not installed (scripts/install-deps.sh).");
    const QString sysobjects = QStringLiteral("CREATE TABLE sysobjects (name TEXT)");
    QVERIFY(createDatabase(
        QStringLiteral("OskDB"),
        {QStringLiteral("INSERT INTO OskVersion (Property, PropertyValue) VALUES ('AppVersion', '2.0'), "
                        "('AppDBRevision', '17'), ('AppOskServerHost', 'SRV1'), ('AppUsrMode', NULL)")}));
    QVERIFY(createDatabase(
        QStringLiteral("oskdemo"),
        {QStringLiteral("INSERT INTO OskVersion (Property, PropertyValue) VALUES ('AppVersion', '2.0'), "
                        "('AppDBRevision', '3'), ('AppEXERevision', NULL)"),
         kComponentsTable, sysobjects, QStringLiteral("INSERT INTO sysobjects VALUES ('oskComponents')")}));
    QVERIFY(createDatabase(
        QStringLiteral("OSKVentas"),
        {QStringLiteral("INSERT INTO OskVersion (Property, PropertyValue) VALUES ('AppDBRevision', '9')"),
         sysobjects}));
    QVERIFY(createDatabase(QStringLiteral("OskDBUpdate"), {}));
    QVERIFY(createDatabase(QStringLiteral("demo_osk"), {}));
    QVERIFY(SqliteFile(m_folder->file(QStringLiteral("Master")))
                .run({QStringLiteral("CREATE TABLE sysDatabases (name TEXT)"),
                      QStringLiteral("INSERT INTO sysDatabases VALUES ('master'), ('OskDB'), ('oskdemo'), "
                                     "('OskDBUpdate'), ('OSKVentas'), ('demo_osk')")}));
}

bool TestEngines::createDatabase(const QString& name, const QStringList& statements) {
    return SqliteFile(fileOf(name)).run(QStringList{kPropertyTable} + statements);
}

std::unique_ptr<Engine> TestEngines::makeEngine() {
    if (!m_odbc)
        return std::make_unique<EmbeddedEngine>(m_folder->file(QStringLiteral("Data")));
    OdbcOptions options;
    options.serverName = QStringLiteral("SRV1");
    options.driver = QStringLiteral("Osk Test SQLite");
    options.principalSetup.clear(); // SQLite knows no SET statements
    options.statementListener = [this](const QString& text) {
        m_sent << text;
    };
    options.connectionListener = [this](const QString& database) {
        m_logins << database;
    };
    return std::make_unique<OdbcEngine>(std::move(options));
}

void TestEngines::contract_data() {
    QTest::addColumn<int>("unused");
    QTest::newRow("embedded") << 0;
    QTest::newRow("SQL Server over ODBC") << 0;
}

void TestEngines::contract() {
    const std::unique_ptr<Engine> engine = makeEngine();

    QVERIFY(engine->openPrincipal().ok());
    QCOMPARE(valueOr(engine->principalPropertyThirdColumn(QStringLiteral("AppOskServerHost")), QString()),
             QStringLiteral("SRV1"));
    QVERIFY(engine->principalPropertyThirdColumn(QStringLiteral("AppUsrMode"))->isNull());
    QCOMPARE(engine->principalPropertyThirdColumn(QStringLiteral("App'Missing")).error(), kNoRecord);

    QCOMPARE(valueOr(engine->listProductDatabases(), QStringList()),
             (QStringList{QStringLiteral("OskDB"), QStringLiteral("oskdemo"), QStringLiteral("OSKVentas")}));

    // Values are bound, not pasted: an apostrophe is stored as it is, a key that tries to widen
    // the WHERE changes nothing.
    const QString demo = QStringLiteral("oskdemo");
    QCOMPARE(valueOr(engine->readProperty(demo, QStringLiteral("AppDBRevision")), PropertyValue())
                 .value_or(QString()),
             QStringLiteral("3"));
    QVERIFY(!engine->readProperty(demo, QStringLiteral("AppUsrMode"))->has_value());
    QVERIFY(engine->readProperty(demo, QStringLiteral("AppEXERevision"))->value().isNull());
    QVERIFY(engine->updateProperty(demo, QStringLiteral("AppVersion"), QStringLiteral("O'Brien")).ok());
    QVERIFY(engine->updateProperty(demo, QStringLiteral("x' OR '1'='1"), QStringLiteral("hacked")).ok());
    QVERIFY(!engine->readProperty(QStringLiteral("Master"), QStringLiteral("AppVersion")).ok());

    // Components: a row replaced by name and by number, its content in pieces, the length held.
    QVERIFY(SqliteFile(fileOf(demo))
                .run({QStringLiteral("INSERT INTO oskComponents VALUES (1, 'Old.dll', x'00'), "
                                     "(7, 'Osk2.exe', x'01'), (3, 'Keep.dll', x'02')")}));
    {
        auto opened = engine->openComponentWriter(demo);
        QVERIFY2(opened.ok(), qPrintable(opened.error()));
        ComponentWriter& writer = **opened;
        QCOMPARE(valueOr(writer.hasComponentsTable(), false), true);
        QVERIFY(writer.addComponent(1, QStringLiteral("Osk2.exe")).ok());
        QVERIFY(writer.beginContent(1, 5).ok());
        QVERIFY(writer.appendContent("ab").ok());
        QVERIFY(writer.appendContent("cde").ok());
        QVERIFY(writer.endContent().ok());
        QVERIFY(writer.addComponent(2, QStringLiteral("Año.dll")).ok());
        QVERIFY(writer.beginContent(2, 4).ok());
        QVERIFY(writer.appendContent("abc").ok());
        QVERIFY(!writer.appendContent("de").ok());
        QVERIFY(!writer.endContent().ok());
        QVERIFY(writer.addComponent(4, QStringLiteral("b.bin")).ok());
        QVERIFY(writer.beginContent(4, 4).ok());
        QVERIFY(writer.appendContent("ab").ok());
        QVERIFY(!writer.endContent().ok());
        QVERIFY(writer.updateProperty(QStringLiteral("AppEXERevision"), QStringLiteral("1.2.3.4")).ok());
    }
    SqliteFile file(fileOf(demo));
    // The embedded engine takes away the row of a content that failed; the ODBC writer still
    // leaves it with a null FileObject.
    QStringList components{QStringLiteral("1|Osk2.exe|X'6162636465'"), QStringLiteral("3|Keep.dll|X'02'")};
    if (m_odbc)
        components.insert(1, QStringLiteral("2|Año.dll|NULL"));
    QCOMPARE(file.rows("SELECT IdNumero, FileName, quote(FileObject) FROM oskComponents WHERE IdNumero <> 4 "
                       "ORDER BY IdNumero"),
             components);
    if (!m_odbc)
        QCOMPARE(file.rows("SELECT IdNumero FROM oskComponents WHERE IdNumero = 4"), QStringList());
    QCOMPARE(file.rows("SELECT Property, PropertyValue FROM OskVersion ORDER BY Id"),
             (QStringList{QStringLiteral("AppVersion|O'Brien"), QStringLiteral("AppDBRevision|3"),
                          QStringLiteral("AppEXERevision|1.2.3.4")}));

    auto withoutTable = engine->openComponentWriter(QStringLiteral("OSKVentas"));
    QVERIFY(withoutTable.ok());
    QCOMPARE(valueOr((*withoutTable)->hasComponentsTable(), true), false);
}

void TestEngines::sqlServerStatements() {
    OdbcOptions options;
    options.serverName = QStringLiteral("SRV1\\SQL2000");
    QCOMPARE(OdbcEngine(options).connectString(QStringLiteral("OskDB")),
             QStringLiteral("uid=Osk;pwd=kq7351;driver={SQL Server};Regional=Yes;server=SRV1\\SQL2000;"
                            "database=OskDB;TDS_Version=7.1;ClientCharset=UTF-8;"));
    options.serverName = QStringLiteral("srv1");
    QVERIFY(OdbcEngine(options).isLocal(QStringLiteral("SRV1")));
    QVERIFY(!OdbcEngine(options).isLocal(QStringLiteral("SRV2")));

    // Names bracket-quoted, file names apostrophe-quoted; SQLite refuses both statements.
    const std::unique_ptr<Engine> engine = makeEngine();
    QVERIFY(engine->openPrincipal().ok());
    m_sent.clear();
    QVERIFY(!engine->dropDatabase(QStringLiteral("osk]demo")).ok());
    QVERIFY(!engine->backupDatabase(QStringLiteral("osk'demo"), QStringLiteral("C:\\it's.bak")).ok());
    QCOMPARE(m_sent,
             (QStringList{QStringLiteral("Drop DATABASE [osk]]demo]"),
                          QStringLiteral("BACKUP DATABASE [osk'demo]\r\nTO DISK = 'C:\\it''s.bak'")}));

    // A backup is judged by what the server said: classes 00 and 01 are no error.
    const ServerMessage progress{QStringLiteral("01000"), QStringLiteral("Processed 184 pages.")};
    const ServerMessage device{QStringLiteral("42000"), QStringLiteral("Cannot open backup device.")};
    QVERIFY(judgeByMessages({progress, {QStringLiteral("00000"), QString()}}, false).ok());
    QCOMPARE(
        judgeByMessages({progress, device, {QStringLiteral("42000"), QStringLiteral("x")}}, false).error(),
        device.text);
    QCOMPARE(judgeByMessages({progress}, true).error(),
             QStringLiteral("La instrucción ha fallado sin un mensaje del servidor."));
}

// Each login costs a round of authentication on a real server: a fill logs in to master once and
// to each listed database once, however many statements that database takes.
void TestEngines::listFillLogsInOncePerDatabase() {
    const std::unique_ptr<Engine> engine = makeEngine();
    FakeClock clock;
    ScriptedOperator op;
    EventLog log(clock, op, m_folder->path());
    DatabaseListModel list;
    QVERIFY(DatabaseAdmin(*engine, log, op, list).CargaBasesDatos(1033, QStringLiteral("SRV1")));
    QCOMPARE(m_logins, (QStringList{QStringLiteral("Master"), QStringLiteral("OskDB"),
                                    QStringLiteral("oskdemo"), QStringLiteral("OSKVentas")}));
}

void TestEngines::embeddedDropsAndBacksUp() {
    EmbeddedEngine engine(m_folder->file(QStringLiteral("Data")));
    const QString backup = m_folder->file(QStringLiteral("demo.bak"));
    QVERIFY(writeFileBytes(backup, "an older backup"));
    QVERIFY(engine.backupDatabase(QStringLiteral("oskdemo"), backup).ok());
    QCOMPARE(SqliteFile(backup).rows("SELECT PropertyValue FROM OskVersion WHERE Property='AppDBRevision'"),
             QStringList{QStringLiteral("3")});

    {
        SqliteFile reader(fileOf(QStringLiteral("oskdemo")));
        QVERIFY(reader.run({QStringLiteral("BEGIN"), QStringLiteral("SELECT * FROM OskVersion"),
                            QStringLiteral("INSERT INTO OskVersion (Property) VALUES ('Busy')")}));
        QCOMPARE(engine.dropDatabase(QStringLiteral("oskdemo")).error(),
                 QStringLiteral("No se puede eliminar la base de datos 'oskdemo' porque está en uso."));
    }
    QVERIFY(engine.dropDatabase(QStringLiteral("oskdemo")).ok());
    QVERIFY(!QFile::exists(fileOf(QStringLiteral("oskdemo"))));
    QVERIFY(!engine.dropDatabase(QStringLiteral("../OskDB")).ok());

    // A new product database is listed, with its components table; a name it would not list is refused.
    QVERIFY(engine.createProductDatabase(QStringLiteral("oskNueva")).ok());
    QVERIFY(!engine.createProductDatabase(QStringLiteral("OSKNUEVA")).ok());
    QVERIFY(!engine.createProductDatabase(QStringLiteral("ventas")).ok());
    QVERIFY(valueOr((*engine.openComponentWriter(QStringLiteral("oskNueva")))->hasComponentsTable(), false));
    QCOMPARE(valueOr(engine.listProductDatabases(), QStringList()),
             (QStringList{QStringLiteral("OskDB"), QStringLiteral("oskNueva"), QStringLiteral("OSKVentas")}));
}

QTEST_GUILESS_MAIN(TestEngines)
#include "test_engines.moc"
