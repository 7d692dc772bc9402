#include "database/database_admin.h"
#include "database/embedded_engine.h"
#include "database/external_modules.h"
#include "eventlog/event_log.h"
#include "sqlite_fixture.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QColor>
#include <QTest>

using namespace osk;
using namespace osk::test;

namespace {
const QString kComputer = QStringLiteral("SERVIDOR1");
const QString kInsertOsk1 = QStringLiteral(
    "INSERT INTO OskVersion (Property, PropertyValue) VALUES ('AppVersion', '2.0'), ('AppDBRevision', '7'), "
    "('AppOskServerHost', 'OLDPC'), ('AppOskServerPort', '1000'), ('AppUsrMode', 'SINGLE')");

class RecordingLauncher final : public Launcher {
public:
    bool startDetached(const QString& program, const QStringList& arguments, const QString&) override {
        started << "started " + program + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
        return succeeds;
    }
    QStringList started;
    bool succeeds = true;
};
} // namespace

// The database list, the check of OskDB and the deletion over the embedded engine, and the
// administration programs the server starts.
class TestDatabaseAdmin final : public QObject {
    Q_OBJECT

    FakeClock m_clock;
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<EmbeddedEngine> m_engine;
    ScriptedOperator m_op;
    std::unique_ptr<EventLog> m_log;
    std::unique_ptr<DatabaseListModel> m_lists;
    std::unique_ptr<DatabaseAdmin> m_admin;
    size_t m_logged = 0;

    QString path(const QString& database) const {
        return m_folder->file(QStringLiteral("Data/") + database + ".db");
    }
    // The list's rows ("!" before a red one), the properties of osk1 and osk2, what the operator was
    // shown or asked and the log's lines since the last look.
    QString seen(bool outcome) {
        QStringList lines{QStringLiteral("outcome %1").arg(outcome)};
        for (int row = 0; row < m_lists->rowCount(); ++row) {
            QStringList cells;
            for (int column = 0; column < m_lists->columnCount(); ++column) {
                const QModelIndex cell = m_lists->index(row, column);
                const QVariant colour = cell.data(Qt::ForegroundRole);
                cells << (!colour.isValid()                             ? QString()
                          : colour.value<QColor>() == QColor(255, 0, 0) ? QStringLiteral("!")
                                                                        : QStringLiteral("?")) +
                             cell.data().toString();
            }
            lines << "row " + cells.join(u'|');
        }
        for (const char* database : {"osk1", "osk2"})
            lines << QLatin1String(database) + QStringLiteral(": ") +
                         SqliteFile(path(QLatin1String(database)))
                             .rows("SELECT PropertyValue FROM OskVersion ORDER BY Id")
                             .join(u' ');
        lines += std::exchange(m_op.shown, {});
        for (size_t i = std::exchange(m_logged, m_log->entries().size()); i < m_logged; ++i)
            lines << QStringLiteral("log %1 %2")
                         .arg(int(m_log->entries()[i].kind))
                         .arg(m_log->entries()[i].text);
        return lines.join(u'\n');
    }

    // "../Osk tools" stays inside the test's folder: the program folder is a folder within it.
    TempProgramFolder m_root;
    QString modulePath(const QString& relative) const {
        return QDir::toNativeSeparators(m_root.file(QStringLiteral("OskServer/") + relative));
    }

private slots:
    void init() {
        m_folder = std::make_unique<TempProgramFolder>();
        m_engine = std::make_unique<EmbeddedEngine>(m_folder->file(QStringLiteral("Data")));
        QVERIFY(m_engine->openPrincipal().ok());
        m_op = ScriptedOperator();
        m_lists = std::make_unique<DatabaseListModel>();
        m_logged = 0;
        m_log = std::make_unique<EventLog>(m_clock, m_op, m_folder->path());
        m_admin = std::make_unique<DatabaseAdmin>(*m_engine, *m_log, m_op, *m_lists);
        QVERIFY(SqliteFile(path(QStringLiteral("osk1"))).run({kPropertyTable, kInsertOsk1}));
        QVERIFY(SqliteFile(path(QStringLiteral("osk2")))
                    .run({kPropertyTable,
                          QStringLiteral("INSERT INTO OskVersion (Property, PropertyValue) VALUES "
                                         "('AppDBRevision', '3'), ('AppOskServerPort', '1000')")}));
    }

    // Twice: port 0 only refreshes, a port writes the server's data into the valid databases.
    // Only the "Incorrecta" row is red, across the whole row.
    void fillWritesServerDataIntoValidDatabases() {
        const QString rows = "row OskDB|1|Actualizada\nrow osk1|7|Actualizada\nrow !osk2|!3|!Incorrecta\n";
        OSK_COMPARE_SNAPSHOT(seen(m_admin->CargaBasesDatos(0, kComputer)),
                             "outcome 1\n" + rows + "osk1: 2.0 7 OLDPC 1000 SINGLE\nosk2: 3 1000");
        OSK_COMPARE_SNAPSHOT(seen(m_admin->CargaBasesDatos(4001, kComputer)),
                             "outcome 1\n" + rows + "osk1: 2.0 7 SERVIDOR1 4001 MULTI\nosk2: 3 1000");
        // The host check passes now that OskDB names this computer.
        OSK_COMPARE_SNAPSHOT(seen(m_admin->CompruebaDatos(kComputer, QString())),
                             "outcome 1\n" + rows + "osk1: 2.0 7 SERVIDOR1 4001 MULTI\nosk2: 3 1000");
    }

    void aFailedFillSaysSo_data() {
        QTest::addColumn<bool>("database");
        QTest::addColumn<QString>("said");
        QTest::newRow("no property table") << true << "%F/Data/osk0.db: no such table: OskVersion";
        QTest::newRow("not a database") << false << "%F/Data/osk0.db: no es una base de datos";
    }
    // The first error ends the filling with its box and a failure; later databases are untouched.
    void aFailedFillSaysSo() {
        QFETCH(bool, database);
        QFETCH(QString, said);
        if (database)
            QVERIFY(SqliteFile(path(QStringLiteral("osk0"))).run({QStringLiteral("CREATE TABLE t (x)")}));
        else
            QVERIFY(writeFileBytes(path(QStringLiteral("osk0")), QByteArray(4096, '\x5a')));
        OSK_COMPARE_SNAPSHOT(seen(m_admin->CargaBasesDatos(4001, kComputer)).replace(m_folder->path(), "%F"),
                             "outcome 0\nrow OskDB|1|Actualizada\nrow osk0||\nosk1: 2.0 7 OLDPC 1000 SINGLE\n"
                             "osk2: 3 1000\nsaid Exclamation: " +
                                 said);
    }

    void hostCheck_data() {
        QTest::addColumn<QString>("stored"); // null: SQL NULL
        QTest::addColumn<QString>("localAddress");
        QTest::addColumn<bool>("ok");
        const auto row = [](const char* name, const QString& stored, const char* address, bool ok) {
            QTest::newRow(name) << stored << QString::fromLatin1(address) << ok;
        };
        row("null host", QString(), "192.168.1.20", false);
        row("computer name", "SERVIDOR1", "192.168.1.20", true);
        row("name in another case", "servidor1", "192.168.1.20", false);
        row("local address", "192.168.1.20", "192.168.1.20", true);
        row("another address", "192.168.1.2", "192.168.1.20", false);
        row("empty host, no address", "", nullptr, false);
    }
    void hostCheck() {
        QFETCH(QString, stored);
        QFETCH(QString, localAddress);
        QFETCH(bool, ok);
        const QString value = stored.isNull() ? QStringLiteral("NULL") : "'" + stored + "'";
        QVERIFY(SqliteFile(path(QStringLiteral("OskDB")))
                    .run({"UPDATE OskVersion SET PropertyValue=" + value +
                          " WHERE Property='AppOskServerHost'"}));
        OSK_COMPARE_SNAPSHOT(
            seen(m_admin->CompruebaDatos(kComputer, localAddress)),
            QStringLiteral("outcome %1\nosk1: 2.0 7 OLDPC 1000 SINGLE\nosk2: 3 1000").arg(ok) +
                (ok ? "" : "\nlog 3 [09:05:17]  Datos incorrectos en la Base de Datos. Actualice."));
    }

    void deletion() {
        m_op.questionAnswers = {false, true, true};
        QStringList outcomes;
        for (const char* database : {"OskDB", "osk1", "osk1", "osk9"})
            outcomes << seen(m_admin->mnuDBDelete(database, 1033, kComputer));
        const QString asked = "\nasked Information: Va a eliminar una Base de Datos que puede estar en uso, "
                              "¿Desea continuar? -> ";
        const QString rows = "row OskDB|1|Actualizada\nrow !osk2|!3|!Incorrecta\nosk1: \nosk2: 3 1000";
        OSK_COMPARE_SNAPSHOT(
            outcomes.join(u'\n'),
            "outcome 0\nosk1: 2.0 7 OLDPC 1000 SINGLE\nosk2: 3 1000\nsaid Information: No se "
            "puede eliminar la Base de Datos OskDB, es esencial para el sistema.\noutcome 0\nosk1: "
            "2.0 7 OLDPC 1000 SINGLE\nosk2: 3 1000" +
                asked + "no\noutcome 1\n" + rows + asked + "yes\noutcome 0\n" + rows + asked +
                "yes\nsaid Critical: mnuDBDelete ErrorNo se puede eliminar la base de datos 'osk9' "
                "porque no existe.");
    }

    void modulesStartOrAreMissing() {
        ScriptedOperator op;
        RecordingLauncher launcher;
        ExternalModules modules(m_root.file("OskServer"), "SRV1", op, launcher);
        QVERIFY(QDir().mkpath(m_root.file("OskServer")));
        modules.mnuDBBackup();
        const bool missing = modules.mnuDBDownload();
        for (const char* module :
             {"OskDBBackup.exe", "OskSecurity.exe", "OskDownload.exe", "../Osk tools/OskFtpUpload.exe"}) {
            QVERIFY(QDir().mkpath(QFileInfo(modulePath(module)).absolutePath()));
            QVERIFY(writeFileBytes(modulePath(module), "#!/bin/sh\n"));
        }
        op.questionAnswers = {false, true};
        modules.mnuDBBackup();
        modules.mnuDBSecurity("oskdemo");
        modules.mnuSecurity();
        modules.mnuDBUpload();
        const bool no = modules.mnuDBDownload();  // No: the server carries on
        const bool yes = modules.mnuDBDownload(); // Yes: the program ends so that the update can run
        launcher.succeeds = false;
        modules.mnuDBBackup();
        const QStringList seen = op.shown + launcher.started +
                                 QStringList{QString("download %1%2%3").arg(missing).arg(no).arg(yes)};
        const QString download =
            "asked Question: El proceso de descarga durara varios minutos, dependiendo de la "
            "velocidad de conexión a internet.\r\nRecuerde que deberá cerrar la aplicación para "
            "poder iniciar la actualización.\r\n¿Desea cerrarla ahora? -> ";
        OSK_COMPARE_SNAPSHOT(
            seen.join(u'\n').replace(m_root.file("OskServer"), "%P"),
            "said Information: Módulo no disponible ('%P/OskDBBackup.exe')\nsaid None: No se "
            "encuentra la aplicación Osk Download en el directorio de Osk Server.\r\n\r\nPara "
            "actualizar su base de datos contacte con su distribuidor.\n" +
                download + "no\n" + download +
                "yes\nsaid Exclamation: No se ha podido iniciar el módulo ('%P/OskDBBackup.exe')\n"
                "started %P/OskDBBackup.exe 1\nstarted %P/OskSecurity.exe SRV1|oskdemo\nstarted "
                "%P/OskSecurity.exe SRV1\nstarted %P/../Osk tools/OskFtpUpload.exe \nstarted "
                "%P/OskDownload.exe \nstarted %P/OskDownload.exe \nstarted %P/OskDBBackup.exe 1\n"
                "download 001");
    }
};

QTEST_GUILESS_MAIN(TestDatabaseAdmin)
#include "test_database_admin.moc"
