// Both engines against one contract. The SQL Server engine runs through unixODBC with SQLite's ODBC
// driver under a driver name of the test's own, on database files named as the databases; the
// T-SQL-only statements are checked by the exact text it sends.

#include "database/database_admin.h"
#include "database/embedded_engine.h"
#include "database/embedded_sqlite.h"
#include "database/odbc_engine.h"
#include "eventlog/event_log.h"
#include "sqlite_fixture.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QRegularExpression>
#include <QTest>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using namespace osk;
using namespace osk::test;

namespace {

const QString kDriver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";

// "ok", or the error.
template <typename T> QString said(const Result<T>& result) {
    return result ? QString("ok") : result.error();
}
QString value(const Result<PropertyValue>& read) {
    return !read ? read.error() : !read->has_value() ? "no row" : (*read)->isNull() ? "NULL" : **read;
}
QString flag(const Result<bool>& result) {
    return !result ? result.error() : *result ? "1" : "0";
}
QString joined(const Result<QStringList>& list) {
    return list ? list->join(u' ') : list.error();
}

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
    void embeddedDatabasesByName();
    void embeddedBackupRefusals_data();
    void embeddedBackupRefusals();
    void embeddedFilesAreNeverLinksOrFifos();

private:
    // The file of a database as the engine of the row keeps it.
    QString fileOf(const QString& database) const {
        return m_odbc ? m_folder->file(database) : m_folder->file("Data/" + database + ".db");
    }
    bool createDatabase(const QString& name, const QString& rows = QString()) {
        return SqliteFile(fileOf(name))
            .run(QStringList{kPropertyTable} +
                 (rows.isEmpty()
                      ? QStringList()
                      : QStringList{"INSERT INTO OskVersion (Property, PropertyValue) VALUES " + rows}));
    }
    QString backupFiles() const {
        const QDir copias(m_folder->file("Copias"));
        QString files = "left:";
        for (const QString& name : copias.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
            files += " " + name + "=" + readFileBytes(copias.filePath(name)).left(15);
        return files;
    }
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
    QVERIFY(writeFileBytes(m_odbcConfig.file("odbcinst.ini"),
                           "[Osk Test SQLite]\nDriver=" + kDriver.toUtf8() + "\n"));
    QVERIFY(writeFileBytes(m_odbcConfig.file("odbc.ini"), QByteArray()));
    qputenv("ODBCSYSINI", m_odbcConfig.path().toUtf8());
    qputenv("ODBCINI", m_odbcConfig.file("odbc.ini").toUtf8());
    m_previousFolder = QDir::currentPath();
}

// OskDB, two product databases (one without the components table), an update database and a
// database of another product; the SQLite driver opens "database=<name>" in the working folder.
void TestEngines::init() {
    m_folder = std::make_unique<TempProgramFolder>();
    QVERIFY(QDir().mkpath(m_folder->file("Data")) && QDir().mkpath(m_folder->file("Copias")));
    QVERIFY(QDir::setCurrent(m_folder->path()));
    m_sent.clear();
    m_logins.clear();
    const QByteArray function = QTest::currentTestFunction();
    m_odbc = function == "sqlServerStatements" ||
             (function == "contract" && QTest::currentDataTag() != QByteArray("embedded"));
    if (m_odbc && !QFile::exists(kDriver))
        QSKIP("SQLite's ODBC driver is not installed (scripts/install-deps.sh).");
    QVERIFY(createDatabase("OskDB", "('AppVersion', '2.0'), ('AppDBRevision', '17'), ('AppOskServerHost', "
                                    "'SRV1'), ('AppUsrMode', NULL)"));
    QVERIFY(
        createDatabase("oskdemo", "('AppVersion', '2.0'), ('AppDBRevision', '3'), ('AppEXERevision', NULL)"));
    QVERIFY(SqliteFile(fileOf("oskdemo"))
                .run({kComponentsTable, "CREATE TABLE sysobjects (name TEXT)",
                      "INSERT INTO sysobjects VALUES ('oskComponents')"}));
    QVERIFY(createDatabase("OSKVentas", "('AppDBRevision', '9')"));
    QVERIFY(SqliteFile(fileOf("OSKVentas")).run({"CREATE TABLE sysobjects (name TEXT)"}));
    QVERIFY(createDatabase("OskDBUpdate") && createDatabase("demo_osk"));
    QVERIFY(SqliteFile(m_folder->file("Master"))
                .run({"CREATE TABLE sysDatabases (name TEXT)",
                      "INSERT INTO sysDatabases VALUES ('master'), ('OskDB'), ('oskdemo'), ('OskDBUpdate'), "
                      "('OSKVentas'), ('demo_osk')"}));
}

std::unique_ptr<Engine> TestEngines::makeEngine() {
    if (!m_odbc)
        return std::make_unique<EmbeddedEngine>(m_folder->file("Data"));
    OdbcOptions options;
    options.serverName = "SRV1";
    options.driver = "Osk Test SQLite";
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
    QTest::addColumn<QString>("differs"); // what the engine of the row does its own way
    // The embedded engine takes away the row of a content that failed; the ODBC writer leaves it
    // with a null FileObject. Each login costs a round of authentication on a real server: a list
    // fill logs in to master once and to each listed database once.
    QTest::newRow("embedded") << QString();
    QTest::newRow("SQL Server over ODBC")
        << QString("row: 2|Año.dll|NULL\nrow: 4|b.bin|NULL\nlogins: Master OskDB oskdemo OSKVentas");
}

void TestEngines::contract() {
    QFETCH(QString, differs);
    const std::unique_ptr<Engine> engine = makeEngine();
    QStringList seen{"open: " + said(engine->openPrincipal())};
    for (const char* key : {"AppOskServerHost", "AppUsrMode", "App'Missing"}) {
        const Result<QString> third = engine->principalPropertyThirdColumn(key);
        seen << key + QString(": ") + (!third ? third.error() : third->isNull() ? "NULL" : *third);
    }
    seen << "list: " + joined(engine->listProductDatabases());
    // Values are bound, not pasted: an apostrophe is stored as it is, a key that tries to widen
    // the WHERE changes nothing.
    for (const char* key : {"AppDBRevision", "AppUsrMode", "AppEXERevision"})
        seen << key + QString(": ") + value(engine->readProperty("oskdemo", key));
    seen << "update: " + said(engine->updateProperty("oskdemo", "AppVersion", "O'Brien")) + " " +
                said(engine->updateProperty("oskdemo", "x' OR '1'='1", "hacked"));
    seen << QString("master: ") + (engine->readProperty("Master", "AppVersion") ? "read" : "refused");

    // Components: a row replaced by name and by number, its content in pieces, the length held.
    QVERIFY(SqliteFile(fileOf("oskdemo"))
                .run({"INSERT INTO oskComponents VALUES (1, 'Old.dll', x'00'), (7, 'Osk2.exe', x'01'), "
                      "(3, 'Keep.dll', x'02')"}));
    {
        auto opened = engine->openComponentWriter("oskdemo");
        QVERIFY2(opened.ok(), qPrintable(opened.error()));
        ComponentWriter& writer = **opened;
        QString steps = "writer: table " + flag(writer.hasComponentsTable());
        const auto store = [&](int id, const char* name, qint64 length, const QList<QByteArray>& pieces) {
            steps += writer.addComponent(id, name) ? " |a" : " |-";
            steps += writer.beginContent(id, length) ? "b" : "-";
            for (const QByteArray& piece : pieces)
                steps += writer.appendContent(piece) ? "p" : "-";
            steps += writer.endContent() ? "e" : "-";
        };
        store(1, "Osk2.exe", 5, {"ab", "cde"});
        store(2, "Año.dll", 4, {"abc", "de"});
        store(4, "b.bin", 4, {"ab"});
        seen << steps + (writer.updateProperty("AppEXERevision", "1.2.3.4") ? " |u" : " |-");
    }
    SqliteFile file(fileOf("oskdemo"));
    for (const QString& row : file.rows("SELECT IdNumero, FileName, quote(FileObject) FROM oskComponents"))
        seen << "row: " + row;
    for (const QString& row : file.rows("SELECT Property, PropertyValue FROM OskVersion ORDER BY Id"))
        seen << "property: " + row;
    auto withoutTable = engine->openComponentWriter("OSKVentas");
    QVERIFY(withoutTable.ok());
    seen << "OSKVentas table: " + flag((*withoutTable)->hasComponentsTable());

    FakeClock clock;
    ScriptedOperator op;
    EventLog log(clock, op, m_folder->path());
    DatabaseListModel list;
    m_logins.clear();
    seen << QString("fill: %1").arg(DatabaseAdmin(*engine, log, op, list).CargaBasesDatos(1033, "SRV1"));
    if (m_odbc)
        seen << "logins: " + m_logins.join(u' ');
    QStringList expected{"open: ok",
                         "AppOskServerHost: SRV1",
                         "AppUsrMode: NULL",
                         "App'Missing: BOF o EOF es True, o el registro actual se eliminó. La operación "
                         "solicitada requiere un registro actual.",
                         "list: OskDB oskdemo OSKVentas",
                         "AppDBRevision: 3",
                         "AppUsrMode: no row",
                         "AppEXERevision: NULL",
                         "update: ok ok",
                         "master: refused",
                         "writer: table 1 |abppe |abp-- |abp- |u",
                         "row: 1|Osk2.exe|X'6162636465'",
                         "row: 3|Keep.dll|X'02'",
                         "property: AppVersion|O'Brien",
                         "property: AppDBRevision|3",
                         "property: AppEXERevision|1.2.3.4",
                         "OSKVentas table: 0",
                         "fill: 1"};
    if (!differs.isEmpty())
        expected += differs.split(u'\n');
    seen.sort();
    expected.sort();
    OSK_COMPARE_SNAPSHOT(seen.join(u'\n'), expected.join(u'\n'));
}

// Names bracket-quoted, file names apostrophe-quoted; SQLite refuses both statements. The server
// writes a name of its own in the output's folder, as the server spells the folder: a refused
// backup leaves the previous one whole and nothing beside it. A backup is judged by what the
// server said: classes 00 and 01 are no error.
void TestEngines::sqlServerStatements() {
    OdbcOptions options;
    options.serverName = "SRV1\\SQL2000";
    QStringList seen{OdbcEngine(options).connectString("OskDB")};
    options.serverName = "srv1";
    seen << QString("local: %1%2")
                .arg(OdbcEngine(options).isLocal("SRV1"))
                .arg(OdbcEngine(options).isLocal("SRV2"));
    const std::unique_ptr<Engine> engine = makeEngine();
    QVERIFY(engine->openPrincipal().ok());
    const QString backup = m_folder->file("Copias/it's.bak");
    QVERIFY(writeFileBytes(backup, "the previous"));
    m_sent.clear();
    QVERIFY(!engine->dropDatabase("osk]demo").ok());
    QVERIFY(!engine->backupDatabase("osk'demo", backup).ok());
    seen += m_sent;
    seen << "no file: " + engine->backupDatabase("oskdemo", QString()).error() << backupFiles();
    const ServerMessage progress{"01000", "Processed 184 pages."};
    const ServerMessage device{"42000", "Cannot open backup device."};
    seen << said(judgeByMessages({progress, {"00000", QString()}}, false))
         << said(judgeByMessages({progress, device, {"42000", "x"}}, false))
         << said(judgeByMessages({progress}, true));
    const QString text = seen.join(u'\n').replace(m_folder->path(), "%F");
    const QString expected =
        "uid=Osk;pwd=kq7351;driver={SQL "
        "Server};Regional=Yes;server=SRV1\\SQL2000;database=OskDB;TDS_Version=7.1;"
        "ClientCharset=UTF-8;\nlocal: 10\nDrop DATABASE [osk]]demo]\nBACKUP DATABASE [osk'demo]\r\nTO DISK = "
        "'%F/Copias/.it''s.bak.HEX.tmp'\nno file: No se ha indicado el archivo de copia.\nleft: it's.bak=the "
        "previous\nok\nCannot open backup device.\nLa instrucción ha fallado sin un mensaje del servidor.";
    const QString pattern = QRegularExpression::escape(expected).replace("HEX", "[0-9a-f]{8}");
    QVERIFY2(QRegularExpression("^" + pattern + "$").match(text).hasMatch(), qPrintable(text));
}

// Names are told apart without regard to case, as the server's and Windows' are: the prefix, the
// principal database and the update database in either case. A replaced backup keeps the
// operator's 0640 and its owner and group, another user's (as root, who may give it one).
void TestEngines::embeddedDatabasesByName() {
    EmbeddedEngine engine(m_folder->file("Data"));
    for (const char* name : {"OSKDBUPDATE", "oskdb", "Oskmixto", "OSK"})
        QVERIFY(createDatabase(name));
    QVERIFY(engine.openPrincipal().ok());
    const QString backup = m_folder->file("Copias/demo.bak");
    QVERIFY(writeFileBytes(backup, "an older backup"));
    const QByteArray name = QFile::encodeName(backup);
    const bool root = ::geteuid() == 0;
    QVERIFY(::chmod(name.constData(), 0640) == 0 && (!root || ::chown(name.constData(), 65534, 65533) == 0));
    QStringList seen{"backup: " + said(engine.backupDatabase("oskdemo", backup)), backupFiles()};
    struct stat status {};
    QVERIFY(::stat(name.constData(), &status) == 0);
    seen << QString("%1 %2:%3")
                .arg(status.st_mode & 07777, 0, 8)
                .arg(root ? status.st_uid : 65534)
                .arg(root ? status.st_gid : 65533);
    seen += SqliteFile(backup).rows("SELECT PropertyValue FROM OskVersion WHERE Property='AppDBRevision'");
    {
        SqliteFile reader(fileOf("oskdemo"));
        QVERIFY(reader.run(
            {"BEGIN", "SELECT * FROM OskVersion", "INSERT INTO OskVersion (Property) VALUES ('B')"}));
        seen << said(engine.dropDatabase("oskdemo"));
    }
    for (const char* name : {"oskdemo", "../OskDB", "oskdb", "OSKDB", "OskDB"})
        seen << said(engine.dropDatabase(name));
    // A new product database is listed, with its components table; a name it would not list is refused.
    for (const char* name : {"oskNueva", "OSKNUEVA", "ventas", "oskdbupdate", "OskDBUpdate"})
        seen << said(engine.createProductDatabase(name));
    seen << "table: " + flag((*engine.openComponentWriter("oskNueva"))->hasComponentsTable());
    seen << "list: " + joined(engine.listProductDatabases());
    QStringList files = QDir(m_folder->file("Data")).entryList(QDir::Files);
    files.sort();
    seen << "files: " + files.join(u' ');
    OSK_COMPARE_SNAPSHOT(
        seen.join(u'\n'),
        QString("backup: ok\nleft: demo.bak=SQLite format 3\n640 65534:65533\n3\n"
                "No se puede eliminar la base de datos 'oskdemo' porque está en uso.\nok\n"
                "Nombre de base de datos no válido: ../OskDB\n"
                "No se puede eliminar la base de datos 'oskdb' porque está en uso.\n"
                "No se puede eliminar la base de datos 'OSKDB' porque no existe.\n"
                "No se puede eliminar la base de datos 'OskDB' porque está en uso.\nok\n"
                "La base de datos 'OSKNUEVA' ya existe.\n"
                "El nombre de una base de datos de Osk debe empezar por 'osk'; 'ventas' no aparecería en la "
                "lista de "
                "bases de datos.\nEl nombre 'oskdbupdate' está reservado para las actualizaciones de "
                "Osk.\nEl nombre "
                "'OskDBUpdate' está reservado para las actualizaciones de Osk.\ntable: 1\nlist: OskDB oskdb "
                "OSK Oskmixto oskNueva OSKVentas\n"
                "files: OSK.db OSKDBUPDATE.db OSKVentas.db OskDB.db OskDBUpdate.db Oskmixto.db demo_osk.db "
                "oskNueva.db oskdb.db"));
}

void TestEngines::embeddedBackupRefusals_data() {
    QTest::addColumn<QString>("output");  // in the program folder; "%F" is the folder
    QTest::addColumn<QString>("link");    // when set, output is a link to this
    QTest::addColumn<bool>("smallFiles"); // files may not grow past a few bytes
    QTest::addColumn<QString>("error");
    const QString database = "El archivo de copia %F/%1 es una base de datos del servidor.";
    const QString unwritable = "No se puede escribir el archivo de copia %F/%1: %2";
    const auto row = [&](const char* output, const QString& error, const char* link = "",
                         bool small = false) {
        QTest::newRow(output) << QString(output) << QString(link) << small << error;
    };
    for (const char* file : {"Data/OSKVentas.db", "Data/OskDB.DB", "Copias/../Data/./OskDB.db",
                             "Data/OskDB.db-journal", "Data/oskdemo.DB-WAL", "Data/osk1.db-shm"})
        row(file, database.arg(file));
    row("Copias/ventas.bak", database.arg("Copias/ventas.bak"), "%F/Data/OSKVentas.db");
    row("", "No se ha indicado el archivo de copia.");
    row("Copias/demo.bak/x.bak",
        unwritable.arg("Copias/demo.bak/x.bak", "parte de la ruta no es una carpeta"));
    row("Copias/new.bak", unwritable.arg("Copias/new.bak", "el archivo ha alcanzado el tamaño máximo"), "",
        true);
}

// Nothing of the server's is replaced, and a failure names the file the operator wrote, in Spanish.
void TestEngines::embeddedBackupRefusals() {
    QFETCH(QString, output);
    QFETCH(QString, link);
    QFETCH(bool, smallFiles);
    QFETCH(QString, error);
    EmbeddedEngine engine(m_folder->file("Data"));
    QVERIFY(engine.openPrincipal().ok());
    QVERIFY(writeFileBytes(m_folder->file("Copias/demo.bak"), "old"));
    QVERIFY(writeFileBytes(m_folder->file("Data/OskDB.db-journal"), QByteArray()));
    const QString path = output.isEmpty() ? QString() : m_folder->file(output);
    if (!link.isEmpty())
        QVERIFY(QFile::link(QString(link).replace("%F", m_folder->path()), path));
    const auto databases = [this] {
        QByteArray all;
        for (const char* name : {"OSKVentas", "OskDB", "oskdemo", "OskDB.db-journal"})
            all += readFileBytes(
                m_folder->file("Data/" + QString(name) + (QString(name).contains('.') ? "" : ".db")));
        return all;
    };
    const QByteArray before = databases();
    const Status done = [&] {
        std::optional<FileSizeLimit> limit;
        if (smallFiles)
            limit.emplace(1024);
        return engine.backupDatabase("oskdemo", path);
    }();
    QVERIFY(databases() == before);
    OSK_COMPARE_SNAPSHOT(said(done).replace(m_folder->path(), "%F") + "\n" + backupFiles(),
                         error + "\nleft: demo.bak=old" +
                             (link.isEmpty() ? "" : " ventas.bak=SQLite format 3"));
}

// The engine's files are the program's: a link or a FIFO in their place is refused, never opened,
// waited on (a wait would hang the test until ctest's time-out) or removed through. SQLite's
// reasons are told in Spanish.
void TestEngines::embeddedFilesAreNeverLinksOrFifos() {
    EmbeddedEngine engine(m_folder->file("Data"));
    const QString elsewhere = m_folder->file("elsewhere.db");
    QVERIFY(SqliteFile(elsewhere).run(
        {kPropertyTable, "INSERT INTO OskVersion (Property) VALUES ('AppDBRevision')"}));
    const QByteArray target = readFileBytes(elsewhere);
    QVERIFY(QFile::link(elsewhere, fileOf("osklink")));
    QVERIFY(::mkfifo(QFile::encodeName(fileOf("oskfifo")).constData(), 0600) == 0);
    QStringList seen{value(engine.readProperty("osklink", "AppDBRevision")),
                     said(engine.updateProperty("osklink", "AppDBRevision", "1")),
                     said(engine.dropDatabase("osklink")),
                     said(engine.backupDatabase("osklink", m_folder->file("l.bak"))),
                     "list: " + joined(engine.listProductDatabases()),
                     value(engine.readProperty("oskfifo", "x"))};
    // A journal that is a link would be played into the database, or written through.
    QVERIFY(QFile::link(elsewhere, fileOf("oskdemo") + "-journal"));
    seen << value(engine.readProperty("oskdemo", "AppDBRevision"));
    QVERIFY(QFile::remove(fileOf("OskDB")) && QFile::link(elsewhere, fileOf("OskDB")));
    seen << said(engine.openPrincipal());
    QVERIFY(readFileBytes(elsewhere) == target && QFileInfo(fileOf("osklink")).isSymLink());
    for (const auto& [code, systemError] :
         std::initializer_list<std::pair<int, int>>{{SQLITE_FULL, 0},
                                                    {SQLITE_IOERR_WRITE, ENOSPC},
                                                    {SQLITE_PERM, 0},
                                                    {SQLITE_CANTOPEN, EACCES},
                                                    {SQLITE_READONLY, 0},
                                                    {SQLITE_READONLY_DBMOVED, EROFS},
                                                    {SQLITE_MISUSE, 0}})
        seen << embedded::reasonFor(code, systemError, "the English text");
    const QString link = "No se puede abrir el archivo %F/Data/%1: es un enlace simbólico.";
    OSK_COMPARE_SNAPSHOT(
        seen.join(u'\n').replace(m_folder->path(), "%F"),
        QStringList({link.arg("osklink.db"), link.arg("osklink.db"), link.arg("osklink.db"),
                     link.arg("osklink.db"), "list: OskDB oskdemo osklink OSKVentas",
                     "No se puede abrir el archivo %F/Data/oskfifo.db: no es un archivo normal.",
                     link.arg("oskdemo.db-journal"), link.arg("OskDB.db"), "no queda espacio en el disco",
                     "no queda espacio en el disco", "permiso denegado", "permiso denegado",
                     "el archivo es de solo lectura", "el sistema de archivos es de solo lectura",
                     "the English text"})
            .join(u'\n'));
}

QTEST_GUILESS_MAIN(TestEngines)
#include "test_engines.moc"
