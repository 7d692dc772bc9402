// The control socket end to end: a loaded core on the embedded engine, its session service on a
// loopback port with real clients, and control callers on the real local socket.

#include "app/server_core.h"
#include "control/control_server.h"
#include "database/embedded_engine.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QTest>
#include <memory>
#include <unistd.h>

using namespace osk;
using namespace osk::test;

namespace {

constexpr int kWaitMs = 5000;

// One caller of the control socket.
class Caller final {
public:
    explicit Caller(const QString& path) {
        QObject::connect(&socket, &QLocalSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToServer(path);
    }
    void sendRaw(const QByteArray& bytes) {
        socket.write(bytes);
        socket.flush();
    }
    void send(const QJsonObject& request) {
        sendRaw(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    }
    bool hasLine() const { return received.contains('\n'); }
    // The first line not yet taken.
    QJsonObject takeLine() {
        const qsizetype end = received.indexOf('\n');
        const QByteArray line = received.left(end);
        received.remove(0, end + 1);
        return QJsonDocument::fromJson(line).object();
    }
    bool isClosed() const { return socket.state() == QLocalSocket::UnconnectedState; }

    QLocalSocket socket;
    QByteArray received;
};

QJsonObject request(const char* command, QJsonObject arguments = {}) {
    arguments.insert(QStringLiteral("cmd"), QString::fromLatin1(command));
    return arguments;
}

struct Fixture {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    quint16 port = freePort();
    std::unique_ptr<ServerCore> core;
    std::unique_ptr<ControlServer> control;

    QString socketPath() const { return folder.file(QStringLiteral("oskserver.sock")); }

    // Loaded with one product database beside OskDB, started, and taking control callers.
    bool start() {
        if (port == 0 || !writeFileBytes(folder.file(QStringLiteral("OskServer.INI")), portSettings(port)) ||
            !EmbeddedEngine(folder.file(QStringLiteral("Data")))
                 .createProductDatabase(QStringLiteral("oskdemo"))
                 .ok())
            return false;
        core = std::make_unique<ServerCore>(folder.path(), clock, op);
        if (!core->AbreConexion().ok())
            return false;
        core->load();
        control = std::make_unique<ControlServer>(*core);
        control->setRequestTimeout(std::chrono::milliseconds(300));
        return control->listen(socketPath()) && core->startService();
    }

    // The reply to one request on a connection of its own.
    QJsonObject ask(const QJsonObject& request) {
        Caller caller(socketPath());
        caller.send(request);
        if (!QTest::qWaitFor([&] { return caller.hasLine(); }, kWaitMs))
            return {};
        return caller.takeLine();
    }

    bool logHas(const QString& text) const {
        const auto& entries = core->eventLog().entries();
        return std::any_of(entries.begin(), entries.end(),
                           [&](const LogEntry& e) { return e.text.endsWith(text); });
    }
};

// A client whose user is validated.
std::unique_ptr<Client> validatedClient(Fixture& f, const QString& from, const QByteArray& user) {
    auto client = std::make_unique<Client>(f.port, from);
    if (!QTest::qWaitFor([&] { return client->received == "CONNECTED"; }, kWaitMs))
        return nullptr;
    const int sessions = f.core->session().CuentaConexiones();
    client->send("Osk2");
    if (!QTest::qWaitFor([&] { return f.core->session().CuentaConexiones() == sessions + 1; }, kWaitMs))
        return nullptr;
    client->send("USER=" + user);
    if (!QTest::qWaitFor([&] { return client->received == "CONNECTEDUSER_OK"; }, kWaitMs))
        return nullptr;
    client->take();
    return client;
}

QString callerName() {
    return QString::fromLocal8Bit(qgetenv("USER").isEmpty() ? QByteArray("root") : qgetenv("USER"));
}

} // namespace

class TestControlSocket final : public QObject {
    Q_OBJECT

private slots:
    void socketIsForOwnerAndGroupOnly();
    void usersDisconnectAndFollowWithRealClients();
    void statusLogSaveAndListings();
    void commandsRefusedByTheServiceState_data();
    void commandsRefusedByTheServiceState();
    void portChangedOnceStopped();
    void backupScheduleEditedWithItsValidation();
    void distributionStreamsProgressAndBackupRunsNow();
    void badRequestsAnsweredWhileSessionsGoOn_data();
    void badRequestsAnsweredWhileSessionsGoOn();
    void toolFollowsAndSavesTheTracking();
    void toolExitStatuses_data();
    void toolExitStatuses();
};

void TestControlSocket::socketIsForOwnerAndGroupOnly() {
    Fixture f;
    QVERIFY(f.start());
    const QFileInfo socket(f.socketPath());
    QCOMPARE(socket.permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup |
                                      QFile::WriteGroup | QFile::ReadOwner | QFile::WriteOwner),
             QFile::Permissions());
    QVERIFY(socket.permissions() & QFile::WriteGroup);
}

void TestControlSocket::usersDisconnectAndFollowWithRealClients() {
    Fixture f;
    QVERIFY(f.start());
    std::unique_ptr<Client> ana = validatedClient(f, QStringLiteral("127.0.0.1"), "ana");
    std::unique_ptr<Client> luis = validatedClient(f, QStringLiteral("127.0.0.2"), "luis");
    QVERIFY(ana && luis);

    const QJsonArray users = f.ask(request("users")).value(QStringLiteral("users")).toArray();
    QCOMPARE(users.size(), 2);
    QCOMPARE(users.at(0).toObject().value(QStringLiteral("text")).toString(),
             QStringLiteral("127.0.0.1  [ana] en [Osk2]"));
    QCOMPARE(users.at(1).toObject().value(QStringLiteral("text")).toString(),
             QStringLiteral("127.0.0.2  [luis] en [Osk2]"));

    // Following: the client is asked for its activity, every line reaches the caller as it comes,
    // and the caller's going tells the client to stop.
    {
        // Sent in two pieces: the request's time limit ends with the request, not with the follow.
        Caller follower(f.socketPath());
        follower.sendRaw(R"({"cmd":"follow",)");
        QTest::qWait(100);
        follower.sendRaw(R"("user":"ana"})"
                         "\n");
        QTRY_VERIFY_WITH_TIMEOUT(follower.hasLine(), kWaitMs);
        QCOMPARE(follower.takeLine().value(QStringLiteral("ok")).toBool(), true);
        QTest::qWait(500); // beyond the fixture's request time limit
        QVERIFY(!follower.isClosed());
        QTRY_VERIFY_WITH_TIMEOUT(ana->received.contains("LOG"), kWaitMs);
        ana->take();
        ana->send("LOG abri\xF3 la ficha 7"); // Windows-1252 on the wire
        QTRY_VERIFY_WITH_TIMEOUT(follower.hasLine(), kWaitMs);
        const QJsonObject event = follower.takeLine();
        QCOMPARE(event.value(QStringLiteral("event")).toString(), QStringLiteral("line"));
        QCOMPARE(event.value(QStringLiteral("text")).toString(),
                 QStringLiteral("[09:05:17]  abrió la ficha 7"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(ana->received.contains("NOLOG"), kWaitMs);
    QCOMPARE(f.core->session().tracking().count(), 0);

    const QJsonObject disconnected =
        f.ask(request("disconnect", {{QStringLiteral("user"), QStringLiteral("luis")}}));
    QCOMPARE(disconnected.value(QStringLiteral("ok")).toBool(), true);
    QTRY_COMPARE_WITH_TIMEOUT(luis->socket.state(), QAbstractSocket::UnconnectedState, kWaitMs);
    QCOMPARE(f.core->session().lstUsers().count(), 1);
    QVERIFY(f.logHas(QStringLiteral("Orden de administración [disconnect luis] de [%1].").arg(callerName())));

    const QJsonObject nobody =
        f.ask(request("disconnect", {{QStringLiteral("user"), QStringLiteral("ANA")}}));
    QCOMPARE(nobody.value(QStringLiteral("error")).toString(),
             QStringLiteral("El usuario [ANA] no está conectado."));
    QCOMPARE(f.core->session().lstUsers().count(), 1);

    // A tracked session that ends ends the follow too.
    Caller follower(f.socketPath());
    follower.send(request("follow", {{QStringLiteral("user"), QStringLiteral("ana")}}));
    QTRY_VERIFY_WITH_TIMEOUT(follower.hasLine(), kWaitMs);
    ana->send("CLOSE");
    QTRY_VERIFY_WITH_TIMEOUT(follower.isClosed(), kWaitMs);
    follower.takeLine();
    QCOMPARE(follower.takeLine().value(QStringLiteral("event")).toString(), QStringLiteral("end"));
}

void TestControlSocket::statusLogSaveAndListings() {
    Fixture f;
    QVERIFY(f.start());
    std::unique_ptr<Client> ana = validatedClient(f, QStringLiteral("127.0.0.1"), "ana");
    QVERIFY(ana);

    const QJsonObject status = f.ask(request("status"));
    QCOMPARE(status.value(QStringLiteral("running")).toBool(), true);
    QCOMPARE(status.value(QStringLiteral("port")).toInt(), int(f.port));
    QCOMPARE(status.value(QStringLiteral("users")).toInt(), 1);
    QCOMPARE(status.value(QStringLiteral("maxUsers")).toInt(), 255);
    QCOMPARE(status.value(QStringLiteral("receivedBytes")).toInt(), 12); // "Osk2" + "USER=ana"
    QCOMPARE(status.value(QStringLiteral("engine")).toString(), QStringLiteral("(embedded)"));

    const QJsonArray last =
        f.ask(request("log", {{QStringLiteral("lines"), 1}})).value(QStringLiteral("lines")).toArray();
    QCOMPARE(last.size(), 1);
    QCOMPARE(last.at(0).toString(), QStringLiteral("[09:05:17]  Validado usuario [ana] en [Osk2]."));

    // Following the log: new lines reach the caller as they are logged.
    Caller tail(f.socketPath());
    tail.send(request("log", {{QStringLiteral("lines"), 0}, {QStringLiteral("follow"), true}}));
    QTRY_VERIFY_WITH_TIMEOUT(tail.hasLine(), kWaitMs);
    QCOMPARE(tail.takeLine().value(QStringLiteral("lines")).toArray().size(), 0);

    QCOMPARE(f.ask(request("save-log")).value(QStringLiteral("ok")).toBool(), true);
    const QByteArray saved = readFileBytes(f.folder.file(QStringLiteral("Log/04122026.log")));
    QVERIFY(saved.contains("[09:05:17]  Guardando registro de sucesos...\r\n[END 04/12/2026]"));
    QTRY_VERIFY_WITH_TIMEOUT(tail.received.contains("Guardando registro de sucesos..."), kWaitMs);

    const QJsonArray databases = f.ask(request("databases")).value(QStringLiteral("databases")).toArray();
    QCOMPARE(databases.size(), 2);
    QCOMPARE(databases.at(1).toObject().value(QStringLiteral("name")).toString(), QStringLiteral("oskdemo"));
    QCOMPARE(databases.at(1).toObject().value(QStringLiteral("state")).toString(),
             QStringLiteral("Actualizada"));

    const QJsonObject unconfirmed =
        f.ask(request("delete-database", {{QStringLiteral("name"), QStringLiteral("oskdemo")}}));
    QCOMPARE(unconfirmed.value(QStringLiteral("ok")).toBool(), false);
    QCOMPARE(f.core->lstDB().rows().size(), size_t(2));
    const QJsonObject essential =
        f.ask(request("delete-database",
                      {{QStringLiteral("name"), QStringLiteral("OskDB")}, {QStringLiteral("yes"), true}}));
    QCOMPARE(essential.value(QStringLiteral("error")).toString(),
             QStringLiteral("No se puede eliminar la Base de Datos OskDB, es esencial para el sistema."));
    QCOMPARE(f.ask(request("delete-database", {{QStringLiteral("name"), QStringLiteral("oskdemo")},
                                               {QStringLiteral("yes"), true}}))
                 .value(QStringLiteral("ok"))
                 .toBool(),
             true);
    QCOMPARE(f.core->lstDB().rows().size(), size_t(1));
}

void TestControlSocket::commandsRefusedByTheServiceState_data() {
    QTest::addColumn<bool>("stopFirst");
    QTest::addColumn<QJsonObject>("request");
    QTest::addColumn<QString>("error");

    const QString whileRunning =
        QStringLiteral("No disponible con el servicio iniciado: detenga el servicio.");
    QTest::newRow("start while running")
        << false << request("start") << QStringLiteral("El servicio ya está iniciado.");
    QTest::newRow("port while running")
        << false << request("port", {{QStringLiteral("port"), QStringLiteral("9000")}}) << whileRunning;
    QTest::newRow("sql-server while running")
        << false << request("sql-server", {{QStringLiteral("name"), QStringLiteral("OTRO")}}) << whileRunning;
    QTest::newRow("backup-set while running")
        << false
        << request("backup-set", {{QStringLiteral("index"), 1}, {QStringLiteral("set"), QJsonObject{}}})
        << whileRunning;
    QTest::newRow("stop while stopped")
        << true << request("stop") << QStringLiteral("El servicio no está iniciado.");
    QTest::newRow("unknown command") << false << request("reboot")
                                     << QStringLiteral("Orden desconocida: reboot.");
}

void TestControlSocket::commandsRefusedByTheServiceState() {
    QFETCH(bool, stopFirst);
    QFETCH(QJsonObject, request);
    QFETCH(QString, error);
    Fixture f;
    QVERIFY(f.start());
    if (stopFirst)
        f.core->stopService();
    const QByteArray settingsBefore = readFileBytes(f.folder.file(QStringLiteral("OskServer.INI")));

    const QJsonObject reply = f.ask(request);
    QCOMPARE(reply.value(QStringLiteral("ok")).toBool(), false);
    QCOMPARE(reply.value(QStringLiteral("error")).toString(), error);
    QCOMPARE(f.core->isStarted(), !stopFirst);
    QCOMPARE(readFileBytes(f.folder.file(QStringLiteral("OskServer.INI"))), settingsBefore);
}

void TestControlSocket::portChangedOnceStopped() {
    Fixture f;
    QVERIFY(f.start());
    QCOMPARE(f.ask(request("stop")).value(QStringLiteral("ok")).toBool(), true);
    QVERIFY(!f.core->isStarted());

    const QJsonObject autostart =
        f.ask(request("autostart", {{QStringLiteral("state"), QStringLiteral("on")}}));
    QCOMPARE(autostart.value(QStringLiteral("autostart")).toBool(), true);
    QVERIFY(readFileBytes(f.folder.file(QStringLiteral("OskServer.INI"))).contains("OSInit=1\r\n"));
    QVERIFY(f.logHas(QStringLiteral("Orden de administración [autostart on] de [%1].").arg(callerName())));

    const QJsonObject bad = f.ask(request("port", {{QStringLiteral("port"), QStringLiteral("puerto")}}));
    QCOMPARE(bad.value(QStringLiteral("error")).toString(), QStringLiteral("Puerto Incorrecto"));

    const QJsonObject good = f.ask(request("port", {{QStringLiteral("port"), QStringLiteral("9000")}}));
    QCOMPARE(good.value(QStringLiteral("ok")).toBool(), true);
    QVERIFY(readFileBytes(f.folder.file(QStringLiteral("OskServer.INI"))).contains("Port=9000\r\n"));
    QCOMPARE(f.core->settings().port, 9000);
    QVERIFY(f.logHas(QStringLiteral("Orden de administración [port 9000] de [%1].").arg(callerName())));
}

void TestControlSocket::backupScheduleEditedWithItsValidation() {
    Fixture f;
    QVERIFY(f.start());
    f.core->stopService();
    const QJsonObject badHour =
        f.ask(request("backup-set", {{QStringLiteral("index"), 2},
                                     {QStringLiteral("set"),
                                      QJsonObject{{QStringLiteral("type"), QStringLiteral("Diaria")},
                                                  {QStringLiteral("hour"), QStringLiteral("25")},
                                                  {QStringLiteral("file"), QStringLiteral("/tmp/x.bak")}}}}));
    QCOMPARE(badHour.value(QStringLiteral("error")).toString(),
             QStringLiteral("Información de hora incorrecta."));
    QCOMPARE(f.core->schedules()[1].Type, 0);

    const QJsonObject stored =
        f.ask(request("backup-set", {{QStringLiteral("index"), 2},
                                     {QStringLiteral("set"),
                                      QJsonObject{{QStringLiteral("type"), QStringLiteral("semanal")},
                                                  {QStringLiteral("database"), QStringLiteral("oskdemo")},
                                                  {QStringLiteral("day"), QStringLiteral("Martes")},
                                                  {QStringLiteral("hour"), QStringLiteral("3")},
                                                  {QStringLiteral("minute"), QStringLiteral("15")},
                                                  {QStringLiteral("file"), QStringLiteral("/tmp/x.bak")}}}}));
    QCOMPARE(stored.value(QStringLiteral("ok")).toBool(), true);
    const BackupSchedule& schedule = f.core->schedules()[1];
    QCOMPARE(schedule.Type, 2);
    QCOMPARE(schedule.DataBase, QStringLiteral("oskdemo"));
    QCOMPARE(int(schedule.Day), 1);
    QCOMPARE(schedule.Hour, QTime(3, 15));
    QCOMPARE(schedule.OutputFile, QStringLiteral("/tmp/x.bak"));
}

void TestControlSocket::distributionStreamsProgressAndBackupRunsNow() {
    Fixture f;
    QVERIFY(f.start());
    QVERIFY(QDir().mkpath(f.folder.file(QStringLiteral("ClientUpdate"))));
    // Two whole pieces and a remainder.
    QVERIFY(writeFileBytes(f.folder.file(QStringLiteral("ClientUpdate/Osk2.exe")),
                           QByteArray(2 * 16384 + 100, 'x')));

    Caller caller(f.socketPath());
    caller.send(request("update-clients", {{QStringLiteral("name"), QStringLiteral("oskdemo")}}));
    QTRY_VERIFY_WITH_TIMEOUT(caller.isClosed() || caller.received.contains("\"ok\""), kWaitMs);
    QStringList events;
    QJsonObject reply;
    while (caller.hasLine()) {
        const QJsonObject line = caller.takeLine();
        if (line.contains(QStringLiteral("ok")))
            reply = line;
        else if (line.contains(QStringLiteral("text")))
            events << line.value(QStringLiteral("text")).toString();
        else
            events << QStringLiteral("%1/%2")
                          .arg(line.value(QStringLiteral("value")).toInt())
                          .arg(line.value(QStringLiteral("maximum")).toInt());
    }
    QCOMPARE(events, QStringList({QStringLiteral("Actualizando 'Osk2.exe' en 'oskdemo'..."),
                                  QStringLiteral("0/2"), QStringLiteral("1/2"), QStringLiteral("2/2")}));
    QCOMPARE(reply.value(QStringLiteral("ok")).toBool(), true);

    // A schedule set while stopped, run at once while the service runs again.
    QCOMPARE(f.ask(request("stop")).value(QStringLiteral("ok")).toBool(), true);
    const QString backupFile = f.folder.file(QStringLiteral("demo.bak"));
    QCOMPARE(
        f.ask(request("backup-set", {{QStringLiteral("index"), 3},
                                     {QStringLiteral("set"),
                                      QJsonObject{{QStringLiteral("type"), QStringLiteral("Diaria")},
                                                  {QStringLiteral("database"), QStringLiteral("oskdemo")},
                                                  {QStringLiteral("file"), backupFile}}}}))
            .value(QStringLiteral("ok"))
            .toBool(),
        true);
    QCOMPARE(f.ask(request("start")).value(QStringLiteral("ok")).toBool(), true);
    const QJsonArray backups = f.ask(request("backups")).value(QStringLiteral("backups")).toArray();
    QCOMPARE(backups.size(), 3);
    QCOMPARE(backups.at(2).toObject().value(QStringLiteral("database")).toString(),
             QStringLiteral("oskdemo"));
    QCOMPARE(
        f.ask(request("backup-run", {{QStringLiteral("index"), 3}})).value(QStringLiteral("ok")).toBool(),
        true);
    QVERIFY(QFileInfo(backupFile).size() > 0);
    QCOMPARE(f.ask(request("backup-run", {{QStringLiteral("index"), 1}}))
                 .value(QStringLiteral("error"))
                 .toString(),
             QStringLiteral("La copia programada 1 está inactiva."));
}

void TestControlSocket::badRequestsAnsweredWhileSessionsGoOn_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("error");
    QTest::newRow("not JSON") << QByteArray("status\n") << QStringLiteral("JSON incorrecto");
    QTest::newRow("not an object") << QByteArray("[1,2]\n")
                                   << QStringLiteral("La petición debe ser un objeto JSON.");
    QTest::newRow("no command") << QByteArray("{\"user\":\"ana\"}\n")
                                << QStringLiteral("Falta la orden (\"cmd\").");
    QTest::newRow("oversized") << QByteArray(70 * 1024, 'x') << QStringLiteral("Petición demasiado larga.");
    QTest::newRow("half sent") << QByteArray("{\"cmd\":\"sta") << QStringLiteral("Petición incompleta.");
}

void TestControlSocket::badRequestsAnsweredWhileSessionsGoOn() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, error);
    Fixture f;
    QVERIFY(f.start());
    // A caller that sent nothing at all holds no request open and is simply kept waiting.
    Caller silent(f.socketPath());

    Caller caller(f.socketPath());
    caller.sendRaw(bytes);
    QTRY_VERIFY_WITH_TIMEOUT(caller.hasLine(), kWaitMs);
    const QJsonObject reply = caller.takeLine();
    QCOMPARE(reply.value(QStringLiteral("ok")).toBool(), false);
    QVERIFY2(reply.value(QStringLiteral("error")).toString().startsWith(error),
             qPrintable(reply.value(QStringLiteral("error")).toString()));
    QTRY_VERIFY_WITH_TIMEOUT(caller.isClosed(), kWaitMs);

    // The session service answered throughout, and the control socket still serves others.
    QVERIFY(validatedClient(f, QStringLiteral("127.0.0.3"), "ana"));
    QCOMPARE(f.ask(request("users")).value(QStringLiteral("users")).toArray().size(), 1);
    QVERIFY(!silent.isClosed());
}

void TestControlSocket::toolFollowsAndSavesTheTracking() {
    Fixture f;
    QVERIFY(f.start());
    std::unique_ptr<Client> ana = validatedClient(f, QStringLiteral("127.0.0.1"), "ana");
    QVERIFY(ana);
    const QString saved = f.folder.file(QStringLiteral("ana.txt"));
    QProcess tool;
    tool.start(QStringLiteral(OSKSERVERCTL_PATH),
               {QStringLiteral("--home"), f.folder.path(), QStringLiteral("follow"), QStringLiteral("ana"),
                QStringLiteral("--save"), saved});
    QTRY_VERIFY_WITH_TIMEOUT(ana->received.contains("LOG"), kWaitMs);
    ana->take();
    ana->send("LOG paso 1");
    // What the tool printed so far; read as it comes, since a read takes it.
    QByteArray printed;
    const auto hasPrinted = [&](const char* text) {
        return (printed += tool.readAllStandardOutput()).contains(text);
    };
    QTRY_VERIFY_WITH_TIMEOUT(hasPrinted("paso 1"), kWaitMs);
    ana->send("LOG paso 2");
    QTRY_VERIFY_WITH_TIMEOUT(hasPrinted("paso 2"), kWaitMs);

    tool.terminate(); // as Ctrl+C: the tracking is saved and the client told to stop
    QTRY_VERIFY_WITH_TIMEOUT(tool.state() == QProcess::NotRunning, kWaitMs);
    QCOMPARE(tool.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(ana->received.contains("NOLOG"), kWaitMs);
    const QByteArray today = QDate::currentDate().toString(QStringLiteral("dd/MM/yyyy")).toLatin1();
    QCOMPARE(readFileBytes(saved),
             "[" + today + "]\r\n--------------\r\n\r\n[09:05:17]  paso 1\r\n[09:05:17]  paso 2\r\n");
}

void TestControlSocket::toolExitStatuses_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("asNobody");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");
    QTest::newRow("status") << QStringList{QStringLiteral("status")} << false << 0
                            << QStringLiteral("Servicio: iniciado");
    QTest::newRow("refused") << QStringList{QStringLiteral("start")} << false << 1
                             << QStringLiteral("El servicio ya está iniciado.");
    QTest::newRow("usage") << QStringList{QStringLiteral("port")} << false << 2
                           << QStringLiteral("Uso: oskserverctl port N");
    QTest::newRow("no server") << QStringList{QStringLiteral("--socket"),
                                              QStringLiteral("/nonexistent/oskserver.sock"),
                                              QStringLiteral("status")}
                               << false << 3 << QStringLiteral("No hay ningún servidor en marcha");
    QTest::newRow("no permission") << QStringList{QStringLiteral("status")} << true << 4
                                   << QStringLiteral("Sin permiso para usar");
}

void TestControlSocket::toolExitStatuses() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, asNobody);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    Fixture f;
    QVERIFY(f.start());
    QStringList command{QStringLiteral(OSKSERVERCTL_PATH), QStringLiteral("--home"), f.folder.path()};
    command += arguments;
    if (asNobody) {
        if (geteuid() != 0)
            QSKIP("Needs root to run the tool as another user");
        // The folder must be reachable for the refusal to come from the socket's own permissions.
        QFile::setPermissions(f.folder.path(), QFile::Permissions(0x7755));
        command = QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                              QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")} +
                  command;
    }
    QProcess tool;
    tool.start(command.takeFirst(), command);
    QTRY_VERIFY_WITH_TIMEOUT(tool.state() == QProcess::NotRunning, kWaitMs);
    const QString all = QString::fromLocal8Bit(tool.readAllStandardOutput() + tool.readAllStandardError());
    QVERIFY2(all.contains(output), qPrintable(all));
    QCOMPARE(tool.exitCode(), exitCode);
}

QTEST_GUILESS_MAIN(TestControlSocket)
#include "test_control_socket.moc"
