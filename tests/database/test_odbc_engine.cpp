// The SQL Server engine through unixODBC with real drivers: the SQLite ODBC driver, registered under
// a driver name of the test's own, runs every statement SQLite understands against database files;
// the T-SQL-only statements are checked by the exact text sent; FreeTDS's driver meets a port where
// nothing listens.

#include "app/engine_factory.h"
#include "config/profile_file.h"
#include "database/database_admin.h"
#include "database/odbc_engine.h"
#include "database/record_errors.h"
#include "eventlog/event_log.h"
#include "sqlite_fixture.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using namespace osk;
using namespace osk::test;

namespace {

const QString kSqliteDriver = QStringLiteral("Osk Test SQLite");
const QString kFreeTdsDriver = QStringLiteral("Osk Test FreeTDS");
const QString kSqliteLibrary = QStringLiteral("/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so");
const QString kFreeTdsLibrary = QStringLiteral("/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so");

QString digest(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

// The components table as the file holds it: "number name content-digest", or NULL for no content.
QStringList componentRows(const QString& path) {
    QStringList rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db,
                               "SELECT IdNumero, FileName, FileObject FROM oskComponents ORDER BY IdNumero",
                               -1, &st, nullptr) == SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW) {
                const QByteArray blob(static_cast<const char*>(sqlite3_column_blob(st, 2)),
                                      sqlite3_column_bytes(st, 2));
                rows << QStringLiteral("%1 %2 %3")
                            .arg(sqlite3_column_int(st, 0))
                            .arg(QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 1))),
                                 sqlite3_column_type(st, 2) == SQLITE_NULL ? QStringLiteral("NULL")
                                                                           : digest(blob));
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return rows;
}

template <typename... Values> void row(const char* name, Values... values) {
    (QTest::newRow(name) << ... << values);
}

QByteArray patterned(qint64 size, int seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed * 7 + i / 251) & 0xff);
    return bytes;
}

} // namespace

class TestOdbcEngine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void connectStrings();
    void settingsChooseDriverAndTimeouts_data();
    void settingsChooseDriverAndTimeouts();
    void principalSessionAndThirdColumn();
    void principalFailuresLeaveItClosed();
    void databaseList();
    void listFillLogsInOncePerDatabase();
    void propertiesAreBoundNotPasted();
    void dropAndBackupTexts();
    void backupJudgedByServerMessages_data();
    void backupJudgedByServerMessages();
    void componentsStoredByteForByte_data();
    void componentsStoredByteForByte();
    void componentRowsReplaced();
    void componentLengthEnforced();
    void componentsTableMissing();
    void updateTextPieces();
    void unreachableServerFailsWithDriverMessage();

private:
    OdbcOptions sqliteOptions();
    QString dbFile(const QString& name) const { return QDir(m_data->path()).filePath(name); }

    QTemporaryDir m_odbcConfig;
    std::unique_ptr<QTemporaryDir> m_data;
    QString m_previousFolder;
    QStringList m_sent;
};

void TestOdbcEngine::initTestCase() {
    if (!QFile::exists(kSqliteLibrary) || !QFile::exists(kFreeTdsLibrary))
        QSKIP("The SQLite and FreeTDS ODBC drivers are not installed (scripts/install-deps.sh).");
    QVERIFY(m_odbcConfig.isValid());
    // The driver manager reads its driver list from ODBCSYSINI on first use: set before any handle.
    const QByteArray drivers = "[" + kSqliteDriver.toUtf8() + "]\nDriver=" + kSqliteLibrary.toUtf8() +
                               "\n\n[" + kFreeTdsDriver.toUtf8() + "]\nDriver=" + kFreeTdsLibrary.toUtf8() +
                               "\n";
    QVERIFY(writeFileBytes(QDir(m_odbcConfig.path()).filePath(QStringLiteral("odbcinst.ini")), drivers));
    QVERIFY(writeFileBytes(QDir(m_odbcConfig.path()).filePath(QStringLiteral("odbc.ini")), QByteArray()));
    QVERIFY(writeFileBytes(QDir(m_odbcConfig.path()).filePath(QStringLiteral("freetds.conf")), QByteArray()));
    qputenv("ODBCSYSINI", m_odbcConfig.path().toUtf8());
    qputenv("ODBCINI", QDir(m_odbcConfig.path()).filePath(QStringLiteral("odbc.ini")).toUtf8());
    qputenv("FREETDSCONF", QDir(m_odbcConfig.path()).filePath(QStringLiteral("freetds.conf")).toUtf8());
    m_previousFolder = QDir::currentPath();
}

// The SQLite driver opens "database=<name>" relative to the working folder: each test's databases
// are files named as the databases, in a folder of their own.
void TestOdbcEngine::init() {
    m_data = std::make_unique<QTemporaryDir>();
    QVERIFY(m_data->isValid());
    QVERIFY(QDir::setCurrent(m_data->path()));
    m_sent.clear();

    QVERIFY(createProductDatabase(dbFile(QStringLiteral("OskDB")),
                                  {{QStringLiteral("AppVersion"), QStringLiteral("2.0")},
                                   {QStringLiteral("AppDBRevision"), QStringLiteral("17")},
                                   {QStringLiteral("AppOskServerHost"), QStringLiteral("SRV1")},
                                   {QStringLiteral("AppUsrMode"), std::nullopt}}));
    QVERIFY(createProductDatabase(dbFile(QStringLiteral("oskdemo")),
                                  {{QStringLiteral("AppVersion"), QStringLiteral("2.0")},
                                   {QStringLiteral("AppDBRevision"), QStringLiteral("3")},
                                   {QStringLiteral("AppOskServerHost"), QStringLiteral("old")},
                                   {QStringLiteral("AppEXERevision"), std::nullopt}}));
    QVERIFY(runSql(
        dbFile(QStringLiteral("oskdemo")),
        {QStringLiteral("CREATE TABLE oskComponents (IdNumero INTEGER, FileName TEXT, FileObject BLOB)"),
         QStringLiteral("CREATE TABLE sysobjects (name TEXT)"),
         QStringLiteral("INSERT INTO sysobjects VALUES ('OskVersion'), ('oskComponents')")}));
    QVERIFY(runSql(dbFile(QStringLiteral("Master")),
                   {QStringLiteral("CREATE TABLE sysDatabases (name TEXT)"),
                    QStringLiteral("INSERT INTO sysDatabases VALUES ('master'), ('OskDB'), ('tempdb'), "
                                   "('oskdemo'), ('OskDBUpdate'), ('OSKVentas'), ('model'), ('demo_osk')")}));
}

void TestOdbcEngine::cleanup() {
    QDir::setCurrent(m_previousFolder);
}

OdbcOptions TestOdbcEngine::sqliteOptions() {
    OdbcOptions options;
    options.serverName = QStringLiteral("SRV1");
    options.driver = kSqliteDriver;
    options.statementListener = [this](const QString& text) {
        m_sent << text;
    };
    return options;
}

void TestOdbcEngine::connectStrings() {
    OdbcOptions options;
    options.serverName = QStringLiteral("SRV1\\SQL2000");
    const OdbcEngine engine(options);
    QCOMPARE(engine.connectString(QStringLiteral("OskDB")),
             QStringLiteral("uid=Osk;pwd=kq7351;driver={SQL Server};Regional=Yes;server=SRV1\\SQL2000;"
                            "database=OskDB;TDS_Version=7.1;ClientCharset=UTF-8;"));
    // On this computer exactly when the name is the computer's, in any case.
    QVERIFY(!engine.isLocal(QStringLiteral("srv1")));
    options.serverName = QStringLiteral("srv1");
    QVERIFY(OdbcEngine(options).isLocal(QStringLiteral("SRV1")));
    QVERIFY(!OdbcEngine(options).isLocal(QStringLiteral("SRV2")));

    options.tdsVersion.clear();
    options.serverName = QStringLiteral("(local)");
    const OdbcEngine withoutTds(options);
    QCOMPARE(withoutTds.connectString(QStringLiteral("Master")),
             QStringLiteral(
                 "uid=Osk;pwd=kq7351;driver={SQL Server};Regional=Yes;server=(local);database=Master;"));
    QVERIFY(!withoutTds.isLocal(QStringLiteral("SRV2")));
}

void TestOdbcEngine::settingsChooseDriverAndTimeouts_data() {
    QTest::addColumn<QByteArray>("main");
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("tdsVersion");
    QTest::addColumn<int>("loginTimeout");
    row("defaults", QByteArray(), "SQL Server", "7.1", 5);
    row("all set",
        QByteArray("ODBCDriver=ODBC Driver 18 for SQL Server\r\nTDSVersion=7.4\r\n"
                   "LoginTimeout=12\r\n"),
        "ODBC Driver 18 for SQL Server", "7.4", 12);
    row("time-out not a number", QByteArray("LoginTimeout=5s\r\n"), "SQL Server", "7.1", 5);
    row("time-out zero", QByteArray("LoginTimeout=0\r\n"), "SQL Server", "7.1", 5);
    row("time-out too long", QByteArray("LoginTimeout=301\r\n"), "SQL Server", "7.1", 5);
    row("longest time-out", QByteArray("LoginTimeout=300\r\n"), "SQL Server", "7.1", 300);
    row("no FreeTDS keys", QByteArray("ODBCDriver=ODBC Driver 18 for SQL Server\r\nTDSVersion=None\r\n"),
        "ODBC Driver 18 for SQL Server", "", 5);
    row("empty values", QByteArray("ODBCDriver=\r\nTDSVersion=\r\n"), "SQL Server", "7.1", 5);
}

// The settings reach the engine the factory makes for SQL Server.
void TestOdbcEngine::settingsChooseDriverAndTimeouts() {
    QFETCH(QByteArray, main);
    QFETCH(QString, driver);
    QFETCH(QString, tdsVersion);
    QFETCH(int, loginTimeout);
    QTemporaryDir folder;
    QVERIFY(writeFileBytes(QDir(folder.path()).filePath(QStringLiteral("OskServer.INI")),
                           "[Main]\r\nSQLServer=SRV1\r\n" + main));
    const std::unique_ptr<Engine> engine =
        makeEngine(EngineKind::SqlServer, folder.path(), QStringLiteral("SRV1\\OSK"));
    const auto* odbc = dynamic_cast<const OdbcEngine*>(engine.get());
    QVERIFY(odbc);
    QCOMPARE(odbc->serverDisplayName(), QStringLiteral("SRV1\\OSK"));
    QCOMPARE(odbc->options().driver, driver);
    QCOMPARE(odbc->options().tdsVersion, tdsVersion);
    QCOMPARE(odbc->options().loginTimeoutSeconds, loginTimeout);
}

void TestOdbcEngine::principalSessionAndThirdColumn() {
    // SQLite does not know SET ANSI_DEFAULTS: here cnPrincipal opens without it.
    OdbcOptions options = sqliteOptions();
    options.principalSetup.clear();
    OdbcEngine engine(options);
    QVERIFY(!engine.isPrincipalOpen());
    const Status opened = engine.openPrincipal();
    QVERIFY2(opened.ok(), qPrintable(opened.error()));
    QVERIFY(engine.isPrincipalOpen());

    const Result<QString> host = engine.principalPropertyThirdColumn(QStringLiteral("AppOskServerHost"));
    QVERIFY2(host.ok(), qPrintable(host.error()));
    QCOMPARE(*host, QStringLiteral("SRV1"));
    QCOMPARE(m_sent, QStringList{QStringLiteral("Select * From OskVersion Where Property=?")});

    const Result<QString> mode = engine.principalPropertyThirdColumn(QStringLiteral("AppUsrMode"));
    QVERIFY(mode.ok());
    QVERIFY(mode->isNull());

    // A key that is no row, apostrophe included, is a missing row and not a syntax error.
    const Result<QString> missing = engine.principalPropertyThirdColumn(QStringLiteral("App'Missing"));
    QVERIFY(!missing.ok());
    QCOMPARE(missing.error(), kNoCurrentRecord);

    // Reopening replaces the connection.
    QVERIFY(engine.openPrincipal().ok());
    QVERIFY(engine.principalPropertyThirdColumn(QStringLiteral("AppOskServerHost")).ok());
}

void TestOdbcEngine::principalFailuresLeaveItClosed() {
    // With SQL Server's session defaults, which SQLite refuses: the open fails with the driver's
    // message and leaves no connection.
    OdbcEngine engine(sqliteOptions());
    const Status opened = engine.openPrincipal();
    QVERIFY(!opened.ok());
    QVERIFY2(opened.error().contains(QStringLiteral("SET")), qPrintable(opened.error()));
    QCOMPARE(m_sent, QStringList{QStringLiteral("SET ANSI_DEFAULTS ON")});
    QVERIFY(!engine.isPrincipalOpen());

    // The session statements run in order; the first refused one closes the connection again.
    OdbcOptions partly = sqliteOptions();
    partly.principalSetup =
        QStringList{QStringLiteral("PRAGMA foreign_keys=ON"), QStringLiteral("SET IMPLICIT_TRANSACTIONS OFF"),
                    QStringLiteral("PRAGMA x")};
    m_sent.clear();
    OdbcEngine halfway(partly);
    QVERIFY(!halfway.openPrincipal().ok());
    QVERIFY(!halfway.isPrincipalOpen());
    QCOMPARE(m_sent, partly.principalSetup.first(2));

    // Used while closed, it answers with the reason of the failed open and sends nothing.
    m_sent.clear();
    const Result<QString> host = engine.principalPropertyThirdColumn(QStringLiteral("AppOskServerHost"));
    QVERIFY(!host.ok());
    QCOMPARE(host.error(), opened.error());
    const Status dropped = engine.dropDatabase(QStringLiteral("oskdemo"));
    QVERIFY(!dropped.ok());
    QCOMPARE(dropped.error(), opened.error());
    QVERIFY(m_sent.isEmpty());
    QVERIFY(QFile::exists(dbFile(QStringLiteral("oskdemo"))));

    // An unknown driver name: the driver manager's message, no connection.
    OdbcOptions unknown = sqliteOptions();
    unknown.driver = QStringLiteral("No Such Driver");
    OdbcEngine noDriver(unknown);
    const Status refused = noDriver.openPrincipal();
    QVERIFY(!refused.ok());
    QVERIFY2(!refused.error().isEmpty(), "the driver manager's message is the description");
    QVERIFY(!noDriver.isPrincipalOpen());
}

void TestOdbcEngine::databaseList() {
    OdbcEngine engine(sqliteOptions());
    const Result<QStringList> names = engine.listProductDatabases();
    QVERIFY2(names.ok(), qPrintable(names.error()));
    QCOMPARE(*names,
             (QStringList{QStringLiteral("OskDB"), QStringLiteral("oskdemo"), QStringLiteral("OSKVentas")}));
    QCOMPARE(m_sent, QStringList{QStringLiteral(
                         "Select name from sysDatabases where name like 'osk%' and name<>'OskDBUpdate'")});

    // A master without the table: the driver's message.
    QVERIFY(runSql(dbFile(QStringLiteral("Master")), {QStringLiteral("DROP TABLE sysDatabases")}));
    const Result<QStringList> failed = engine.listProductDatabases();
    QVERIFY(!failed.ok());
    QVERIFY2(failed.error().contains(QStringLiteral("sysDatabases")), qPrintable(failed.error()));
}

// Each login costs a round of authentication on a real server: a fill logs in to master once and to
// each listed database once, however many statements that database takes.
void TestOdbcEngine::listFillLogsInOncePerDatabase() {
    QVERIFY(createProductDatabase(dbFile(QStringLiteral("OSKVentas")),
                                  {{QStringLiteral("AppDBRevision"), QStringLiteral("9")}}));
    QStringList logins;
    OdbcOptions options = sqliteOptions();
    options.connectionListener = [&logins](const QString& database) {
        logins << database;
    };
    OdbcEngine engine(std::move(options));
    FakeClock clock;
    ScriptedOperator op;
    TempProgramFolder folder;
    EventLog log(clock, op, folder.path());
    DatabaseListModel list;
    DatabaseAdmin admin(engine, log, op, list);

    QVERIFY(admin.CargaBasesDatos(1033, QStringLiteral("SRV1")));
    QVERIFY(op.messages.empty());
    QCOMPARE(logins, (QStringList{QStringLiteral("Master"), QStringLiteral("OskDB"),
                                  QStringLiteral("oskdemo"), QStringLiteral("OSKVentas")}));
    // Every statement of the fill went over those four connections: two reads and three updates on
    // each valid database, two reads on the one without AppVersion.
    QCOMPARE(m_sent.size(), 1 + 5 + 5 + 2);
    QCOMPARE(
        propertyRows(dbFile(QStringLiteral("oskdemo"))),
        (QStringList{QStringLiteral("AppVersion=2.0"), QStringLiteral("AppDBRevision=3"),
                     QStringLiteral("AppOskServerHost=SRV1"), QStringLiteral("AppEXERevision is NULL")}));
}

void TestOdbcEngine::propertiesAreBoundNotPasted() {
    OdbcEngine engine(sqliteOptions());
    const QString oskdemo = QStringLiteral("oskdemo");

    const Result<PropertyValue> revision = engine.readProperty(oskdemo, QStringLiteral("AppDBRevision"));
    QVERIFY2(revision.ok(), qPrintable(revision.error()));
    QCOMPARE(revision->value(), QStringLiteral("3"));
    const Result<PropertyValue> absent = engine.readProperty(oskdemo, QStringLiteral("AppUsrMode"));
    QVERIFY(absent.ok());
    QVERIFY(!absent->has_value());
    const Result<PropertyValue> null = engine.readProperty(oskdemo, QStringLiteral("AppEXERevision"));
    QVERIFY(null.ok());
    QVERIFY(null->has_value() && null->value().isNull());

    // A computer name with an apostrophe is stored as it is; a key that tries to widen the WHERE
    // changes nothing.
    QVERIFY(engine.updateProperty(oskdemo, QStringLiteral("AppOskServerHost"), QStringLiteral("O'Brien-PC"))
                .ok());
    QVERIFY(engine.updateProperty(oskdemo, QStringLiteral("x' OR '1'='1"), QStringLiteral("hacked")).ok());
    QCOMPARE(engine.readProperty(oskdemo, QStringLiteral("AppOskServerHost"))->value(),
             QStringLiteral("O'Brien-PC"));
    QCOMPARE(propertyRows(dbFile(oskdemo)),
             (QStringList{QStringLiteral("AppVersion=2.0"), QStringLiteral("AppDBRevision=3"),
                          QStringLiteral("AppOskServerHost=O'Brien-PC"),
                          QStringLiteral("AppEXERevision is NULL")}));
    QCOMPARE(m_sent.first(), QStringLiteral("Select PropertyValue From OskVersion where Property=?"));
    QCOMPARE(m_sent.last(), QStringLiteral("Select PropertyValue From OskVersion where Property=?"));
    QVERIFY(m_sent.contains(QStringLiteral("Update OskVersion Set PropertyValue=? Where Property=?")));

    // A value longer than one read of the driver comes back whole, characters beyond ASCII included.
    const QString longValue = QString(QStringLiteral("ñandú-€-")).repeated(900);
    QVERIFY(engine.updateProperty(oskdemo, QStringLiteral("AppEXERevision"), longValue).ok());
    QCOMPARE(engine.readProperty(oskdemo, QStringLiteral("AppEXERevision"))->value(), longValue);

    // A database without the property table.
    const Result<PropertyValue> noTable =
        engine.readProperty(QStringLiteral("Master"), QStringLiteral("AppVersion"));
    QVERIFY(!noTable.ok());
    QVERIFY2(noTable.error().contains(QStringLiteral("OskVersion")), qPrintable(noTable.error()));
    QVERIFY(
        !engine
             .updateProperty(QStringLiteral("Master"), QStringLiteral("AppUsrMode"), QStringLiteral("MULTI"))
             .ok());
}

void TestOdbcEngine::dropAndBackupTexts() {
    OdbcOptions options = sqliteOptions();
    options.principalSetup.clear();
    OdbcEngine engine(options);
    QVERIFY(engine.openPrincipal().ok());

    // Names are bracket-quoted, file names apostrophe-quoted; SQLite refuses both statements, which
    // shows the failure path with the driver's description.
    m_sent.clear();
    const Status dropped = engine.dropDatabase(QStringLiteral("osk]demo"));
    QVERIFY(!dropped.ok());
    QVERIFY(!dropped.error().isEmpty());
    QCOMPARE(m_sent, QStringList{QStringLiteral("Drop DATABASE [osk]]demo]")});

    // The old backup file goes before the statement is sent.
    const QString oldBackup = dbFile(QStringLiteral("old.bak"));
    QVERIFY(writeFileBytes(oldBackup, "an older backup set"));
    m_sent.clear();
    QVERIFY(!engine.backupDatabase(QStringLiteral("oskdemo"), oldBackup).ok());
    QVERIFY(!QFile::exists(oldBackup));
    QCOMPARE(m_sent, QStringList{QStringLiteral("BACKUP DATABASE [oskdemo]\r\nTO DISK = '") + oldBackup +
                                 QLatin1Char('\'')});

    m_sent.clear();
    const Status backedUp =
        engine.backupDatabase(QStringLiteral("osk'demo"), QStringLiteral("C:\\Copias\\it's.bak"));
    QVERIFY(!backedUp.ok());
    QVERIFY2(!backedUp.error().isEmpty(), "the server's message is the description");
    QCOMPARE(m_sent,
             QStringList{QStringLiteral("BACKUP DATABASE [osk'demo]\r\nTO DISK = 'C:\\Copias\\it''s.bak'")});
    QVERIFY(QFile::exists(dbFile(QStringLiteral("oskdemo"))));
}

using Messages = QList<ServerMessage>;

void TestOdbcEngine::backupJudgedByServerMessages_data() {
    QTest::addColumn<Messages>("messages");
    QTest::addColumn<bool>("driverFailedSilently");
    QTest::addColumn<QString>("error"); // empty: success

    const ServerMessage processed{
        QStringLiteral("01000"),
        QStringLiteral("[FreeTDS][SQL Server]Processed 184 pages for database 'oskdemo'.")};
    const ServerMessage done{
        QStringLiteral("01000"),
        QStringLiteral("[FreeTDS][SQL Server]BACKUP DATABASE successfully processed 185 pages.")};
    const ServerMessage device{QStringLiteral("42000"),
                               QStringLiteral("[FreeTDS][SQL Server]Cannot open backup device 'X:\\a.bak'.")};
    const ServerMessage abnormal{
        QStringLiteral("42000"),
        QStringLiteral("[FreeTDS][SQL Server]BACKUP DATABASE is terminating abnormally.")};

    QTest::newRow("progress and success") << Messages{processed, done} << false << QString();
    QTest::newRow("first error is the description")
        << Messages{processed, device, abnormal} << false << device.text;
    QTest::newRow("error after success messages") << Messages{done, abnormal} << false << abnormal.text;
    QTest::newRow("driver failed, server silent")
        << Messages{} << true << QStringLiteral("La instrucción ha fallado sin un mensaje del servidor.");
    QTest::newRow("messages, then a result the driver failed on silently")
        << Messages{processed} << true
        << QStringLiteral("La instrucción ha fallado sin un mensaje del servidor.");
    QTest::newRow("nothing at all") << Messages{} << false << QString();
    QTest::newRow("error without text")
        << Messages{{QStringLiteral("HYT00"), QString()}} << false << QStringLiteral("HYT00");
}

void TestOdbcEngine::backupJudgedByServerMessages() {
    QFETCH(Messages, messages);
    QFETCH(bool, driverFailedSilently);
    QFETCH(QString, error);
    const Status judged = judgeByMessages(messages, driverFailedSilently);
    QCOMPARE(judged.ok(), error.isEmpty());
    QCOMPARE(judged.error(), error);
}

void TestOdbcEngine::componentsStoredByteForByte_data() {
    QTest::addColumn<QList<qint64>>("pieces");
    QTest::newRow("one byte") << QList<qint64>{1};
    QTest::newRow("one whole piece") << QList<qint64>{16384};
    QTest::newRow("remainder then whole pieces") << QList<qint64>{1, 16384, 16384};
    QTest::newRow("large remainder, three pieces") << QList<qint64>{16383, 16384, 16384, 16384};
}

void TestOdbcEngine::componentsStoredByteForByte() {
    QFETCH(QList<qint64>, pieces);
    OdbcEngine engine(sqliteOptions());
    auto writer = engine.openComponentWriter(QStringLiteral("oskdemo"));
    QVERIFY2(writer.ok(), qPrintable(writer.error()));
    ComponentWriter& w = **writer;

    const Result<bool> hasTable = w.hasComponentsTable();
    QVERIFY(hasTable.ok() && *hasTable);

    qint64 total = 0;
    for (qint64 size : pieces)
        total += size;
    const QByteArray content = patterned(total, int(pieces.size()));
    QVERIFY(w.addComponent(1, QStringLiteral("Osk2.exe")).ok());
    QVERIFY(w.addComponent(2, QStringLiteral("vacío.txt")).ok());
    const Status begun = w.beginContent(1, total);
    QVERIFY2(begun.ok(), qPrintable(begun.error()));
    qint64 offset = 0;
    for (qint64 size : pieces) {
        const Status appended = w.appendContent(QByteArrayView(content).sliced(offset, size));
        QVERIFY2(appended.ok(), qPrintable(appended.error()));
        offset += size;
    }
    const Status ended = w.endContent();
    QVERIFY2(ended.ok(), qPrintable(ended.error()));
    QVERIFY(w.updateProperty(QStringLiteral("AppEXERevision"), QStringLiteral("2026-12-06 22:00")).ok());
    writer = Result<std::unique_ptr<ComponentWriter>>::failure(QString()); // closes the connection

    // The empty file keeps its row with a NULL value.
    QCOMPARE(
        componentRows(dbFile(QStringLiteral("oskdemo"))),
        (QStringList{QStringLiteral("1 Osk2.exe ") + digest(content), QStringLiteral("2 vacío.txt NULL")}));
    QVERIFY(propertyRows(dbFile(QStringLiteral("oskdemo")))
                .contains(QStringLiteral("AppEXERevision=2026-12-06 22:00")));
    QVERIFY(m_sent.contains(QStringLiteral("Update oskComponents Set FileObject=? Where IdNumero=?")));
}

void TestOdbcEngine::componentRowsReplaced() {
    OdbcEngine engine(sqliteOptions());
    const QString path = dbFile(QStringLiteral("oskdemo"));
    QVERIFY(runSql(path, {QStringLiteral("INSERT INTO oskComponents VALUES (1, 'Old''s.dll', x'00'), "
                                         "(7, 'Osk2.exe', x'01'), (3, 'Keep.dll', x'02')")}));
    auto writer = engine.openComponentWriter(QStringLiteral("oskdemo"));
    QVERIFY(writer.ok());
    // Osk2.exe loses its old row by name, number 1 its old holder by number.
    QVERIFY((*writer)->addComponent(1, QStringLiteral("Osk2.exe")).ok());
    QVERIFY((*writer)->addComponent(2, QStringLiteral("Ana's.dll")).ok());
    QCOMPARE(componentRows(path),
             (QStringList{QStringLiteral("1 Osk2.exe NULL"), QStringLiteral("2 Ana's.dll NULL"),
                          QStringLiteral("3 Keep.dll ") + digest("\x02")}));
    QCOMPARE(m_sent.first(), QStringLiteral("Delete From oskComponents Where FileName=? Or IdNumero=?"));
    QCOMPARE(m_sent.at(1), QStringLiteral("Insert Into oskComponents (IdNumero,FileName) VALUES(?,?)"));
}

void TestOdbcEngine::componentLengthEnforced() {
    OdbcEngine engine(sqliteOptions());
    auto writer = engine.openComponentWriter(QStringLiteral("oskdemo"));
    QVERIFY(writer.ok());
    ComponentWriter& w = **writer;
    QVERIFY(!w.appendContent(QByteArray("x")).ok());
    QVERIFY(!w.endContent().ok());

    QVERIFY(w.addComponent(1, QStringLiteral("a.bin")).ok());
    QVERIFY(w.beginContent(1, 4).ok());
    QVERIFY(!w.beginContent(1, 4).ok());
    QVERIFY(w.appendContent(QByteArray("abc")).ok());
    QVERIFY(!w.appendContent(QByteArray("de")).ok()); // past the announced length
    QVERIFY(!w.endContent().ok());

    QVERIFY(w.addComponent(2, QStringLiteral("b.bin")).ok());
    QVERIFY(w.beginContent(2, 4).ok());
    QVERIFY(w.appendContent(QByteArray("ab")).ok());
    const Status shortEnd = w.endContent();
    QVERIFY(!shortEnd.ok());
    QVERIFY2(shortEnd.error().contains(QStringLiteral("2 de sus 4")), qPrintable(shortEnd.error()));

    // The writer is usable again after a refused content.
    QVERIFY(w.addComponent(3, QStringLiteral("c.bin")).ok());
    QVERIFY(w.beginContent(3, 2).ok());
    QVERIFY(w.appendContent(QByteArray("ok")).ok());
    QVERIFY(w.endContent().ok());
    writer = Result<std::unique_ptr<ComponentWriter>>::failure(QString());
    QCOMPARE(componentRows(dbFile(QStringLiteral("oskdemo"))).last(),
             QStringLiteral("3 c.bin ") + digest("ok"));
}

void TestOdbcEngine::componentsTableMissing() {
    QVERIFY(runSql(dbFile(QStringLiteral("oskdemo")),
                   {QStringLiteral("DELETE FROM sysobjects WHERE name='oskComponents'")}));
    OdbcEngine engine(sqliteOptions());
    auto writer = engine.openComponentWriter(QStringLiteral("oskdemo"));
    QVERIFY(writer.ok());
    const Result<bool> hasTable = (*writer)->hasComponentsTable();
    QVERIFY(hasTable.ok());
    QVERIFY(!*hasTable);
    QCOMPARE(m_sent, QStringList{QStringLiteral("Select name from sysobjects where name='oskComponents'")});
}

// The method SQL Server gets: the value starts empty, so that it has a text pointer, then every
// piece is one UPDATETEXT. SQLite knows neither, so only the first statement's text and the
// driver's refusal are seen here.
void TestOdbcEngine::updateTextPieces() {
    OdbcOptions options = sqliteOptions();
    options.pieceMethod = PieceMethod::UpdateText;
    OdbcEngine engine(options);
    auto writer = engine.openComponentWriter(QStringLiteral("oskdemo"));
    QVERIFY(writer.ok());
    QVERIFY((*writer)->addComponent(4, QStringLiteral("Osk2.exe")).ok());
    m_sent.clear();
    const Status begun = (*writer)->beginContent(4, 20000);
    QVERIFY(!begun.ok());
    QVERIFY(!begun.error().isEmpty());
    QCOMPARE(m_sent, QStringList{QStringLiteral("Update oskComponents Set FileObject=0x Where IdNumero=?")});
    QVERIFY(!(*writer)->appendContent(QByteArray("x")).ok());
}

// FreeTDS against a loopback port where nothing listens: the attempt ends with the driver's
// message instead of waiting for the server.
void TestOdbcEngine::unreachableServerFailsWithDriverMessage() {
    const quint16 port = freePort();
    QVERIFY(port != 0);
    OdbcOptions options;
    options.driver = kFreeTdsDriver;
    options.serverName = QStringLiteral("127.0.0.1,%1").arg(port);
    options.loginTimeoutSeconds = 2;
    options.statementListener = [this](const QString& text) {
        m_sent << text;
    };
    OdbcEngine engine(options);

    for (int attempt = 0; attempt < 3; ++attempt) {
        const Status opened = engine.openPrincipal();
        QVERIFY(!opened.ok());
        QVERIFY2(!opened.error().isEmpty(), "the driver's message is the description");
        QVERIFY(!engine.isPrincipalOpen());
    }
    const Result<QStringList> names = engine.listProductDatabases();
    QVERIFY(!names.ok());
    qInfo("FreeTDS says: %s", qPrintable(names.error()));
    QVERIFY(!engine.backupDatabase(QStringLiteral("oskdemo"), QStringLiteral("x.bak")).ok());
    QVERIFY(m_sent.isEmpty());

    // A listener that never answers (the system completes the handshake, nobody reads): the
    // attempt ends with the login time-out, not with the driver's own minutes-long wait.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    options.serverName = QStringLiteral("127.0.0.1,%1").arg(silent.serverPort());
    options.loginTimeoutSeconds = 1;
    OdbcEngine stalled(options);
    const Status timedOut = stalled.openPrincipal();
    QVERIFY(!timedOut.ok());
    QVERIFY2(timedOut.error().contains(QStringLiteral("Timeout expired"), Qt::CaseInsensitive),
             qPrintable(timedOut.error()));
}

QTEST_GUILESS_MAIN(TestOdbcEngine)
#include "test_odbc_engine.moc"
