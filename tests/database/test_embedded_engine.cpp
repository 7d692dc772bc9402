#include "database/embedded_engine.h"
#include "database/record_errors.h"
#include "sqlite_fixture.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace osk;
using namespace osk::test;

namespace {

// Another program's connection to a database file, held open by the test.
class OtherConnection final {
public:
    explicit OtherConnection(const QString& path) {
        if (sqlite3_open_v2(QDir::toNativeSeparators(path).toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE,
                            nullptr) != SQLITE_OK) {
            sqlite3_close(m_db);
            m_db = nullptr;
        }
    }
    ~OtherConnection() {
        sqlite3_finalize(m_reading);
        sqlite3_close(m_db);
    }
    OtherConnection(const OtherConnection&) = delete;
    OtherConnection& operator=(const OtherConnection&) = delete;

    bool run(const char* sql) {
        return m_db && sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    // A query stepped to its first row and left there, as a reader in the middle of a result set.
    bool startReading(const char* sql) {
        return m_db && sqlite3_prepare_v2(m_db, sql, -1, &m_reading, nullptr) == SQLITE_OK &&
               sqlite3_step(m_reading) == SQLITE_ROW;
    }
    void stopReading() {
        sqlite3_finalize(m_reading);
        m_reading = nullptr;
    }

private:
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_reading = nullptr;
};

// One value of a query on a database file, as text; empty when the file does not answer.
QString queryText(const QString& path, const char* sql) {
    QString text;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QDir::toNativeSeparators(path).toUtf8().constData(), &db, SQLITE_OPEN_READONLY,
                        nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            text = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return text;
}

const std::vector<Property> kSampleProperties{{QStringLiteral("AppVersion"), QStringLiteral("2.0")},
                                              {QStringLiteral("AppDBRevision"), QStringLiteral("9")},
                                              {QStringLiteral("AppOskServerHost"), std::nullopt}};

const QStringList kSampleRows{QStringLiteral("AppVersion=2.0"), QStringLiteral("AppDBRevision=9"),
                              QStringLiteral("AppOskServerHost is NULL")};

// The rows of OskDB as the engine makes it.
QStringList initialPropertyRows() {
    return {QStringLiteral("AppVersion=") + QStringLiteral(OSK_VERSION_STRING),
            QStringLiteral("AppDBRevision=1"),
            QStringLiteral("AppOskServerHost is NULL"),
            QStringLiteral("AppOskServerPort is NULL"),
            QStringLiteral("AppUsrMode is NULL"),
            QStringLiteral("AppEXERevision is NULL")};
}

} // namespace

class TestEmbeddedEngine final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        m_data = m_folder->file(QStringLiteral("Data"));
        QVERIFY(QDir().mkpath(m_data));
    }

    void openPrincipalCreatesOskDB() {
        QVERIFY(QDir(m_data).removeRecursively());
        EmbeddedEngine engine(m_data);
        QVERIFY(!engine.isPrincipalOpen());
        const Status opened = engine.openPrincipal();
        QVERIFY2(opened.ok(), qPrintable(opened.error()));
        QVERIFY(engine.isPrincipalOpen());
        QCOMPARE(engine.databasePath(QStringLiteral("OskDB")),
                 QDir(m_data).filePath(QStringLiteral("OskDB.db")));

        const QStringList expected = initialPropertyRows();
        QCOMPARE(propertyRows(engine.databasePath(QStringLiteral("OskDB"))), expected);

        // The stored value is what the third column of "SELECT *" returns.
        const auto version = engine.principalPropertyThirdColumn(QStringLiteral("AppVersion"));
        QVERIFY2(version.ok(), qPrintable(version.error()));
        QCOMPARE(*version, QStringLiteral(OSK_VERSION_STRING));
        const auto host = engine.principalPropertyThirdColumn(QStringLiteral("AppOskServerHost"));
        QVERIFY2(host.ok(), qPrintable(host.error()));
        QVERIFY(host->isNull());

        const auto missing = engine.principalPropertyThirdColumn(QStringLiteral("NoSuchKey"));
        QVERIFY(!missing.ok());
        QCOMPARE(missing.error(), kNoCurrentRecord);

        // Opening again neither duplicates nor resets rows.
        QVERIFY(engine.updateProperty(QStringLiteral("OskDB"), QStringLiteral("AppUsrMode"),
                                      QStringLiteral("MULTI")));
        QVERIFY(engine.openPrincipal());
        QCOMPARE(propertyRows(engine.databasePath(QStringLiteral("OskDB"))).size(), expected.size());
        QCOMPARE(*engine.principalPropertyThirdColumn(QStringLiteral("AppUsrMode")), QStringLiteral("MULTI"));
    }

    void openPrincipalCompletesAnExistingOskDB() {
        EmbeddedEngine engine(m_data);
        const QString path = engine.databasePath(QStringLiteral("OskDB"));
        QVERIFY(createProductDatabase(path, {{QStringLiteral("AppVersion"), QStringLiteral("1.5")},
                                             {QStringLiteral("AppOskServerHost"), QStringLiteral("OLDPC")},
                                             {QStringLiteral("Custom"), QStringLiteral("kept")}}));

        QVERIFY(engine.openPrincipal());
        const QStringList expected{QStringLiteral("AppVersion=1.5"),
                                   QStringLiteral("AppOskServerHost=OLDPC"),
                                   QStringLiteral("Custom=kept"),
                                   QStringLiteral("AppDBRevision=1"),
                                   QStringLiteral("AppOskServerPort is NULL"),
                                   QStringLiteral("AppUsrMode is NULL"),
                                   QStringLiteral("AppEXERevision is NULL")};
        QCOMPARE(propertyRows(path), expected);
    }

    void principalCallsNeedAnOpenPrincipal() {
        EmbeddedEngine engine(m_data);
        QVERIFY(!engine.principalPropertyThirdColumn(QStringLiteral("AppVersion")).ok());

        // A property table with two columns has no third column to read.
        QVERIFY(runSql(engine.databasePath(QStringLiteral("OskDB")),
                       {QStringLiteral("CREATE TABLE OskVersion (Property TEXT, PropertyValue TEXT)")}));
        QVERIFY(engine.openPrincipal());
        QVERIFY(!engine.principalPropertyThirdColumn(QStringLiteral("AppVersion")).ok());
    }

    void openPrincipalFailsWhereNoFolderCanBe() {
        QVERIFY(QDir(m_data).removeRecursively());
        QFile blocker(m_data);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        EmbeddedEngine engine(m_data);
        QVERIFY(!engine.openPrincipal().ok());
        QVERIFY(!engine.isPrincipalOpen());
    }

    void listsProductDatabases() {
        EmbeddedEngine engine(m_data);
        QCOMPARE(*engine.listProductDatabases(), QStringList());
        QVERIFY(QDir(m_data).removeRecursively());
        const auto missingFolder = engine.listProductDatabases();
        QVERIFY(missingFolder.ok() && missingFolder->isEmpty());
        QVERIFY(QDir().mkpath(m_data));
        for (const char* file : {"OSKZ.db", "osk1.db", "OskDBUpdate.db", "oskdbupdate.db", "Oska.db",
                                 "other.db", "xosk.db", "osk2.txt", "osk3.db-journal", "osk4.db.bak"})
            QVERIFY(createProductDatabase(QDir(m_data).filePath(QString::fromLatin1(file)), {}));
        QVERIFY(QDir(m_data).mkdir(QStringLiteral("oskfolder.db")));

        QCOMPARE(*engine.listProductDatabases(),
                 (QStringList{QStringLiteral("osk1"), QStringLiteral("Oska"), QStringLiteral("OSKZ")}));

        // OskDB, once created, comes first whatever its name sorts as.
        QVERIFY(engine.openPrincipal());
        QCOMPARE(*engine.listProductDatabases(),
                 (QStringList{QStringLiteral("OskDB"), QStringLiteral("osk1"), QStringLiteral("Oska"),
                              QStringLiteral("OSKZ")}));
    }

    void readsProperties() {
        EmbeddedEngine engine(m_data);
        const QString db = QStringLiteral("osk1");
        QVERIFY(createProductDatabase(engine.databasePath(db),
                                      {{QStringLiteral("AppDBRevision"), QStringLiteral("12")},
                                       {QStringLiteral("AppOskServerHost"), std::nullopt},
                                       {QStringLiteral("AppUsrMode"), QString(QLatin1String(""))}}));

        const auto revision = engine.readProperty(db, QStringLiteral("AppDBRevision"));
        QVERIFY2(revision.ok(), qPrintable(revision.error()));
        QCOMPARE(revision->value(), QStringLiteral("12"));

        const auto host = engine.readProperty(db, QStringLiteral("AppOskServerHost"));
        QVERIFY(host.ok() && host->has_value());
        QVERIFY(host->value().isNull());

        const auto mode = engine.readProperty(db, QStringLiteral("AppUsrMode"));
        QVERIFY(mode.ok() && mode->has_value());
        QVERIFY(mode->value().isEmpty() && !mode->value().isNull());

        const auto missing = engine.readProperty(db, QStringLiteral("AppVersion"));
        QVERIFY(missing.ok());
        QVERIFY(!missing->has_value());
    }

    void perDatabaseErrors() {
        EmbeddedEngine engine(m_data);
        QVERIFY(
            runSql(engine.databasePath(QStringLiteral("oskbare")), {QStringLiteral("CREATE TABLE t (x)")}));

        const auto noTable = engine.readProperty(QStringLiteral("oskbare"), QStringLiteral("AppVersion"));
        QVERIFY(!noTable.ok());
        QVERIFY2(noTable.error().contains(QStringLiteral("no such table: OskVersion")),
                 qPrintable(noTable.error()));
        QVERIFY(!engine.updateProperty(QStringLiteral("oskbare"), QStringLiteral("AppUsrMode"),
                                       QStringLiteral("M")));

        // Neither a read nor a write creates a missing database.
        QVERIFY(!engine.readProperty(QStringLiteral("oskgone"), QStringLiteral("AppVersion")).ok());
        QVERIFY(!engine.updateProperty(QStringLiteral("oskgone"), QStringLiteral("AppVersion"),
                                       QStringLiteral("1")));
        QVERIFY(!QFileInfo::exists(engine.databasePath(QStringLiteral("oskgone"))));

        // A name is a file in the data folder, never a path out of it.
        QVERIFY(!engine.readProperty(QStringLiteral("../osk1"), QStringLiteral("AppVersion")).ok());
    }

    void updatesOnlyExistingRows() {
        EmbeddedEngine engine(m_data);
        const QString db = QStringLiteral("osk1");
        const QString path = engine.databasePath(db);
        QVERIFY(createProductDatabase(path, {{QStringLiteral("AppOskServerHost"), std::nullopt},
                                             {QStringLiteral("O'Key"), QStringLiteral("old")}}));

        QVERIFY(engine.updateProperty(db, QStringLiteral("AppOskServerHost"), QStringLiteral("PC'1; DROP")));
        QVERIFY(engine.updateProperty(db, QStringLiteral("O'Key"), QStringLiteral("it's")));
        const Status absent =
            engine.updateProperty(db, QStringLiteral("AppUsrMode"), QStringLiteral("MULTI"));
        QVERIFY(absent.ok());

        QCOMPARE(propertyRows(path),
                 (QStringList{QStringLiteral("AppOskServerHost=PC'1; DROP"), QStringLiteral("O'Key=it's")}));
        QCOMPARE(engine.readProperty(db, QStringLiteral("O'Key"))->value(), QStringLiteral("it's"));
    }

    void updatesOskDBWhileThePrincipalIsOpen() {
        EmbeddedEngine engine(m_data);
        QVERIFY(engine.openPrincipal());
        // A read on the principal connection first, so any lock it kept would show.
        QVERIFY(engine.principalPropertyThirdColumn(QStringLiteral("AppVersion")).ok());
        const Status updated = engine.updateProperty(
            QStringLiteral("OskDB"), QStringLiteral("AppOskServerHost"), QStringLiteral("PC"));
        QVERIFY2(updated.ok(), qPrintable(updated.error()));
        QCOMPARE(*engine.principalPropertyThirdColumn(QStringLiteral("AppOskServerHost")),
                 QStringLiteral("PC"));
    }

    void dropRemovesTheDatabaseAndItsJournal() {
        EmbeddedEngine engine(m_data);
        const QString path = engine.databasePath(QStringLiteral("osk1"));
        QVERIFY(createProductDatabase(path, kSampleProperties));
        QVERIFY(createProductDatabase(engine.databasePath(QStringLiteral("osk2")), kSampleProperties));
        // A journal left by a crash that SQLite would not replay; it must not outlive the database.
        QVERIFY(writeFileBytes(path + QStringLiteral("-journal"), {}));

        const Status dropped = engine.dropDatabase(QStringLiteral("osk1"));
        QVERIFY2(dropped.ok(), qPrintable(dropped.error()));
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(!QFileInfo::exists(path + QStringLiteral("-journal")));
        QCOMPARE(*engine.listProductDatabases(), QStringList{QStringLiteral("osk2")});

        const Status again = engine.dropDatabase(QStringLiteral("osk1"));
        QVERIFY(!again.ok());
        QCOMPARE(again.error(),
                 QStringLiteral("No se puede eliminar la base de datos 'osk1' porque no existe."));
        QVERIFY(!engine.dropDatabase(QStringLiteral("../Data/osk2")).ok());
        QVERIFY(QFileInfo::exists(engine.databasePath(QStringLiteral("osk2"))));

        // A file under a database's name that is no database at all is dropped like any other.
        QVERIFY(writeFileBytes(path, QByteArray(8192, 'j')));
        QVERIFY(engine.dropDatabase(QStringLiteral("osk1")).ok());
        QVERIFY(!QFileInfo::exists(path));
    }

    void dropIsRefusedWhileTheDatabaseIsInUse_data() {
        QTest::addColumn<QByteArray>("hold");
        QTest::addColumn<QByteArray>("release");
        QTest::addColumn<bool>("reader");
        QTest::newRow("uncommitted change")
            << QByteArray("BEGIN IMMEDIATE; UPDATE OskVersion SET PropertyValue='x'") << QByteArray("COMMIT")
            << false;
        QTest::newRow("read in progress") << QByteArray("SELECT * FROM OskVersion") << QByteArray() << true;
        QTest::newRow("read transaction")
            << QByteArray("BEGIN; SELECT count(*) FROM OskVersion") << QByteArray("COMMIT") << false;
    }

    void dropIsRefusedWhileTheDatabaseIsInUse() {
        QFETCH(QByteArray, hold);
        QFETCH(QByteArray, release);
        QFETCH(bool, reader);
        EmbeddedEngine engine(m_data);
        const QString path = engine.databasePath(QStringLiteral("osk1"));
        QVERIFY(createProductDatabase(path, kSampleProperties));
        const QByteArray before = readFileBytes(path);

        {
            OtherConnection other(path);
            QVERIFY(reader ? other.startReading(hold.constData()) : other.run(hold.constData()));

            const Status refused = engine.dropDatabase(QStringLiteral("osk1"));
            QVERIFY(!refused.ok());
            QCOMPARE(refused.error(),
                     QStringLiteral("No se puede eliminar la base de datos 'osk1' porque está en uso."));
            QCOMPARE(readFileBytes(path), before);

            // Once the other connection lets go, the drop goes through while it is still open.
            if (reader)
                other.stopReading();
            else
                QVERIFY(other.run(release.constData()));
            const Status dropped = engine.dropDatabase(QStringLiteral("osk1"));
            QVERIFY2(dropped.ok(), qPrintable(dropped.error()));
        }
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(!QFileInfo::exists(path + QStringLiteral("-journal")));
    }

    // In write-ahead mode an exclusive transaction leaves readers in; any open reader counts.
    void dropOfAWriteAheadDatabaseWaitsForEveryReader() {
        EmbeddedEngine engine(m_data);
        const QString path = engine.databasePath(QStringLiteral("oskwal"));
        QVERIFY(createProductDatabase(path, kSampleProperties));
        QVERIFY(runSql(path, {QStringLiteral("PRAGMA journal_mode=WAL")}));
        {
            OtherConnection other(path);
            QVERIFY(other.run("BEGIN; SELECT count(*) FROM OskVersion"));
            QVERIFY(!engine.dropDatabase(QStringLiteral("oskwal")).ok());
            QVERIFY(other.run("COMMIT"));
            QCOMPARE(queryText(path, "SELECT PropertyValue FROM OskVersion WHERE Property='AppDBRevision'"),
                     QStringLiteral("9"));
        }
        const Status dropped = engine.dropDatabase(QStringLiteral("oskwal"));
        QVERIFY2(dropped.ok(), qPrintable(dropped.error()));
        for (const char* suffix : {"", "-wal", "-shm", "-journal"})
            QVERIFY2(!QFileInfo::exists(path + QLatin1String(suffix)), suffix);
    }

    void dropRefusesOskDBWhileThePrincipalIsOpen() {
        EmbeddedEngine engine(m_data);
        QVERIFY(engine.openPrincipal());
        const Status refused = engine.dropDatabase(QStringLiteral("OskDB"));
        QVERIFY(!refused.ok());
        QVERIFY2(refused.error().contains(QStringLiteral("está en uso")), qPrintable(refused.error()));
        QVERIFY(QFileInfo::exists(engine.databasePath(QStringLiteral("OskDB"))));
        QVERIFY(engine.principalPropertyThirdColumn(QStringLiteral("AppVersion")).ok());
    }

    void backupCopiesTheWholeDatabase() {
        EmbeddedEngine engine(m_data);
        const QString path = engine.databasePath(QStringLiteral("osk1"));
        // Some megabytes, so the copy takes many steps.
        QVERIFY(createProductDatabase(path, kSampleProperties));
        QVERIFY(runSql(
            path, {QStringLiteral("CREATE TABLE bulk (n INTEGER, data BLOB)"),
                   QStringLiteral("WITH RECURSIVE k(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM k "
                                  "WHERE n < 600) INSERT INTO bulk SELECT n, randomblob(5000) FROM k")}));
        // An older, larger backup under the name is replaced whole, and keeps its permissions.
        const QString output = m_folder->file(QStringLiteral("copia.bak"));
        const qint64 oldSize = 4 << 20;
        QVERIFY(writeFileBytes(output, QByteArray(oldSize, 'o')));
        QVERIFY(QFile::setPermissions(output, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));

        {
            // A reader in the middle of a result set and a writer with an uncommitted change: the
            // copy goes on beside both, and holds what was committed.
            OtherConnection reader(path);
            QVERIFY(reader.startReading("SELECT n FROM bulk"));
            OtherConnection writer(path);
            QVERIFY(writer.run("BEGIN IMMEDIATE; UPDATE OskVersion SET PropertyValue='x'"));

            const Status backedUp = engine.backupDatabase(QStringLiteral("osk1"), output);
            QVERIFY2(backedUp.ok(), qPrintable(backedUp.error()));
            QVERIFY(writer.run("ROLLBACK"));
        }

        QCOMPARE(propertyRows(output), kSampleRows);
        QCOMPARE(queryText(output, "PRAGMA integrity_check"), QStringLiteral("ok"));
        QVERIFY(QFileInfo(output).size() < oldSize);
        QCOMPARE(QFileInfo(output).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::ReadGroup);
        const char* digest = "SELECT count(*) || ':' || sum(length(data)) || ':' || hex(substr(group_concat("
                             "hex(substr(data, 1, 8)), ''), 1, 200)) FROM bulk";
        QCOMPARE(queryText(output, digest), queryText(path, digest));
        // The engine reads the copy as a database of its own.
        QVERIFY(QFile::copy(output, engine.databasePath(QStringLiteral("oskcopia"))));
        QCOMPARE(engine.readProperty(QStringLiteral("oskcopia"), QStringLiteral("AppDBRevision"))->value(),
                 QStringLiteral("9"));
        // Nothing but the backup file is left beside it.
        QCOMPARE(QDir(m_folder->path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("copia.bak")});
    }

    void failedBackupKeepsTheOldOutputFile_data() {
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("outputName");
        QTest::addColumn<QString>("error");
        QTest::newRow("missing database")
            << QStringLiteral("oskgone") << QStringLiteral("copia.bak")
            << QStringLiteral(
                   "No se puede hacer la copia de seguridad de la base de datos 'oskgone' porque no existe.");
        QTest::newRow("not a database") << QStringLiteral("oskjunk") << QStringLiteral("copia.bak")
                                        << QStringLiteral("file is not a database");
        QTest::newRow("missing folder") << QStringLiteral("osk1") << QStringLiteral("nada/copia.bak")
                                        << QStringLiteral("No se puede crear el archivo");
        QTest::newRow("onto the database itself") << QStringLiteral("osk1") << QStringLiteral("Data/osk1.db")
                                                  << QStringLiteral("propia base de datos");
    }

    void failedBackupKeepsTheOldOutputFile() {
        QFETCH(QString, database);
        QFETCH(QString, outputName);
        QFETCH(QString, error);
        EmbeddedEngine engine(m_data);
        QVERIFY(createProductDatabase(engine.databasePath(QStringLiteral("osk1")), kSampleProperties));
        QVERIFY(writeFileBytes(engine.databasePath(QStringLiteral("oskjunk")), QByteArray(8192, 'j')));
        const QString old = m_folder->file(QStringLiteral("copia.bak"));
        QVERIFY(writeFileBytes(old, "the previous backup"));
        const QStringList before = QDir(m_folder->path()).entryList(QDir::AllEntries | QDir::Hidden);
        const QByteArray databaseBefore = readFileBytes(engine.databasePath(QStringLiteral("osk1")));

        const Status failed = engine.backupDatabase(database, m_folder->file(outputName));
        QVERIFY(!failed.ok());
        QVERIFY2(failed.error().contains(error), qPrintable(failed.error()));
        QCOMPARE(readFileBytes(old), QByteArray("the previous backup"));
        QCOMPARE(readFileBytes(engine.databasePath(QStringLiteral("osk1"))), databaseBefore);
        QCOMPARE(QDir(m_folder->path()).entryList(QDir::AllEntries | QDir::Hidden), before);
        QCOMPARE(QDir(m_data).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{QStringLiteral("osk1.db"), QStringLiteral("oskjunk.db")}));
    }

    void createdProductDatabaseIsLikeOskDB() {
        EmbeddedEngine engine(m_data);
        QVERIFY(engine.openPrincipal());
        const Status created = engine.createProductDatabase(QStringLiteral("OskNueva"));
        QVERIFY2(created.ok(), qPrintable(created.error()));
        const QString path = engine.databasePath(QStringLiteral("OskNueva"));

        // The property table as OskDB has it: the same columns, the same rows.
        QCOMPARE(propertyRows(path), initialPropertyRows());
        const char* columns = "SELECT group_concat(name || ' ' || type, ', ') FROM pragma_table_info(%1)";
        QCOMPARE(queryText(path, QByteArray(columns).replace("%1", "'OskVersion'").constData()),
                 queryText(engine.databasePath(QStringLiteral("OskDB")),
                           QByteArray(columns).replace("%1", "'OskVersion'").constData()));
        QCOMPARE(queryText(path, QByteArray(columns).replace("%1", "'oskComponents'").constData()),
                 QStringLiteral("IdNumero INTEGER, FileName TEXT, FileObject BLOB"));
        QCOMPARE(queryText(path, "SELECT count(*) FROM oskComponents"), QStringLiteral("0"));
        QCOMPARE(QDir(m_data).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{QStringLiteral("OskDB.db"), QStringLiteral("OskNueva.db")}));
    }

    void createProductDatabaseRefusesNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("error");
        const QString invalid = QStringLiteral("no es un nombre válido");
        QTest::newRow("taken") << QStringLiteral("osk1")
                               << QStringLiteral("La base de datos 'osk1' ya existe.");
        QTest::newRow("taken in another case")
            << QStringLiteral("OSK1") << QStringLiteral("La base de datos 'OSK1' ya existe.");
        QTest::newRow("empty") << QString() << QStringLiteral("Falta el nombre");
        QTest::newRow("slash") << QStringLiteral("osk/x") << invalid;
        QTest::newRow("backslash") << QStringLiteral("osk\\x") << invalid;
        QTest::newRow("climbs out") << QStringLiteral("osk/../../x") << invalid;
        QTest::newRow("colon") << QStringLiteral("osk:x") << invalid;
        QTest::newRow("asterisk") << QStringLiteral("osk*") << invalid;
        QTest::newRow("control") << QStringLiteral("osk\tx") << invalid;
        QTest::newRow("final dot") << QStringLiteral("osk.") << invalid;
        QTest::newRow("final blank") << QStringLiteral("osk ") << invalid;
        QTest::newRow("too long") << QStringLiteral("osk") + QString(250, QLatin1Char('x'))
                                  << QStringLiteral("demasiado largo");
        QTest::newRow("not listed") << QStringLiteral("ventas") << QStringLiteral("debe empezar por 'osk'");
        QTest::newRow("update database") << QStringLiteral("oskdbupdate") << QStringLiteral("reservado");
    }

    void createProductDatabaseRefusesNames() {
        QFETCH(QString, name);
        QFETCH(QString, error);
        EmbeddedEngine engine(m_data);
        QVERIFY(createProductDatabase(engine.databasePath(QStringLiteral("osk1")), kSampleProperties));
        const QByteArray before = readFileBytes(engine.databasePath(QStringLiteral("osk1")));

        const Status refused = engine.createProductDatabase(name);
        QVERIFY(!refused.ok());
        QVERIFY2(refused.error().contains(error), qPrintable(refused.error()));
        QCOMPARE(QDir(m_data).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("osk1.db")});
        QCOMPARE(QDir(m_folder->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("Data")});
        QCOMPARE(readFileBytes(engine.databasePath(QStringLiteral("osk1"))), before);
    }

private:
    std::unique_ptr<TempProgramFolder> m_folder;
    QString m_data;
};

QTEST_GUILESS_MAIN(TestEmbeddedEngine)
#include "test_embedded_engine.moc"
