// Over the embedded engine: the database list, the check of OskDB and the deletion; the client
// distribution, the files of ClientUpdate into oskComponents in pieces; the administration programs
// the server starts.

#include "database/client_distribution.h"
#include "database/database_admin.h"
#include "database/embedded_component_writer.h"
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
#include <QtEndian>

using namespace osk;
using namespace osk::test;

namespace {

class RecordingLauncher final : public Launcher {
public:
    bool startDetached(const QString& program, const QStringList& arguments, const QString&) override {
        started << "started " + program + " " + arguments.join(' ');
        return succeeds;
    }
    QStringList started;
    bool succeeds = true;
};

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

QByteArray patterned(qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + i / 251) & 0xff);
    return bytes;
}

} // namespace

class TestDatabaseAdmin final : public QObject {
    Q_OBJECT

    FakeClock m_clock;
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<EmbeddedEngine> m_engine;
    ScriptedOperator m_op;
    RecordingProgress m_progress;
    std::unique_ptr<EventLog> m_log;
    std::unique_ptr<DatabaseListModel> m_list;
    std::unique_ptr<DatabaseAdmin> m_admin;
    size_t m_logged = 0;

    QString path(const QString& database) const { return m_folder->file("Data/" + database + ".db"); }
    // The list's rows ("!" before a red cell), the properties of osk1 and osk2, what the operator was
    // shown or asked and the log's lines since the last look.
    QString seen(bool outcome) {
        QStringList lines{QString("outcome %1").arg(outcome)};
        for (int row = 0; row < m_list->rowCount(); ++row) {
            QStringList cells;
            for (int column = 0; column < m_list->columnCount(); ++column) {
                const QVariant colour = m_list->index(row, column).data(Qt::ForegroundRole);
                cells << (!colour.isValid()                             ? ""
                          : colour.value<QColor>() == QColor(255, 0, 0) ? "!"
                                                                        : "?") +
                             m_list->index(row, column).data().toString();
            }
            lines << "row " + cells.join(u'|');
        }
        for (const char* database : {"osk1", "osk2"})
            lines << database + QString(": ") +
                         SqliteFile(path(database))
                             .rows("SELECT PropertyValue FROM OskVersion ORDER BY Id")
                             .join(' ');
        lines += std::exchange(m_op.shown, {});
        for (size_t i = std::exchange(m_logged, m_log->entries().size()); i < m_logged; ++i)
            lines << QString("log %1 %2").arg(int(m_log->entries()[i].kind)).arg(m_log->entries()[i].text);
        return lines.join(u'\n').replace(m_folder->path(), "%F");
    }

    QString demo() const { return path("oskdemo"); }
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
        SqliteFile stored(demo());
        QStringList lines =
            QStringList{outcome} + std::exchange(m_progress.calls, {}) + std::exchange(m_op.shown, {});
        lines << QString("busy %1").arg(m_op.busyDepth);
        lines +=
            stored.rows("SELECT IdNumero, FileName, length(FileObject), substr(hex(FileObject), 1, 8) FROM "
                        "oskComponents ORDER BY IdNumero");
        lines += stored.rows("SELECT 'revision ' || ifnull(PropertyValue, 'NULL') FROM OskVersion WHERE "
                             "Property='AppEXERevision'");
        return lines.join(u'\n').replace(m_folder->path(), "%F");
    }

    // "../Osk tools" stays inside the test's folder: the program folder is a folder within it.
    TempProgramFolder m_root;
    QString modulePath(const QString& relative) const { return m_root.file("OskServer/" + relative); }

private slots:
    void init() {
        m_folder = std::make_unique<TempProgramFolder>();
        m_engine = std::make_unique<EmbeddedEngine>(m_folder->file("Data"));
        QVERIFY(m_engine->openPrincipal().ok());
        m_op = ScriptedOperator();
        m_progress = RecordingProgress();
        m_list = std::make_unique<DatabaseListModel>();
        m_logged = 0;
        m_log = std::make_unique<EventLog>(m_clock, m_op, m_folder->path());
        m_admin = std::make_unique<DatabaseAdmin>(*m_engine, *m_log, m_op, *m_list);
        const QString insert = "INSERT INTO OskVersion (Property, PropertyValue) VALUES ";
        QVERIFY(SqliteFile(path("osk1"))
                    .run({kPropertyTable, insert + "('AppVersion', '2.0'), ('AppDBRevision', '7'), "
                                                   "('AppOskServerHost', 'OLDPC'), ('AppOskServerPort', "
                                                   "'1000'), ('AppUsrMode', 'SINGLE')"}));
        QVERIFY(SqliteFile(path("osk2"))
                    .run({kPropertyTable, insert + "('AppDBRevision', '3'), ('AppOskServerPort', '1000')"}));
        if (QByteArray(QTest::currentTestFunction()).startsWith("distribution"))
            QVERIFY(m_engine->createProductDatabase("oskdemo").ok() &&
                    QDir().mkpath(m_folder->file("ClientUpdate")));
    }

    // Twice: port 0 only refreshes, a port writes the server's data into the valid databases. Only
    // the "Incorrecta" row is red, across the whole row. The host check passes once OskDB names
    // this computer.
    void fillWritesServerDataIntoValidDatabases() {
        const QString rows = "row OskDB|1|Actualizada\nrow osk1|7|Actualizada\nrow !osk2|!3|!Incorrecta\n";
        OSK_COMPARE_SNAPSHOT(seen(m_admin->CargaBasesDatos(0, "SERVIDOR1")),
                             "outcome 1\n" + rows + "osk1: 2.0 7 OLDPC 1000 SINGLE\nosk2: 3 1000");
        OSK_COMPARE_SNAPSHOT(seen(m_admin->CargaBasesDatos(4001, "SERVIDOR1")),
                             "outcome 1\n" + rows + "osk1: 2.0 7 SERVIDOR1 4001 MULTI\nosk2: 3 1000");
        OSK_COMPARE_SNAPSHOT(seen(m_admin->CompruebaDatos("SERVIDOR1", QString())),
                             "outcome 1\n" + rows + "osk1: 2.0 7 SERVIDOR1 4001 MULTI\nosk2: 3 1000");
    }

    // The first error ends the filling with its box and a failure; later databases are untouched.
    void aFailedFillSaysSo() {
        QVERIFY(SqliteFile(path("osk0")).run({"CREATE TABLE t (x)"}));
        QString both = seen(m_admin->CargaBasesDatos(4001, "SERVIDOR1"));
        QVERIFY(writeFileBytes(path("osk0"), QByteArray(4096, '\x5a')));
        both += "\n" + seen(m_admin->CargaBasesDatos(4001, "SERVIDOR1"));
        const QString before =
            "outcome 0\nrow OskDB|1|Actualizada\nrow osk0||\nosk1: 2.0 7 OLDPC 1000 SINGLE\nosk2: "
            "3 1000\nsaid Exclamation: %F/Data/osk0.db: ";
        OSK_COMPARE_SNAPSHOT(both,
                             before + "no such table: OskVersion\n" + before + "no es una base de datos");
    }

    void hostCheck_data() {
        QTest::addColumn<QString>("stored"); // null: SQL NULL
        QTest::addColumn<QString>("localAddress");
        QTest::addColumn<bool>("ok");
        QTest::newRow("null host") << QString() << "192.168.1.20" << false;
        QTest::newRow("computer name") << "SERVIDOR1"
                                       << "192.168.1.20" << true;
        QTest::newRow("name in another case") << "servidor1"
                                              << "192.168.1.20" << false;
        QTest::newRow("local address") << "192.168.1.20"
                                       << "192.168.1.20" << true;
        QTest::newRow("another address") << "192.168.1.2"
                                         << "192.168.1.20" << false;
        QTest::newRow("empty host, no address") << "" << QString() << false;
    }
    void hostCheck() {
        QFETCH(QString, stored);
        QFETCH(QString, localAddress);
        QFETCH(bool, ok);
        const QString value = stored.isNull() ? "NULL" : "'" + stored + "'";
        QVERIFY(SqliteFile(path("OskDB"))
                    .run({"UPDATE OskVersion SET PropertyValue=" + value +
                          " WHERE Property='AppOskServerHost'"}));
        OSK_COMPARE_SNAPSHOT(
            seen(m_admin->CompruebaDatos("SERVIDOR1", localAddress)),
            QString("outcome %1\nosk1: 2.0 7 OLDPC 1000 SINGLE\nosk2: 3 1000").arg(ok) +
                (ok ? "" : "\nlog 3 [09:05:17]  Datos incorrectos en la Base de Datos. Actualice."));
    }

    void deletion() {
        m_op.questionAnswers = {false, true, true};
        QStringList outcomes;
        for (const char* database : {"OskDB", "osk1", "osk1", "osk9"})
            outcomes << seen(m_admin->mnuDBDelete(database, 1033, "SERVIDOR1"));
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
        RecordingLauncher launcher;
        ExternalModules modules(m_root.file("OskServer"), "SRV1", m_op, launcher);
        QVERIFY(QDir().mkpath(m_root.file("Osk tools")) && QDir().mkpath(m_root.file("OskServer")));
        modules.mnuDBBackup();
        for (const char* module :
             {"OskDBBackup.exe", "OskSecurity.exe", "OskDownload.exe", "../Osk tools/OskFtpUpload.exe"})
            QVERIFY(writeFileBytes(modulePath(module), "#!/bin/sh\n"));
        m_op.questionAnswers = {false, true};
        modules.mnuDBSecurity("oskdemo");
        modules.mnuSecurity();
        modules.mnuDBUpload();
        const bool no = modules.mnuDBDownload();  // No: the server carries on
        const bool yes = modules.mnuDBDownload(); // Yes: the program ends so that the update can run
        launcher.succeeds = false;
        modules.mnuDBBackup();
        const QStringList seen =
            m_op.shown + launcher.started + QStringList{QString("download %1%2").arg(no).arg(yes)};
        const QString download =
            "asked Question: El proceso de descarga durara varios minutos, dependiendo de la "
            "velocidad de conexión a internet.\r\nRecuerde que deberá cerrar la aplicación para "
            "poder iniciar la actualización.\r\n¿Desea cerrarla ahora? -> ";
        OSK_COMPARE_SNAPSHOT(
            seen.join(u'\n').replace(m_root.file("OskServer"), "%P"),
            "said Information: Módulo no disponible ('%P/OskDBBackup.exe')\n" + download + "no\n" + download +
                "yes\nsaid Exclamation: No se ha podido iniciar el módulo ('%P/OskDBBackup.exe')\n"
                "started %P/OskSecurity.exe SRV1|oskdemo\nstarted %P/OskSecurity.exe SRV1\n"
                "started %P/../Osk tools/OskFtpUpload.exe \nstarted %P/OskDownload.exe \nstarted "
                "%P/OskDownload.exe \nstarted %P/OskDBBackup.exe 1\ndownload 01");
    }

    // The remainder (length mod 16384) first, then the whole pieces, each counted on the window.
    void distributionInPieces_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("pieces"); // the progress calls of Osk2.exe
        QTest::newRow("one byte short of a piece") << qint64(16383) << "maximum 0";
        QTest::newRow("one piece") << qint64(16384) << "maximum 1\nvalue 1";
        QTest::newRow("remainder and a piece") << qint64(16385) << "maximum 1\nvalue 1";
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
        file.close();
        QVERIFY(SqliteFile(demo()).run({"INSERT INTO oskComponents VALUES (2, 'vacio.txt', x'01')"}));
        OSK_COMPARE_SNAPSHOT(distribute(),
                             "done: Datos actualizados correctamente\nshow\ntext Actualizando 'a.dll' en "
                             "'oskdemo'...\nmaximum 0\ntext Actualizando 'Osk2.exe' en 'oskdemo'...\n" +
                                 pieces +
                                 "\ntext Actualizando 'vacio.txt' en 'oskdemo'...\nhide\nbusy 0\n"
                                 "1|a.dll|10|30313233\n2|Osk2.exe|" +
                                 QString::number(size) + "|" + exe.left(4).toHex().toUpper() +
                                 "\n3|vacio.txt|NULL|\nrevision 2026-11-30 08:15:00");
        QVERIFY(SqliteFile(demo()).rows("SELECT hex(FileObject) FROM oskComponents WHERE IdNumero=2") ==
                QStringList{exe.toHex().toUpper()});
    }

    // A failed run is a failure with its reason, and writes no revision.
    void distributionFailures() {
        put("a.dll", "x");
        put("Osk2.exe", "MZ");
        QStringList seen{distribute("oskninguna")};
        QVERIFY(SqliteFile(demo()).run({"DROP TABLE oskComponents",
                                        "CREATE TABLE oskComponents (IdNumero INTEGER, "
                                        "FileName TEXT CHECK (FileName <> 'a.dll'), FileObject BLOB)"}));
        seen << distribute();
        QVERIFY(SqliteFile(demo()).run({"DROP TABLE oskComponents"}));
        seen << distribute();
        const QString refused = "CHECK constraint failed: FileName <> 'a.dll'";
        const QString end = "\nbusy 0\nrevision NULL";
        OSK_COMPARE_SNAPSHOT(
            seen.join(u'\n'),
            "failed: No se puede abrir la base de datos %F/Data/oskninguna.db: no existe.\nshow\nhide" + end +
                "\nfailed: " + refused +
                "\nshow\ntext Actualizando 'a.dll' en 'oskdemo'...\nhide\nsaid Exclamation: " + refused +
                end +
                "\nfailed: La base de datos 'oskdemo' no tiene la tabla oskComponents; "
                "no se ha guardado ningún archivo.\nshow\nhide" +
                end);
    }

    // The gate file in either case; without it nothing is stored. The revision is the executable's
    // date, or the file version it records (here across its first megabyte's end).
    void distributionGateAndRevision() {
        put("otro.dll", "x");
        put("Osk2.exe.bak", "x");
        QStringList seen{distribute()};
        for (const char* gate : {"osk2.exe", "OSK2.EXE"}) {
            QFile::remove(m_folder->file("ClientUpdate/osk2.exe"));
            put(gate, "MZ");
            seen << distribute().section(u'\n', 0, -2);
        }
        const QString stored =
            "done: Datos actualizados correctamente\nshow\ntext Actualizando '%1' en 'oskdemo'...\n"
            "maximum 0\ntext Actualizando 'Osk2.exe.bak' en 'oskdemo'...\nmaximum 0\ntext "
            "Actualizando 'otro.dll' en 'oskdemo'...\nmaximum 0\nhide\nbusy 0\n1|%1|2|4D5A\n"
            "2|Osk2.exe.bak|1|78\n3|otro.dll|1|78";
        OSK_COMPARE_SNAPSHOT(seen.join(u'\n'),
                             "done: No hay archivos de actualización disponibles.\nbusy 0\nrevision "
                             "NULL\n" +
                                 stored.arg("osk2.exe") + "\n" + stored.arg("OSK2.EXE"));
        QByteArray exe = patterned((1 << 20) + 64);
        uchar record[16];
        qToLittleEndian<quint32>(0xFEEF04BD, record);
        qToLittleEndian<quint32>(0x00010000, record + 4);
        qToLittleEndian<quint32>((2u << 16) | 7u, record + 8);
        qToLittleEndian<quint32>((2026u << 16) | 12u, record + 12);
        exe.replace((1 << 20) - 8, 16, QByteArray(reinterpret_cast<const char*>(record), 16));
        put("Osk2.exe", exe);
        QCOMPARE(ClientDistribution::executableRevision(m_folder->file("ClientUpdate/Osk2.exe")),
                 QString("2.7.2026.12"));
    }

    // A file longer than the engine holds in one value is refused with the reason, in Spanish,
    // and leaves no row for it; the files stored before it stay. The engine's limit (a billion
    // bytes unless lowered) is lowered on the writer's connection so the file can be small.
    void distributionOverTheEnginesLimit() {
        put("a.dll", "0123456789");
        put("Osk2.exe", patterned(2 * 16384 + 5));
        QVERIFY(SqliteFile(demo()).run({"INSERT INTO oskComponents VALUES (7, 'Osk2.exe', x'4D5A')"}));
        auto connection = embedded::openConnection(demo(), SQLITE_OPEN_READWRITE, 1000);
        QVERIFY(connection.ok());
        sqlite3_limit(connection->get(), SQLITE_LIMIT_LENGTH, 20000);
        EmbeddedComponentWriter writer(std::move(connection).value());
        const Status done = ClientDistribution(m_folder->path(), *m_engine, m_op, m_progress)
                                .GuardaComponentes(writer, "oskdemo");
        const QString reason =
            "El archivo 'Osk2.exe' ocupa 32773 bytes y el motor de base de datos incorporado "
            "guarda como mucho 20000 bytes por archivo; no se ha guardado.";
        OSK_COMPARE_SNAPSHOT(stored(done ? "stored" : done.error()),
                             reason +
                                 "\ntext Actualizando 'a.dll' en 'oskdemo'...\nmaximum 0\ntext Actualizando "
                                 "'Osk2.exe' en 'oskdemo'...\nsaid Exclamation: " +
                                 reason + "\nbusy 0\n1|a.dll|10|30313233\nrevision NULL");
    }
};

QTEST_GUILESS_MAIN(TestDatabaseAdmin)
#include "test_database_admin.moc"
