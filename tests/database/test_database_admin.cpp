#include "database/database_admin.h"
#include "database/embedded_engine.h"
#include "database/external_modules.h"
#include "eventlog/event_log.h"
#include "sqlite_fixture.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
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
const char* const kProperties = "SELECT PropertyValue FROM OskVersion ORDER BY Id";

class RecordingLauncher final : public Launcher {
public:
    bool startDetached(const QString& program, const QStringList& arguments, const QString&) override {
        started << program + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
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
    DatabaseListModel m_list;
    std::unique_ptr<DatabaseAdmin> m_admin;

    QString path(const QString& database) const {
        return m_folder->file(QStringLiteral("Data/") + database + ".db");
    }
    QStringList listed() const {
        QStringList rows;
        for (int row = 0; row < m_list.rowCount(); ++row)
            rows << QStringLiteral("%1|%2|%3")
                        .arg(m_list.index(row, 0).data().toString(), m_list.index(row, 1).data().toString(),
                             m_list.index(row, 2).data().toString());
        return rows;
    }

    // "../Osk tools" stays inside the test's folder: the program folder is a folder within it.
    TempProgramFolder m_root;
    QString modulePath(const QString& relative) const {
        return QDir::toNativeSeparators(m_root.file(QStringLiteral("OskServer/") + relative));
    }
    void install(const QString& relative) {
        QVERIFY(QDir().mkpath(QFileInfo(modulePath(relative)).absolutePath()));
        QVERIFY(writeFileBytes(modulePath(relative), "#!/bin/sh\n"));
    }

private slots:
    void init() {
        m_folder = std::make_unique<TempProgramFolder>();
        m_engine = std::make_unique<EmbeddedEngine>(m_folder->file(QStringLiteral("Data")));
        QVERIFY(m_engine->openPrincipal().ok());
        m_op = ScriptedOperator();
        m_log = std::make_unique<EventLog>(m_clock, m_op, m_folder->path());
        m_admin = std::make_unique<DatabaseAdmin>(*m_engine, *m_log, m_op, m_list);
        QVERIFY(SqliteFile(path(QStringLiteral("osk1"))).run({kPropertyTable, kInsertOsk1}));
        QVERIFY(SqliteFile(path(QStringLiteral("osk2")))
                    .run({kPropertyTable,
                          QStringLiteral("INSERT INTO OskVersion (Property, PropertyValue) VALUES "
                                         "('AppDBRevision', '3'), ('AppOskServerPort', '1000')")}));
    }

    void fillWritesServerDataIntoValidDatabases() {
        // Twice: a refill replaces the rows. Port 0 only refreshes.
        QVERIFY(m_admin->CargaBasesDatos(0, kComputer));
        QCOMPARE(SqliteFile(path(QStringLiteral("osk1"))).rows(kProperties),
                 (QStringList{"2.0", "7", "OLDPC", "1000", "SINGLE"}));
        QVERIFY(m_admin->CargaBasesDatos(4001, kComputer));
        QVERIFY(m_op.messages.empty());
        QCOMPARE(listed(), (QStringList{"OskDB|1|Actualizada", "osk1|7|Actualizada", "osk2|3|Incorrecta"}));
        QCOMPARE(SqliteFile(path(QStringLiteral("osk1"))).rows(kProperties),
                 (QStringList{"2.0", "7", "SERVIDOR1", "4001", "MULTI"}));
        QCOMPARE(SqliteFile(path(QStringLiteral("osk2"))).rows(kProperties), (QStringList{"3", "1000"}));
        // Only the "Incorrecta" row is red, across the whole row.
        QCOMPARE(m_list.columnCount(), 3);
        for (int column = 0; column < 3; ++column) {
            QCOMPARE(m_list.index(2, column).data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
            QVERIFY(!m_list.index(1, column).data(Qt::ForegroundRole).isValid());
        }

        // The host check passes now that OskDB names this computer.
        QVERIFY(m_admin->CompruebaDatos(kComputer, QString()));
        QVERIFY(m_log->entries().empty());
    }

    void aFailedFillSaysSo_data() {
        QTest::addColumn<bool>("database");
        QTest::addColumn<QString>("said");
        QTest::newRow("no property table") << true << QStringLiteral("OskVersion");
        QTest::newRow("not a database") << false << QStringLiteral("/Data/osk0.db: no es una base de datos");
    }
    // The first error ends the filling with its box and a failure; later databases are untouched.
    void aFailedFillSaysSo() {
        QFETCH(bool, database);
        QFETCH(QString, said);
        if (database)
            QVERIFY(SqliteFile(path(QStringLiteral("osk0"))).run({QStringLiteral("CREATE TABLE t (x)")}));
        else
            QVERIFY(writeFileBytes(path(QStringLiteral("osk0")), QByteArray(4096, '\x5a')));
        QVERIFY(!m_admin->CargaBasesDatos(4001, kComputer));
        QCOMPARE(m_op.messages.size(), size_t(1));
        QVERIFY2(m_op.messages[0].text.contains(said), qPrintable(m_op.messages[0].text));
        QCOMPARE(m_op.messages[0].icon, MessageIcon::Exclamation);
        QCOMPARE(listed(), (QStringList{"OskDB|1|Actualizada", "osk0||"}));
        QCOMPARE(SqliteFile(path(QStringLiteral("osk1"))).rows(kProperties).at(2), QStringLiteral("OLDPC"));
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
        QCOMPARE(m_admin->CompruebaDatos(kComputer, localAddress), ok);
        QVERIFY(m_op.messages.empty());
        QCOMPARE(m_log->entries().size(), size_t(ok ? 0 : 1));
        if (!ok)
            QVERIFY(m_log->entries().front().text.endsWith(
                QStringLiteral("Datos incorrectos en la Base de Datos. Actualice.")));
    }

    void deletion() {
        QVERIFY(!m_admin->mnuDBDelete(QStringLiteral("OskDB"), 1033, kComputer));
        QCOMPARE(m_op.messages.size(), size_t(1));
        QCOMPARE(m_op.messages[0].text,
                 QStringLiteral("No se puede eliminar la Base de Datos OskDB, es esencial para el sistema."));
        m_op.questionAnswers = {false, true};
        QVERIFY(!m_admin->mnuDBDelete(QStringLiteral("osk1"), 1033, kComputer));
        QVERIFY(QFile::exists(path(QStringLiteral("osk1"))));
        QVERIFY(m_admin->mnuDBDelete(QStringLiteral("osk1"), 1033, kComputer));
        QVERIFY(!QFile::exists(path(QStringLiteral("osk1"))));
        QCOMPARE(m_op.questionIcons,
                 (std::vector<MessageIcon>{MessageIcon::Information, MessageIcon::Information}));
        QCOMPARE(listed(), (QStringList{"OskDB|1|Actualizada", "osk2|3|Incorrecta"}));

        m_op.questionAnswers = {true};
        QVERIFY(!m_admin->mnuDBDelete(QStringLiteral("osk9"), 1033, kComputer));
        QVERIFY(m_op.messages.back().text.startsWith(QStringLiteral("mnuDBDelete Error")));
        QCOMPARE(m_op.messages.back().icon, MessageIcon::Critical);
    }

    void modulesStartOrAreMissing() {
        ScriptedOperator op;
        RecordingLauncher launcher;
        ExternalModules modules(m_root.file(QStringLiteral("OskServer")), QStringLiteral("SRV1"), op,
                                launcher);
        QVERIFY(QDir().mkpath(m_root.file(QStringLiteral("OskServer"))));
        modules.mnuDBBackup();
        QVERIFY(!modules.mnuDBDownload());
        QVERIFY(launcher.started.isEmpty());
        QCOMPARE(op.messages.size(), size_t(2));
        QCOMPARE(op.messages[0].text,
                 "Módulo no disponible ('" + modulePath(QStringLiteral("OskDBBackup.exe")) + "')");
        QVERIFY(op.messages[1].text.startsWith(QStringLiteral(
            "No se encuentra la aplicación Osk Download en el directorio de Osk Server.\r\n\r\n")));

        for (const char* module :
             {"OskDBBackup.exe", "OskSecurity.exe", "OskDownload.exe", "../Osk tools/OskFtpUpload.exe"})
            install(QString::fromUtf8(module));
        op.questionAnswers = {false, true};
        modules.mnuDBBackup();
        modules.mnuDBSecurity(QStringLiteral("oskdemo"));
        modules.mnuSecurity();
        modules.mnuDBUpload();
        QVERIFY(!modules.mnuDBDownload()); // No: the server carries on
        QVERIFY(modules.mnuDBDownload());  // Yes: the program ends so that the update can run
        QCOMPARE(launcher.started,
                 (QStringList{modulePath(QStringLiteral("OskDBBackup.exe")) + " 1",
                              modulePath(QStringLiteral("OskSecurity.exe")) + " SRV1|oskdemo",
                              modulePath(QStringLiteral("OskSecurity.exe")) + " SRV1",
                              modulePath(QStringLiteral("../Osk tools/OskFtpUpload.exe")) + " ",
                              modulePath(QStringLiteral("OskDownload.exe")) + " ",
                              modulePath(QStringLiteral("OskDownload.exe")) + " "}));
        QCOMPARE(op.prompts.size(), 2);
        QVERIFY(op.prompts[0].endsWith(QStringLiteral("\r\n¿Desea cerrarla ahora?")));

        launcher.succeeds = false;
        modules.mnuDBBackup();
        QCOMPARE(op.messages.size(), size_t(3));
        QCOMPARE(op.messages[2].icon, MessageIcon::Exclamation);
        QVERIFY(op.messages[2].text.contains(modulePath(QStringLiteral("OskDBBackup.exe"))));
    }
};

QTEST_GUILESS_MAIN(TestDatabaseAdmin)
#include "test_database_admin.moc"
