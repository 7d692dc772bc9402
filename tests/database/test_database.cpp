// Both engines against one contract, and over one set of databases the administration: the
// database list, the check of OskDB and the deletion; the client distribution, the files of
// ClientUpdate into oskComponents in pieces. The SQL Server engine runs through unixODBC with SQLite's ODBC
// driver under a driver name of the test's own, on database files named as the databases; the T-SQL-only
// statements are checked by the exact text it sends. Database files are written and read with SQLite
// directly, so that an engine is checked against the file, not against itself.

#include "database/client_distribution.h"
#include "database/database_admin.h"
#include "database/embedded_engine.h"
#include "database/odbc_engine.h"
#include "eventlog/event_log.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QColor>
#include <QRegularExpression>
#include <QTest>
#include <sqlite3.h>

using namespace osk;
using namespace osk::test;

namespace {

const QString kDriver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";
// The property table as the product databases hold it.
const QString kPropertyTable =
    "CREATE TABLE OskVersion (Id INTEGER PRIMARY KEY, Property TEXT, PropertyValue TEXT)";

class SqliteFile final {
public:
    explicit SqliteFile(const QString& path) { sqlite3_open(QFile::encodeName(path).constData(), &m_db); }
    ~SqliteFile() { sqlite3_close(m_db); }
    Q_DISABLE_COPY_MOVE(SqliteFile)

    // Runs the statements in order; false, with SQLite's message as a warning, at the first refused.
    bool run(const QStringList& statements) {
        for (const QString& sql : statements) {
            char* error = nullptr;
            if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &error) != SQLITE_OK) {
                qWarning("%s: %s", qPrintable(sql), error);
                sqlite3_free(error);
                return false;
            }
        }
        return true;
    }
    // Every row of the query, its columns joined by "|", SQL NULL as "NULL".
    QStringList rows(const char* sql) {
        QStringList rows;
        const auto row = [](void* rows, int count, char** values, char**) {
            QStringList columns;
            for (int i = 0; i < count; ++i)
                columns << (values[i] ? QString::fromUtf8(values[i]) : QString("NULL"));
            *static_cast<QStringList*>(rows) << columns.join(u'|');
            return 0;
        };
        sqlite3_exec(m_db, sql, row, &rows, nullptr);
        return rows;
    }

private:
    sqlite3* m_db = nullptr;
};

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
QByteArray patterned(qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + i / 251) & 0xff);
    return bytes;
}

// Every call the distribution made on its progress window, in order.
class RecordingProgress final : public ProgressView {
public:
    void show() override { calls << "show"; }
    void setText(const QString& text) override { calls << "text " + text; }
    void setMaximum(int maximum) override { calls << QString("maximum %1").arg(maximum); }
    void setValue(int value) override { calls << QString("value %1").arg(value); }
    void hide() override { calls << "hide"; }
    QStringList calls;
};

} // namespace

class TestDatabase final : public QObject {
    Q_OBJECT

    // The file of a database as the engine of the test keeps it.
    QString fileOf(const QString& database) const {
        return m_odbc ? m_folder->file(database) : m_folder->file("Data/" + database + ".db");
    }
    bool createDatabase(const QString& name, const QString& rows = QString()) {
        const QString insert = "INSERT INTO OskVersion (Property, PropertyValue) VALUES " + rows;
        return SqliteFile(fileOf(name))
            .run(rows.isEmpty() ? QStringList{kPropertyTable} : QStringList{kPropertyTable, insert});
    }
    // The list's rows ("!" before a red cell), the properties of oskdemo and OSKVentas, what the
    // operator was shown or asked and the log's lines since the last look.
    QString seen(bool outcome) {
        QStringList lines{QString("outcome %1").arg(outcome)};
        for (int row = 0; row < m_list->rowCount(); ++row) {
            QStringList cells;
            for (int column = 0; column < m_list->columnCount(); ++column) {
                const auto colour = m_list->index(row, column).data(Qt::ForegroundRole).value<QColor>();
                cells << (colour == QColor(255, 0, 0) ? "!"
                          : colour.isValid()          ? "?"
                                                      : "") +
                             m_list->index(row, column).data().toString();
            }
            lines << "row " + cells.join(u'|');
        }
        for (const char* database : {"oskdemo", "OSKVentas"})
            lines
                << database +
                       (": " +
                        SqliteFile(fileOf(database)).rows("SELECT PropertyValue FROM OskVersion").join(' '));
        return (lines + std::exchange(m_op.shown, {}) + logged()).join(u'\n').replace(m_folder->path(), "%F");
    }
    QStringList logged() {
        QStringList lines;
        for (size_t i = std::exchange(m_logged, m_log->entries().size()); i < m_logged; ++i)
            lines << QString("log %1 %2").arg(int(m_log->entries()[i].kind)).arg(m_log->entries()[i].text);
        return lines;
    }
    void put(const QString& name, const QByteArray& bytes) {
        QVERIFY(writeFileBytes(m_folder->file("ClientUpdate/" + name), bytes));
    }
    // What a distribution said, the progress window's calls, the operator's boxes and busy depth,
    // the rows and the revision stored.
    QString distribute(const QString& name = "oskdemo") {
        const Result<QString> done =
            ClientDistribution(m_folder->path(), *m_engine, m_op, m_progress).ActualizaClientes(name);
        return stored(done ? "done: " + *done : "failed: " + done.error());
    }
    QString stored(const QString& outcome) {
        SqliteFile stored(fileOf("oskdemo"));
        QStringList lines = QStringList{outcome} + std::exchange(m_progress.calls, {}) +
                            std::exchange(m_op.shown, {}) +
                            QStringList{QString("busy %1").arg(m_op.busyDepth)};
        lines +=
            stored.rows("SELECT IdNumero, FileName, length(FileObject), substr(hex(FileObject), 1, 8) FROM "
                        "oskComponents ORDER BY IdNumero");
        lines += stored.rows("SELECT 'revision ' || ifnull(PropertyValue, 'NULL') FROM OskVersion WHERE "
                             "Property='AppEXERevision'");
        return lines.join(u'\n').replace(m_folder->path(), "%F");
    }

    TempProgramFolder m_odbcConfig;
    std::unique_ptr<TempProgramFolder> m_folder;
    QString m_previousFolder;
    bool m_odbc = false;
    QStringList m_sent, m_logins;
    FakeClock m_clock;
    ScriptedOperator m_op;
    RecordingProgress m_progress;
    std::unique_ptr<Engine> m_engine;
    std::unique_ptr<EventLog> m_log;
    std::unique_ptr<DatabaseListModel> m_list;
    std::unique_ptr<DatabaseAdmin> m_admin;
    size_t m_logged = 0;

private slots:
    void initTestCase() {
        // The driver manager reads its driver list from ODBCSYSINI on first use: set before any handle.
        QVERIFY(writeFileBytes(m_odbcConfig.file("odbcinst.ini"),
                               "[Osk Test SQLite]\nDriver=" + kDriver.toUtf8() + "\n"));
        QVERIFY(writeFileBytes(m_odbcConfig.file("odbc.ini"), QByteArray()));
        qputenv("ODBCSYSINI", m_odbcConfig.path().toUtf8());
        qputenv("ODBCINI", m_odbcConfig.file("odbc.ini").toUtf8());
        m_previousFolder = QDir::currentPath();
    }
    void cleanup() { QDir::setCurrent(m_previousFolder); }

    // OskDB, two product databases (one without the components table and AppVersion), an update
    // database and a database of another product; the SQLite driver opens "database=<name>" in the
    // working folder.
    void init() {
        m_admin.reset();
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(QDir().mkpath(m_folder->file("Data")) && QDir().mkpath(m_folder->file("Copias")) &&
                QDir().mkpath(m_folder->file("ClientUpdate")));
        QVERIFY(QDir::setCurrent(m_folder->path()));
        m_sent = m_logins = {};
        const QByteArray function = QTest::currentTestFunction();
        m_odbc = function == "sqlServerStatements" ||
                 (function == "contract" && QTest::currentDataTag() != QByteArray("embedded"));
        if (m_odbc && !QFile::exists(kDriver))
            QSKIP("SQLite's ODBC driver is not installed (scripts/install-deps.sh).");
        QVERIFY(createDatabase("OskDB",
                               "('AppVersion', '2.0'), ('AppDBRevision', '17'), ('AppOskServerHost', "
                               "'SRV1'), ('AppUsrMode', NULL)"));
        QVERIFY(createDatabase("oskdemo",
                               "('AppVersion', '2.0'), ('AppDBRevision', '3'), ('AppEXERevision', NULL), "
                               "('AppOskServerHost', 'OLDPC'), ('AppOskServerPort', '1000'), "
                               "('AppUsrMode', 'SINGLE')"));
        QVERIFY(SqliteFile(fileOf("oskdemo"))
                    .run({"CREATE TABLE oskComponents (IdNumero INTEGER, FileName TEXT, FileObject BLOB)",
                          "CREATE TABLE sysobjects (name TEXT)",
                          "INSERT INTO sysobjects VALUES ('oskComponents')"}));
        QVERIFY(createDatabase("OSKVentas", "('AppDBRevision', '9'), ('AppOskServerPort', '1000')"));
        QVERIFY(SqliteFile(fileOf("OSKVentas")).run({"CREATE TABLE sysobjects (name TEXT)"}));
        QVERIFY(createDatabase("OskDBUpdate") && createDatabase("demo_osk"));
        QVERIFY(
            SqliteFile(m_folder->file("Master"))
                .run({"CREATE TABLE sysDatabases (name TEXT)",
                      "INSERT INTO sysDatabases VALUES ('master'), ('OskDB'), ('oskdemo'), ('OskDBUpdate'), "
                      "('OSKVentas'), ('demo_osk')"}));
        if (m_odbc) {
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
            m_engine = std::make_unique<OdbcEngine>(std::move(options));
        } else {
            m_engine = std::make_unique<EmbeddedEngine>(m_folder->file("Data"));
        }
        m_op = ScriptedOperator();
        m_progress = RecordingProgress();
        m_list = std::make_unique<DatabaseListModel>();
        m_logged = 0;
        m_log = std::make_unique<EventLog>(m_clock, m_op, m_folder->path());
        m_admin = std::make_unique<DatabaseAdmin>(*m_engine, *m_log, m_op, *m_list);
        QVERIFY(function == "contract" || m_engine->openPrincipal().ok());
    }

    void contract_data() {
        QTest::addColumn<QString>("differs"); // what the engine of the row does its own way
        // The embedded engine takes away the row of a content that failed; the ODBC writer leaves it
        // with a null FileObject. Each login costs a round of authentication on a real server: a list
        // fill logs in to master once and to each listed database once.
        QTest::newRow("embedded") << QString();
        QTest::newRow("SQL Server over ODBC")
            << QString("row: 2|Año.dll|NULL\nrow: 4|b.bin|NULL\nlogins: Master OskDB oskdemo OSKVentas");
    }
    void contract() {
        QFETCH(QString, differs);
        Engine& engine = *m_engine;
        QStringList seen{"open: " + said(engine.openPrincipal())};
        for (const char* key : {"AppOskServerHost", "AppUsrMode", "App'Missing"}) {
            const Result<QString> third = engine.principalPropertyThirdColumn(key);
            seen << key + QString(": ") + (!third ? third.error() : third->isNull() ? "NULL" : *third);
        }
        seen << "list: " + joined(engine.listProductDatabases());
        // Values are bound, not pasted: an apostrophe is stored as it is, a key that tries to widen
        // the WHERE changes nothing.
        for (const char* key : {"AppDBRevision", "AppMissing", "AppEXERevision"})
            seen << key + QString(": ") + value(engine.readProperty("oskdemo", key));
        seen << "update: " + said(engine.updateProperty("oskdemo", "AppVersion", "O'Brien")) + " " +
                    said(engine.updateProperty("oskdemo", "x' OR '1'='1", "hacked"));
        seen << QString("master: ") + (engine.readProperty("Master", "AppVersion") ? "read" : "refused");
        // Components: a row replaced by name and by number, its content in pieces, the length held.
        QVERIFY(SqliteFile(fileOf("oskdemo"))
                    .run({"INSERT INTO oskComponents VALUES (1, 'Old.dll', x'00'), (7, 'Osk2.exe', x'01'), "
                          "(3, 'Keep.dll', x'02')"}));
        {
            auto opened = engine.openComponentWriter("oskdemo");
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
        seen += file.rows(
            "SELECT 'row: ' || IdNumero || '|' || FileName || '|' || quote(FileObject) FROM oskComponents");
        seen += file.rows(
            "SELECT 'property: ' || Property || '|' || ifnull(PropertyValue, 'NULL') FROM OskVersion");
        seen << "OSKVentas table: " + flag((*engine.openComponentWriter("OSKVentas"))->hasComponentsTable());
        m_logins.clear();
        seen << QString("fill: %1").arg(m_admin->CargaBasesDatos(1033, "SRV1"));
        if (m_odbc)
            seen << "logins: " + m_logins.join(u' ');
        QStringList expected =
            QString(
                "open: ok\nAppOskServerHost: SRV1\nAppUsrMode: NULL\nApp'Missing: BOF o EOF es True, o el "
                "registro actual se eliminó. La operación solicitada requiere un registro actual.\nlist: "
                "OskDB oskdemo OSKVentas\nAppDBRevision: 3\nAppMissing: no row\nAppEXERevision: "
                "NULL\nupdate: ok ok\nmaster: refused\nwriter: table 1 |abppe |abp-- |abp- |u\nrow: "
                "1|Osk2.exe|X'6162636465'\nrow: 3|Keep.dll|X'02'\nproperty: AppVersion|O'Brien\nproperty: "
                "AppDBRevision|3\nproperty: AppEXERevision|1.2.3.4\nproperty: AppOskServerHost|OLDPC\n"
                "property: AppOskServerPort|1000\nproperty: AppUsrMode|SINGLE\nOSKVentas table: 0\nfill: 1")
                .split(u'\n');
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
    void sqlServerStatements() {
        OdbcOptions options;
        options.serverName = "SRV1\\SQL2000";
        QStringList seen{OdbcEngine(options).connectString("OskDB")};
        options.serverName = "srv1";
        seen << QString("local: %1%2")
                    .arg(OdbcEngine(options).isLocal("SRV1"))
                    .arg(OdbcEngine(options).isLocal("SRV2"));
        const QString backup = m_folder->file("Copias/it's.bak");
        QVERIFY(writeFileBytes(backup, "the previous"));
        m_sent.clear();
        QVERIFY(!m_engine->dropDatabase("osk]demo").ok() &&
                !m_engine->backupDatabase("osk'demo", backup).ok());
        seen += m_sent;
        seen << "no file: " + m_engine->backupDatabase("oskdemo", QString()).error()
             << "left: " + QDir(m_folder->file("Copias")).entryList(QDir::Files | QDir::Hidden).join(' ') +
                    "=" + readFileBytes(backup);
        const ServerMessage progress{"01000", "Processed 184 pages."};
        seen << said(judgeByMessages({progress, {"00000", QString()}}, false))
             << said(judgeByMessages({progress, {"42000", "Cannot open backup device."}, {"42000", "x"}},
                                     false))
             << said(judgeByMessages({progress}, true));
        const QString text = seen.join(u'\n').replace(m_folder->path(), "%F");
        const QString expected =
            "uid=Osk;pwd=kq7351;driver={SQL "
            "Server};Regional=Yes;server=SRV1\\SQL2000;database=OskDB;TDS_Version=7.1;ClientCharset=UTF-8;\n"
            "local: 10\nDrop DATABASE [osk]]demo]\nBACKUP DATABASE [osk'demo]\r\n"
            "TO DISK = '%F/Copias/.it''s.bak.HEX.tmp'\nno file: No se ha indicado el archivo de copia.\n"
            "left: it's.bak=the previous\nok\nCannot open backup device.\nLa instrucción ha fallado sin un "
            "mensaje del servidor.";
        const QString pattern = QRegularExpression::escape(expected).replace("HEX", "[0-9a-f]{8}");
        QVERIFY2(QRegularExpression("^" + pattern + "$").match(text).hasMatch(), qPrintable(text));
    }

    // The host check passes only when OskDB names this computer or its address. Twice: port 0 only
    // refreshes, a port writes the server's data into the valid databases. Only the "Incorrecta" row
    // is red, across the whole row. A deletion is asked first; OskDB is never deleted. The first error
    // ends a filling with its box and a failure; later databases are untouched.
    void administration() {
        QStringList hosts; // the host OskDB names, the local address
        for (const QString row : {"NULL 192.168.1.20", "'SRV1' 192.168.1.20", "'srv1' 192.168.1.20",
                                  "'192.168.1.20' 192.168.1.20", "'' "}) {
            QVERIFY(SqliteFile(fileOf("OskDB"))
                        .run({"UPDATE OskVersion SET PropertyValue=" + row.section(' ', 0, 0) +
                              " WHERE Property='AppOskServerHost'"}));
            const bool ok = m_admin->CompruebaDatos("SRV1", row.section(' ', 1));
            hosts << (QStringList{row + QString(": %1").arg(ok)} + logged()).join(' ');
        }
        const QString bad = " log 3 [09:05:17]  Datos incorrectos en la Base de Datos. Actualice.";
        OSK_COMPARE_SNAPSHOT(hosts.join(u'\n'), "NULL 192.168.1.20: 0" + bad +
                                                    "\n'SRV1' 192.168.1.20: 1\n'srv1' 192.168.1.20: 0" + bad +
                                                    "\n'192.168.1.20' 192.168.1.20: 1\n'' : 0" + bad);
        const QString rows =
            "row OskDB|17|Actualizada\nrow oskdemo|3|Actualizada\nrow !OSKVentas|!9|!Incorrecta\n";
        const QString filled = rows + "oskdemo: 2.0 3 NULL SRV1 4001 MULTI\nOSKVentas: 9 1000";
        OSK_COMPARE_SNAPSHOT(seen(m_admin->CargaBasesDatos(0, "SRV1")),
                             "outcome 1\n" + rows +
                                 "oskdemo: 2.0 3 NULL OLDPC 1000 SINGLE\nOSKVentas: 9 1000");
        OSK_COMPARE_SNAPSHOT(seen(m_admin->CargaBasesDatos(4001, "SRV1")), "outcome 1\n" + filled);
        OSK_COMPARE_SNAPSHOT(seen(m_admin->CompruebaDatos("SRV1", QString())), "outcome 1\n" + filled);

        m_op.questionAnswers = {false, true, true};
        QStringList outcomes;
        for (const char* database : {"OskDB", "oskdemo", "oskdemo", "osk9"})
            outcomes << seen(m_admin->mnuDBDelete(database, 1033, "SRV1"));
        const QString asked = "\nasked Information: Va a eliminar una Base de Datos que puede estar en uso, "
                              "¿Desea continuar? -> ";
        const QString left =
            "row OskDB|17|Actualizada\nrow !OSKVentas|!9|!Incorrecta\noskdemo: \nOSKVentas: 9 1000";
        OSK_COMPARE_SNAPSHOT(
            outcomes.join(u'\n'),
            "outcome 0\n" + filled +
                "\nsaid Information: No se puede eliminar la Base de Datos OskDB, es esencial "
                "para el sistema.\noutcome 0\n" +
                filled + asked + "no\noutcome 1\n" + left + asked + "yes\noutcome 0\n" + left + asked +
                "yes\nsaid Critical: mnuDBDelete ErrorNo se puede eliminar la base de datos "
                "'osk9' porque no existe.");

        QVERIFY(SqliteFile(fileOf("osk0")).run({"CREATE TABLE t (x)"}));
        OSK_COMPARE_SNAPSHOT(
            seen(m_admin->CargaBasesDatos(4001, "SRV1")),
            "outcome 0\nrow OskDB|17|Actualizada\nrow osk0||\noskdemo: \nOSKVentas: 9 1000\nsaid "
            "Exclamation: %F/Data/osk0.db: no such table: OskVersion");
    }

    // The remainder (length mod 16384) first, then the whole pieces, each counted on the window.
    void distributionInPieces_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("pieces"); // the progress calls of Osk2.exe
        QTest::newRow("one byte short of a piece") << qint64(16383) << "maximum 0";
        QTest::newRow("one piece") << qint64(16384) << "maximum 1\nvalue 1";
        QTest::newRow("remainder and three pieces")
            << qint64(3 * 16384 + 7) << "maximum 3\nvalue 1\nvalue 2\nvalue 3";
    }
    void distributionInPieces() {
        QFETCH(qint64, size);
        QFETCH(QString, pieces);
        const QByteArray exe = patterned(size);
        put("Osk2.exe", exe);
        put("a.dll", "0123456789");
        put("vacio.txt", {});
        QFile file(m_folder->file("ClientUpdate/Osk2.exe"));
        QVERIFY(file.open(QIODevice::ReadWrite) &&
                file.setFileTime(QDateTime(QDate(2026, 11, 30), QTime(8, 15)),
                                 QFileDevice::FileModificationTime));
        QVERIFY(
            SqliteFile(fileOf("oskdemo")).run({"INSERT INTO oskComponents VALUES (2, 'vacio.txt', x'01')"}));
        OSK_COMPARE_SNAPSHOT(distribute(),
                             "done: Datos actualizados correctamente\nshow\ntext Actualizando 'a.dll' "
                             "en 'oskdemo'...\nmaximum 0\ntext Actualizando 'Osk2.exe' en 'oskdemo'...\n" +
                                 pieces +
                                 "\ntext Actualizando 'vacio.txt' en 'oskdemo'...\nhide\nbusy 0\n"
                                 "1|a.dll|10|30313233\n2|Osk2.exe|" +
                                 QString::number(size) + "|" + exe.left(4).toHex().toUpper() +
                                 "\n3|vacio.txt|NULL|\nrevision 2026-11-30 08:15:00");
        QVERIFY(SqliteFile(fileOf("oskdemo"))
                    .rows("SELECT hex(FileObject) FROM oskComponents WHERE IdNumero=2") ==
                QStringList{exe.toHex().toUpper()});
    }

    // A failed run is a failure with its reason, and writes no revision. The gate file in either case;
    // without it nothing is stored.
    void distributionFailuresAndGate() {
        put("a.dll", "x");
        put("Osk2.exe", "MZ");
        QStringList seen{distribute("oskninguna")};
        QVERIFY(SqliteFile(fileOf("oskdemo"))
                    .run({"DROP TABLE oskComponents",
                          "CREATE TABLE oskComponents (IdNumero INTEGER, FileName TEXT "
                          "CHECK (FileName <> 'a.dll'), FileObject BLOB)"}));
        seen << distribute();
        QVERIFY(SqliteFile(fileOf("oskdemo")).run({"DROP TABLE oskComponents"}));
        seen << distribute();
        const QString refused = "CHECK constraint failed: FileName <> 'a.dll'";
        const QString end = "\nbusy 0\nrevision NULL";
        OSK_COMPARE_SNAPSHOT(
            seen.join(u'\n'),
            "failed: No se puede abrir la base de datos %F/Data/oskninguna.db: no existe.\nshow\nhide" + end +
                "\nfailed: " + refused +
                "\nshow\ntext Actualizando 'a.dll' en 'oskdemo'...\nhide\nsaid Exclamation: " + refused +
                end +
                "\nfailed: La base de datos 'oskdemo' no tiene la tabla oskComponents; no se ha "
                "guardado ningún archivo.\nshow\nhide" +
                end);

        QVERIFY(SqliteFile(fileOf("oskdemo"))
                    .run({"CREATE TABLE oskComponents (IdNumero INTEGER, FileName TEXT, FileObject BLOB)"}) &&
                QFile::remove(m_folder->file("ClientUpdate/Osk2.exe")) &&
                QFile::remove(m_folder->file("ClientUpdate/a.dll")));
        put("otro.dll", "x");
        put("Osk2.exe.bak", "x");
        seen = QStringList{distribute()};
        for (const char* gate : {"osk2.exe", "OSK2.EXE"}) {
            QFile::remove(m_folder->file("ClientUpdate/osk2.exe"));
            put(gate, "MZ");
            seen << distribute().section(u'\n', 0, -2);
        }
        const QString stored =
            "done: Datos actualizados correctamente\nshow\ntext Actualizando '%1' en 'oskdemo'...\n"
            "maximum 0\ntext Actualizando 'Osk2.exe.bak' en 'oskdemo'...\nmaximum 0\n"
            "text Actualizando 'otro.dll' en 'oskdemo'...\nmaximum 0\nhide\nbusy 0\n1|%1|2|4D5A\n"
            "2|Osk2.exe.bak|1|78\n3|otro.dll|1|78";
        OSK_COMPARE_SNAPSHOT(seen.join(u'\n'),
                             "done: No hay archivos de actualización disponibles.\nbusy 0\nrevision "
                             "NULL\n" +
                                 stored.arg("osk2.exe") + "\n" + stored.arg("OSK2.EXE"));
    }
};

QTEST_GUILESS_MAIN(TestDatabase)
#include "test_database.moc"
