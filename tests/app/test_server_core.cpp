#include "app/server_core.h"
#include "common/operator.h"
#include "database/client_distribution.h"
#include "database/embedded_engine.h"
#include "database/engine.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <map>
#include <memory>
#include <optional>
#include <sqlite3.h>

using namespace osk;
using osk::test::FakeClock;
using osk::test::ScriptedOperator;
using osk::test::TempProgramFolder;
using namespace osk::test;

namespace {

constexpr int kWaitMs = 10000;

// The commands the service start and stop govern, on the embedded engine (which works on this
// computer's disk, so the disk-bound commands are offered).
constexpr std::pair<Command, const char*> kServiceCommands[] = {
    {Command::mnuIniciarServicio, "mnuIniciarServicio"},
    {Command::mnuDetenerServicio, "mnuDetenerServicio"},
    {Command::mnuSalir, "mnuSalir"},
    {Command::mnuServicioPuerto, "mnuServicioPuerto"},
    {Command::mnuDBActualizar, "mnuDBActualizar"},
    {Command::mnuAutoBackup, "mnuAutoBackup"},
    {Command::mnuSQL, "mnuSQL"},
    {Command::mnuDBDownload, "mnuDBDownload"},
    {Command::mnuDBUpload, "mnuDBUpload"},
    {Command::mnuDBBackup, "mnuDBBackup"},
};

// Caption, tray picture, whether the timers run, and the enabled commands, as one line.
QString serviceState(ServerCore& core) {
    QStringList state{core.caption(),
                      core.trayImage() == TrayImage::Start ? QStringLiteral("Start") : QStringLiteral("Stop"),
                      QStringLiteral("timers %1 %2")
                          .arg(core.session().tmrMain().isActive())
                          .arg(core.tmrBackup().isActive())};
    for (const auto& [command, name] : kServiceCommands) {
        if (core.commands().isEnabled(command))
            state << QString::fromLatin1(name);
    }
    return state.join(QLatin1Char('|'));
}

const QString kStarted = QStringLiteral(
    "Osk Server - Iniciado|Start|timers 1 1|mnuDetenerServicio|mnuDBDownload|mnuDBUpload|mnuDBBackup");
const QString kStopped =
    QStringLiteral("Osk Server - Detenido|Stop|timers 0 0|mnuIniciarServicio|mnuSalir|"
                   "mnuServicioPuerto|mnuDBActualizar|mnuAutoBackup|mnuSQL|mnuDBDownload|"
                   "mnuDBUpload|mnuDBBackup");

struct Fixture {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    quint16 port = freePort();
    std::unique_ptr<ServerCore> core;

    QString settingsPath() const { return folder.file(kSettingsFileName); }
    bool writeSettings(const QByteArray& content) const { return writeFileBytes(settingsPath(), content); }
    // The settings decide the engine, so the core is made once they are written.
    ServerCore& make() {
        core = std::make_unique<ServerCore>(folder.path(), clock, op);
        return *core;
    }
    bool open() { return port != 0 && writeSettings(portSettings(port)) && make().AbreConexion().ok(); }
    // Loaded on the embedded engine, on a free port.
    bool load() {
        if (!open())
            return false;
        core->load();
        return true;
    }
    // As load(), with one product database, "oskdemo", beside OskDB.
    bool loadWithDemoDatabase() {
        if (!open() || !EmbeddedEngine(folder.file(QStringLiteral("Data")))
                            .createProductDatabase(QStringLiteral("oskdemo"))
                            .ok())
            return false;
        core->load();
        return true;
    }
    // The lines logged since the given count, as "text|kind".
    QStringList linesSince(size_t from) const {
        QStringList lines;
        const auto& entries = core->eventLog().entries();
        for (size_t i = from; i < entries.size(); ++i)
            lines << entries[i].text + QLatin1Char('|') + QString::number(int(entries[i].kind));
        return lines;
    }
};

bool execSql(const QString& databasePath, const char* sql) {
    sqlite3* db = nullptr;
    const QByteArray path = databasePath.toUtf8();
    bool ok = sqlite3_open_v2(path.constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    ok = ok && sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

QString line(const char* text, LogKind kind) {
    return QStringLiteral("[09:05:17]  ") + QString::fromUtf8(text) + QLatin1Char('|') +
           QString::number(int(kind));
}

} // namespace

class TestServerCore final : public QObject {
    Q_OBJECT

private slots:
    void startAndStopSetCommandsCaptionTrayAndLog();
    void portInUseLeavesServiceStopped();
    void stopThenStartAgain();
    // The value cuts themselves are the settings' tests; these check that the core takes them.
    void unusablePortIsReplacedByDefault_data();
    void unusablePortIsReplacedByDefault();
    void maxUsersFallsBackTo255_data();
    void maxUsersFallsBackTo255();
    void sqlServerOnAnotherComputer_data();
    void sqlServerOnAnotherComputer();
    void databaseCommandsOnTheEmbeddedEngine();
    void clientDistributionStoresEveryFileByteForByte();
};

void TestServerCore::startAndStopSetCommandsCaptionTrayAndLog() {
    Fixture f;
    QVERIFY(f.load());
    ServerCore& core = *f.core;
    QVERIFY(QFileInfo(f.folder.file(QStringLiteral("Data/OskDB.db"))).isFile());
    QVERIFY2(f.op.messages.empty(), f.op.messages.empty() ? "" : qPrintable(f.op.messages[0].text));
    QCOMPARE(readFileBytes(f.settingsPath()), portSettings(f.port));
    QCOMPARE(core.settings().port, int(f.port));
    if (core.localAddress().isEmpty())
        QSKIP("This computer has no IPv4 address at all");

    QCOMPARE(serviceState(core), kStopped);

    QSignalSpy captions(&core, &ServerCore::captionChanged);
    QSignalSpy trays(&core, &ServerCore::trayImageChanged);
    size_t logged = core.eventLog().entries().size();

    QVERIFY(core.startService());

    QVERIFY(core.isStarted());
    QCOMPARE(core.session().listeningPort(), f.port);
    QCOMPARE(f.linesSince(logged), (QStringList{line("Inicializando Entorno...", LogKind::Info),
                                                line("Inicialización Completada.", LogKind::Done),
                                                line("Servidor activo.", LogKind::Done),
                                                line("Esperando conexiones...", LogKind::Info)}));
    QCOMPARE(serviceState(core), kStarted);
    QCOMPARE(captions.size(), 1);
    QCOMPARE(captions[0][0].toString(), QStringLiteral("Osk Server - Iniciado"));
    QCOMPARE(trays.size(), 1);
    QCOMPARE(trays[0][0].value<TrayImage>(), TrayImage::Start);

    Client client(f.port);
    QTRY_COMPARE_WITH_TIMEOUT(client.received, QByteArray("CONNECTED"), kWaitMs);

    logged = core.eventLog().entries().size();
    core.stopService();

    QVERIFY(!core.isStarted());
    QCOMPARE(f.linesSince(logged), (QStringList{line("Cerrando conexiones...", LogKind::Info),
                                                line("Conexiones cerradas.", LogKind::Done),
                                                line("Servidor inactivo.", LogKind::Done)}));
    QCOMPARE(serviceState(core), kStopped);
    QCOMPARE(captions.size(), 2);
    QCOMPARE(captions[1][0].toString(), QStringLiteral("Osk Server - Detenido"));
    QCOMPARE(trays.size(), 2);
    QCOMPARE(trays[1][0].value<TrayImage>(), TrayImage::Stop);

    // A connection that never started its session is closed without a word.
    QTRY_COMPARE_WITH_TIMEOUT(client.socket.state(), QAbstractSocket::UnconnectedState, kWaitMs);
    QCOMPARE(client.received, QByteArray("CONNECTED"));
    Client refused(f.port);
    QTRY_COMPARE_WITH_TIMEOUT(refused.socket.state(), QAbstractSocket::UnconnectedState, kWaitMs);
    QCOMPARE(refused.received, QByteArray());
    QVERIFY(f.op.messages.empty());
}

void TestServerCore::portInUseLeavesServiceStopped() {
    Fixture f;
    QVERIFY(f.load());
    ServerCore& core = *f.core;
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::AnyIPv4, f.port));
    if (core.localAddress().isEmpty())
        QSKIP("This computer has no IPv4 address at all");
    QSignalSpy trays(&core, &ServerCore::trayImageChanged);
    const size_t logged = core.eventLog().entries().size();

    QVERIFY(!core.startService());

    QVERIFY(!core.isStarted());
    QCOMPARE(f.linesSince(logged), (QStringList{line("Inicializando Entorno...", LogKind::Info),
                                                line("Puerto incorrecto.", LogKind::Error)}));
    QCOMPARE(f.op.messages.size(), size_t(1));
    QCOMPARE(f.op.messages[0].text, QStringLiteral("El puerto %1 ya está siendo utilizado por algún otro "
                                                   "programa. Elija un puerto distinto e inténtelo de nuevo.")
                                        .arg(f.port));
    QCOMPARE(f.op.messages[0].icon, MessageIcon::Information);
    QCOMPARE(f.op.messages[0].title, kDefaultTitle);
    // The tray showed the start and went back; the commands stay as they were.
    QCOMPARE(trays.size(), 2);
    QCOMPARE(trays[0][0].value<TrayImage>(), TrayImage::Start);
    QCOMPARE(trays[1][0].value<TrayImage>(), TrayImage::Stop);
    QCOMPARE(serviceState(core), kStopped);

    // Once the port is free, the same command starts the service.
    other.close();
    QVERIFY(core.startService());
    QCOMPARE(core.session().listeningPort(), f.port);
    core.stopService();
}

void TestServerCore::stopThenStartAgain() {
    Fixture f;
    QVERIFY(f.load());
    ServerCore& core = *f.core;
    if (core.localAddress().isEmpty())
        QSKIP("This computer has no IPv4 address at all");
    QVERIFY(core.startService());

    {
        Client ana(f.port);
        QTRY_COMPARE_WITH_TIMEOUT(ana.received, QByteArray("CONNECTED"), kWaitMs);
        ana.send("SESION");
        QTRY_COMPARE_WITH_TIMEOUT(core.session().CuentaConexiones(), 1, kWaitMs);
        ana.send("USER=ana");
        QTRY_COMPARE_WITH_TIMEOUT(ana.received, QByteArray("CONNECTEDUSER_OK"), kWaitMs);
        core.session().sweep();
        QCOMPARE(core.session().bytesLabel(), QStringLiteral(" 14 bytes recibidos"));

        core.stopService();
        QCOMPARE(core.session().bytesLabel(), QStringLiteral(" 0 bytes recibidos"));
        QCOMPARE(core.session().receivedBytes(), qint64(14));
        QTRY_VERIFY_WITH_TIMEOUT(ana.received.endsWith("CLOSED"), kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(ana.socket.state(), QAbstractSocket::UnconnectedState, kWaitMs);
    }
    QCOMPARE(core.session().slotCount(), 2);

    const size_t logged = core.eventLog().entries().size();
    QVERIFY(core.startService());
    QVERIFY(core.isStarted());
    QCOMPARE(f.linesSince(logged).size(), 4);
    QCOMPARE(serviceState(core), kStarted);
    QCOMPARE(core.session().bytesLabel(), QStringLiteral(" 0 bytes recibidos"));

    // The slot made before the stop carries the next client; the same user is welcome again; the
    // counter goes on from where it was.
    Client again(f.port);
    QTRY_COMPARE_WITH_TIMEOUT(again.received, QByteArray("CONNECTED"), kWaitMs);
    again.send("S2");
    QTRY_COMPARE_WITH_TIMEOUT(core.session().CuentaConexiones(), 1, kWaitMs);
    again.send("USER=ana");
    QTRY_COMPARE_WITH_TIMEOUT(again.received, QByteArray("CONNECTEDUSER_OK"), kWaitMs);
    QCOMPARE(core.session().slotCount(), 2);
    core.session().sweep();
    QCOMPARE(core.session().bytesLabel(), QStringLiteral(" 24 bytes recibidos"));

    core.stopService();
    QTRY_VERIFY_WITH_TIMEOUT(again.received.endsWith("CLOSED"), kWaitMs);
    QVERIFY(f.op.messages.empty());
}

void TestServerCore::unusablePortIsReplacedByDefault_data() {
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<QByteArray>("settings");

    QTest::newRow("no settings file") << false << QByteArray();
    QTest::newRow("beyond TCP") << true << QByteArray("[Main]\r\nPort=70000\r\n");
}

void TestServerCore::unusablePortIsReplacedByDefault() {
    QFETCH(bool, fileExists);
    QFETCH(QByteArray, settings);

    Fixture f;
    if (fileExists)
        QVERIFY(f.writeSettings(settings));
    ServerCore& core = f.make();
    QVERIFY(core.AbreConexion().ok());
    core.load();

    QCOMPARE(core.settings().port, 1033);
    QCOMPARE(readFileBytes(f.settingsPath()), QByteArray("[Main]\r\nPort=1033\r\n"));
}

void TestServerCore::maxUsersFallsBackTo255_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("maxUsers");

    QTest::newRow("missing") << QByteArray() << 255;
    QTest::newRow("above a byte") << QByteArray("MaxUsers=256\r\n") << 255;
    QTest::newRow("zero") << QByteArray("MaxUsers=0\r\n") << 0;
    QTest::newRow("seven") << QByteArray("MaxUsers=7\r\n") << 7;
}

void TestServerCore::maxUsersFallsBackTo255() {
    QFETCH(QByteArray, line);
    QFETCH(int, maxUsers);

    Fixture f;
    QVERIFY(f.writeSettings(portSettings(f.port) + line));
    ServerCore& core = f.make();

    QCOMPARE(core.session().maxUsers(), maxUsers);
}

void TestServerCore::sqlServerOnAnotherComputer_data() {
    QTest::addColumn<QByteArray>("engineLine");
    QTest::addColumn<bool>("otherComputer");

    QTest::newRow("engine named, other computer") << QByteArray("Engine=SQLServer\r\n") << true;
    QTest::newRow("engine implied, other computer") << QByteArray() << true;
    QTest::newRow("engine named, this computer") << QByteArray("Engine=SQLServer\r\n") << false;
}

void TestServerCore::sqlServerOnAnotherComputer() {
    QFETCH(QByteArray, engineLine);
    QFETCH(bool, otherComputer);

    const QString thisComputer = computerName();
    if (!otherComputer && thisComputer.isEmpty())
        QSKIP("This computer has no name");
    // The name differs from this computer's in case only: the comparison ignores case.
    const QString server = otherComputer ? QStringLiteral("OTRO-EQUIPO-%1").arg(thisComputer)
                                         : (thisComputer.toUpper() != thisComputer ? thisComputer.toUpper()
                                                                                   : thisComputer.toLower());
    Fixture f;
    // A driver that is not installed: the attempt fails at once, without looking any name up on the
    // network.
    QVERIFY(f.writeSettings(portSettings(f.port) + "SQLServer=" + server.toLatin1() +
                            "\r\nODBCDriver=Osk Sin Controlador\r\n" + engineLine));
    ServerCore& core = f.make();

    // No SQL Server can be reached: the connection fails with a reason, not a crash.
    const Status opened = core.AbreConexion();
    QVERIFY(!opened.ok());
    QVERIFY(!opened.error().isEmpty());
    QVERIFY(!core.engine().isPrincipalOpen());
    QVERIFY(!QFileInfo::exists(f.folder.file(QStringLiteral("Data"))));

    core.load();

    for (Command command :
         {Command::mnuDBBackup, Command::mnuAutoBackup, Command::mnuDBDownload, Command::mnuDBUpload})
        QCOMPARE(core.commands().isEnabled(command), !otherComputer);
    QVERIFY(core.commands().isEnabled(Command::mnuSQL));
    QVERIFY(!core.commands().isEnabled(Command::mnuDetenerServicio));
    QCOMPARE(core.sqlServerLabel(), QStringLiteral(" SQLServer: [") + server + QLatin1Char(']'));
    // Filling the database list met the same failure and told the operator.
    QVERIFY(!f.op.messages.empty());
    QCOMPARE(f.op.messages[0].text, opened.error());

    f.op.messages.clear();
    const size_t logged = core.eventLog().entries().size();
    QVERIFY(!core.startService());
    QVERIFY(!core.isStarted());
    QCOMPARE(core.caption(), QStringLiteral("Osk Server - Detenido"));
    QVERIFY(core.commands().isEnabled(Command::mnuIniciarServicio));
    QVERIFY(f.linesSince(logged).isEmpty());
    QCOMPARE(f.op.messages.size(), size_t(1));
    QVERIFY(f.op.messages[0].text.endsWith(opened.error()));
}

// A new user's first steps: a product database beside OskDB, listed, then dropped.
void TestServerCore::databaseCommandsOnTheEmbeddedEngine() {
    Fixture f;
    QVERIFY(f.loadWithDemoDatabase());
    ServerCore& core = *f.core;
    QCOMPARE(core.lstDB().rowCount(), 2);

    size_t before = core.eventLog().entries().size();
    core.updateDatabases();
    QCOMPARE(f.linesSince(before),
             QStringList({line("Bases de datos actualizadas correctamente.", LogKind::Done)}));
    QVERIFY(f.op.messages.empty());
    // A database whose property table is gone: its error box, and no line that says otherwise.
    QVERIFY(execSql(f.folder.file(QStringLiteral("Data/oskdemo.db")), "DROP TABLE OskVersion"));
    before = core.eventLog().entries().size();
    core.updateDatabases();
    QVERIFY(f.linesSince(before).isEmpty());
    QCOMPARE(f.op.messages.size(), size_t(1));
    QCOMPARE(f.op.messages[0].icon, MessageIcon::Exclamation);
    f.op.messages.clear();

    QVERIFY(!core.deleteDatabase(QStringLiteral("OskDB")));
    f.op.questionAnswers = {true};
    QVERIFY(core.deleteDatabase(QStringLiteral("oskdemo")));
    QCOMPARE(core.lstDB().rowCount(), 1);
    QCOMPARE(core.lstDB().rows().front().name, QStringLiteral("OskDB"));
    QVERIFY(!QFile::exists(f.folder.file(QStringLiteral("Data/oskdemo.db"))));
}

namespace {
// FileObject of the row with that file name, read straight from the database file; a null
// QByteArray for SQL NULL.
std::optional<QByteArray> storedComponent(const QString& databasePath, const QString& fileName, int* id) {
    sqlite3* db = nullptr;
    std::optional<QByteArray> result;
    if (sqlite3_open_v2(databasePath.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, "SELECT IdNumero, FileObject FROM oskComponents WHERE FileName=?", -1,
                           &statement, nullptr);
        const QByteArray name = fileName.toUtf8();
        sqlite3_bind_text(statement, 1, name.constData(), int(name.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(statement) == SQLITE_ROW) {
            *id = sqlite3_column_int(statement, 0);
            const void* blob = sqlite3_column_blob(statement, 1);
            result = blob ? QByteArray(static_cast<const char*>(blob), sqlite3_column_bytes(statement, 1))
                          : QByteArray();
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return result;
}
} // namespace

void TestServerCore::clientDistributionStoresEveryFileByteForByte() {
    Fixture f;
    QVERIFY(f.loadWithDemoDatabase());
    ServerCore& core = *f.core;

    QDir(f.folder.path()).mkpath(QStringLiteral("ClientUpdate"));
    const qint64 piece = ClientDistribution::kPieceSize;
    const std::vector<std::pair<QString, qint64>> files = {{QStringLiteral("Osk2.exe"), 3 * piece + 1},
                                                           {QStringLiteral("vacio.dat"), 0},
                                                           {QStringLiteral("l'apostrofo.txt"), 10}};
    std::map<QString, QByteArray> contents;
    for (const auto& [name, size] : files) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (qint64 i = 0; i < size; ++i)
            bytes[i] = char((i * 31 + size) % 251);
        contents[name] = bytes;
        QVERIFY(writeFileBytes(f.folder.file(QStringLiteral("ClientUpdate/") + name), bytes));
    }

    const QString database = f.folder.file(QStringLiteral("Data/oskdemo.db"));
    for (int run = 1; run <= 2; ++run) {
        const size_t before = core.eventLog().entries().size();
        core.updateClients(QStringLiteral("oskdemo"));
        QCOMPARE(f.linesSince(before),
                 QStringList({line("Datos actualizados correctamente", LogKind::Done)}));
        QSet<int> ids;
        for (const auto& [name, bytes] : contents) {
            int id = 0;
            const std::optional<QByteArray> stored = storedComponent(database, name, &id);
            QVERIFY2(stored.has_value(), qPrintable(name));
            QCOMPARE(stored->isNull(), bytes.isEmpty());
            QCOMPARE(*stored, bytes);
            ids.insert(id);
        }
        QCOMPARE(ids, QSet<int>({1, 2, 3})); // numbered again from 1, one row each
    }
    const auto revision = EmbeddedEngine(f.folder.file(QStringLiteral("Data")))
                              .readProperty(QStringLiteral("oskdemo"), QStringLiteral("AppEXERevision"));
    QVERIFY(revision.ok() && revision->has_value() && !(*revision)->isEmpty());
    QVERIFY(f.op.messages.empty());

    // Without the components table nothing is stored, and the log says so instead of a success.
    QVERIFY(execSql(database, "DROP TABLE oskComponents; "
                              "UPDATE OskVersion SET PropertyValue='antes' WHERE Property='AppEXERevision'"));
    const size_t before = core.eventLog().entries().size();
    core.updateClients(QStringLiteral("oskdemo"));
    QCOMPARE(
        f.linesSince(before),
        QStringList({line("La base de datos 'oskdemo' no tiene la tabla oskComponents; no se ha guardado "
                          "ningún archivo.",
                          LogKind::Error)}));
    const auto unchanged = EmbeddedEngine(f.folder.file(QStringLiteral("Data")))
                               .readProperty(QStringLiteral("oskdemo"), QStringLiteral("AppEXERevision"));
    QVERIFY(unchanged.ok() && unchanged->has_value());
    QCOMPARE(**unchanged, QStringLiteral("antes"));
}

QTEST_GUILESS_MAIN(TestServerCore)
#include "test_server_core.moc"
