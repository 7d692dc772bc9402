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
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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
    void odbcFailedBackupKeepsThePreviousOne();
    void embeddedBackupRefusals_data();
    void embeddedBackupRefusals();
    void replacedBackupKeepsItsMode();
    void sqliteReasonsInSpanish_data();
    void sqliteReasonsInSpanish();
    void embeddedFilesAreNeverLinksOrFifos();

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
             !QByteArray(QTest::currentTestFunction()).startsWith("embedded") &&
             QByteArray(QTest::currentTestFunction()) != "replacedBackupKeepsItsMode" &&
             QByteArray(QTest::currentTestFunction()) != "sqliteReasonsInSpanish";
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
    QVERIFY(!engine->backupDatabase(QStringLiteral("osk'demo"), QStringLiteral("C:\\Copias\\it's.bak")).ok());
    QCOMPARE(m_sent.size(), 2);
    QCOMPARE(m_sent[0], QStringLiteral("Drop DATABASE [osk]]demo]"));
    // The server writes a name of its own in the output's folder, as the server spells the folder.
    QVERIFY2(QRegularExpression(QStringLiteral("^BACKUP DATABASE \\[osk'demo\\]\r\nTO DISK = "
                                               "'C:\\\\Copias\\\\\\.it''s\\.bak\\.[0-9a-f]{8}\\.tmp'$"))
                 .match(m_sent[1])
                 .hasMatch(),
             qPrintable(m_sent[1]));

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

// BACKUP through the test driver fails as a statement the server refuses: the old backup stays.
void TestEngines::odbcFailedBackupKeepsThePreviousOne() {
    const std::unique_ptr<Engine> engine = makeEngine();
    QVERIFY(QDir().mkpath(m_folder->file(QStringLiteral("Copias"))));
    const QString backup = m_folder->file(QStringLiteral("Copias/demo.bak"));
    QVERIFY(writeFileBytes(backup, "the previous backup"));
    QVERIFY(!engine->backupDatabase(QStringLiteral("oskdemo"), backup).ok());
    QCOMPARE(readFileBytes(backup), QByteArray("the previous backup"));
    QCOMPARE(QDir(m_folder->file(QStringLiteral("Copias")))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("demo.bak")});
    QCOMPARE(engine->backupDatabase(QStringLiteral("oskdemo"), QString()).error(),
             QStringLiteral("No se ha indicado el archivo de copia."));
}

void TestEngines::embeddedBackupRefusals_data() {
    QTest::addColumn<QString>("output");  // in the program folder; "%F" is the folder
    QTest::addColumn<QString>("link");    // when set, output is a link to this
    QTest::addColumn<bool>("smallFiles"); // files may not grow past a few bytes
    QTest::addColumn<QString>("error");

    const QString database = QStringLiteral("El archivo de copia %F/%1 es una base de datos del servidor.");
    QTest::newRow("another database")
        << "Data/OSKVentas.db" << QString() << false << database.arg("Data/OSKVentas.db");
    QTest::newRow("the system database, .DB")
        << "Data/OskDB.DB" << QString() << false << database.arg("Data/OskDB.DB");
    QTest::newRow("through ..") << "Copias/../Data/./OskDB.db" << QString() << false
                                << database.arg("Copias/../Data/./OskDB.db");
    QTest::newRow("a journal") << "Data/OskDB.db-journal" << QString() << false
                               << database.arg("Data/OskDB.db-journal");
    QTest::newRow("a link to one") << "Copias/ventas.bak"
                                   << "%F/Data/OSKVentas.db" << false << database.arg("Copias/ventas.bak");
    QTest::newRow("no name") << "" << QString() << false << "No se ha indicado el archivo de copia.";
    QTest::newRow("a folder that is a file")
        << "Copias/demo.bak/x.bak" << QString() << false
        << "No se puede escribir el archivo de copia %F/Copias/demo.bak/x.bak: parte de la ruta no es una "
           "carpeta";
    QTest::newRow("no room") << "Copias/new.bak" << QString() << true
                             << "No se puede escribir el archivo de copia %F/Copias/new.bak: el archivo ha "
                                "alcanzado el tamaño máximo";
}

// Nothing of the server's is replaced, and a failure names the file the operator wrote, in Spanish.
void TestEngines::embeddedBackupRefusals() {
    QFETCH(QString, output);
    QFETCH(QString, link);
    QFETCH(bool, smallFiles);
    QFETCH(QString, error);
    const QString folder = m_folder->path();
    EmbeddedEngine engine(m_folder->file(QStringLiteral("Data")));
    QVERIFY(engine.openPrincipal().ok());
    QVERIFY(QDir().mkpath(m_folder->file(QStringLiteral("Copias"))));
    QVERIFY(writeFileBytes(m_folder->file(QStringLiteral("Copias/demo.bak")), "old"));
    QVERIFY(writeFileBytes(m_folder->file(QStringLiteral("Data/OskDB.db-journal")), QByteArray()));
    const QString path = output.isEmpty() ? QString() : m_folder->file(output);
    if (!link.isEmpty()) {
        QFile::remove(path);
        QVERIFY(QFile::link(QString(link).replace(QStringLiteral("%F"), folder), path));
    }
    const QByteArray ventas = readFileBytes(fileOf(QStringLiteral("OSKVentas")));
    const QByteArray principal = readFileBytes(fileOf(QStringLiteral("OskDB")));

    const Status done = [&] {
        std::optional<FileSizeLimit> limit;
        if (smallFiles)
            limit.emplace(1024);
        return engine.backupDatabase(QStringLiteral("oskdemo"), path);
    }();
    QCOMPARE(done.error(), QString(error).replace(QStringLiteral("%F"), folder));
    QCOMPARE(readFileBytes(fileOf(QStringLiteral("OSKVentas"))), ventas);
    QCOMPARE(readFileBytes(fileOf(QStringLiteral("OskDB"))), principal);
    QCOMPARE(readFileBytes(m_folder->file(QStringLiteral("Copias/demo.bak"))), QByteArray("old"));
    QStringList left{QStringLiteral("demo.bak")};
    if (!link.isEmpty())
        left << QFileInfo(path).fileName();
    QCOMPARE(QDir(m_folder->file(QStringLiteral("Copias")))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             left);
}

// The operator's 0600 (and owner, where the test may give one) survives the replacement.
void TestEngines::replacedBackupKeepsItsMode() {
    EmbeddedEngine engine(m_folder->file(QStringLiteral("Data")));
    const QString backup = m_folder->file(QStringLiteral("demo.bak"));
    QVERIFY(writeFileBytes(backup, "an older backup"));
    const QByteArray name = QFile::encodeName(backup);
    QVERIFY(::chmod(name.constData(), 0600) == 0);
    const bool root = ::geteuid() == 0;
    if (root)
        QVERIFY(::chown(name.constData(), 65534, 65534) == 0);
    QVERIFY(engine.backupDatabase(QStringLiteral("oskdemo"), backup).ok());
    QCOMPARE(SqliteFile(backup).rows("SELECT PropertyValue FROM OskVersion WHERE Property='AppDBRevision'"),
             QStringList{QStringLiteral("3")});
    struct stat status {};
    QVERIFY(::stat(name.constData(), &status) == 0);
    QCOMPARE(int(status.st_mode & 07777), 0600);
    if (root)
        QCOMPARE(int(status.st_uid), 65534);
}

void TestEngines::sqliteReasonsInSpanish_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("systemError");
    QTest::addColumn<QString>("reason");
    QTest::newRow("full") << SQLITE_FULL << 0 << "no queda espacio en el disco";
    QTest::newRow("write refused") << SQLITE_IOERR_WRITE << int(ENOSPC) << "no queda espacio en el disco";
    QTest::newRow("permission") << SQLITE_PERM << 0 << "permiso denegado";
    QTest::newRow("cannot open") << SQLITE_CANTOPEN << int(EACCES) << "permiso denegado";
    QTest::newRow("read-only file") << SQLITE_READONLY << 0 << "el archivo es de solo lectura";
    QTest::newRow("read-only disk") << SQLITE_READONLY_DBMOVED << int(EROFS)
                                    << "el sistema de archivos es de solo lectura";
    QTest::newRow("other") << SQLITE_MISUSE << 0 << "the English text";
}

void TestEngines::sqliteReasonsInSpanish() {
    QFETCH(int, code);
    QFETCH(int, systemError);
    QFETCH(QString, reason);
    QCOMPARE(embedded::reasonFor(code, systemError, QStringLiteral("the English text")), reason);
}

// The engine's files are the program's: a link or a FIFO in their place is refused, never opened,
// waited on or removed through.
void TestEngines::embeddedFilesAreNeverLinksOrFifos() {
    EmbeddedEngine engine(m_folder->file(QStringLiteral("Data")));
    const QString elsewhere = m_folder->file(QStringLiteral("elsewhere.db"));
    QVERIFY(SqliteFile(elsewhere).run(
        {kPropertyTable, QStringLiteral("INSERT INTO OskVersion (Property, "
                                        "PropertyValue) VALUES ('AppDBRevision', '9')")}));
    const QByteArray target = readFileBytes(elsewhere);
    const QString link = fileOf(QStringLiteral("osklink"));
    QVERIFY(QFile::link(elsewhere, link));
    const QString linkRefused =
        QStringLiteral("No se puede abrir el archivo %1: es un enlace simbólico.").arg(link);
    QCOMPARE(engine.readProperty(QStringLiteral("osklink"), QStringLiteral("AppDBRevision")).error(),
             linkRefused);
    QCOMPARE(engine.updateProperty(QStringLiteral("osklink"), QStringLiteral("AppDBRevision"), "1").error(),
             linkRefused);
    QCOMPARE(engine.dropDatabase(QStringLiteral("osklink")).error(), linkRefused);
    QCOMPARE(
        engine.backupDatabase(QStringLiteral("osklink"), m_folder->file(QStringLiteral("l.bak"))).error(),
        linkRefused);
    QCOMPARE(readFileBytes(elsewhere), target);
    QVERIFY(QFileInfo(link).isSymLink());

    // A journal that is a link would be played into the database, or written through.
    const QString journal = fileOf(QStringLiteral("oskdemo")) + QStringLiteral("-journal");
    QVERIFY(QFile::link(elsewhere, journal));
    QCOMPARE(engine.readProperty(QStringLiteral("oskdemo"), QStringLiteral("AppDBRevision")).error(),
             QStringLiteral("No se puede abrir el archivo %1: es un enlace simbólico.").arg(journal));

    const QString principal = fileOf(QStringLiteral("OskDB"));
    QVERIFY(QFile::remove(principal));
    QVERIFY(QFile::link(elsewhere, principal));
    QCOMPARE(engine.openPrincipal().error(),
             QStringLiteral("No se puede abrir el archivo %1: es un enlace simbólico.").arg(principal));
    QCOMPARE(readFileBytes(elsewhere), target);

    // A FIFO: nothing waits for a writer. Should a call wait, a writer comes and goes, so the
    // check fails instead of hanging.
    const QString fifo = fileOf(QStringLiteral("oskfifo"));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    // The call's state outlives the test if the call never returns.
    struct Call {
        explicit Call(const QString& data)
            : engine(data) {}
        EmbeddedEngine engine;
        std::atomic<bool> finished{false};
        QStringList listed;
        QString read;
    };
    auto* state = new Call(m_folder->file(QStringLiteral("Data")));
    std::thread call([state] {
        state->listed = valueOr(state->engine.listProductDatabases(), QStringList());
        state->read = state->engine.readProperty(QStringLiteral("oskfifo"), QStringLiteral("x")).error();
        state->finished = true;
    });
    for (int i = 0; i < 100 && !state->finished; ++i)
        QThread::msleep(20);
    const bool hung = !state->finished;
    for (int i = 0; i < 100 && !state->finished; ++i) {
        const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
        QThread::msleep(20);
    }
    if (!state->finished) {
        call.detach();
        QFAIL("A call on a FIFO in the data folder never returned.");
    }
    call.join();
    const std::unique_ptr<Call> ended(state);
    QVERIFY(!hung);
    QVERIFY(!ended->listed.contains(QStringLiteral("oskfifo")));
    QCOMPARE(ended->read,
             QStringLiteral("No se puede abrir el archivo %1: no es un archivo normal.").arg(fifo));
}

QTEST_GUILESS_MAIN(TestEngines)
#include "test_engines.moc"
