// The control socket with a started core on the embedded engine, real clients from two computers,
// callers on the real local socket, the built oskserverctl, and the built oskserverd of an
// unprivileged user.

#include "app/server_core.h"
#include "control/control_server.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/served_client.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QtTest>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using namespace osk;
using namespace osk::test;

namespace {

// A text written from its second line on, as a raw literal reads.
QString lines(const char* text) {
    return QString::fromUtf8(text + 1);
}

constexpr int kWaitMs = 10000;
const QByteArray kUsers(R"({"ok":true,"users":[{"text":"127.0.0.1  [ana] en [ALMACEN1]","user":"ana"},)"
                        R"({"text":"127.0.0.2  [luis] en [CAJA]","user":"luis"}]})");
const QStringList kAsNobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

class Caller final {
public:
    explicit Caller(const QString& path) {
        QObject::connect(&socket, &QLocalSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToServer(path);
    }
    void send(const QByteArray& line) {
        socket.write(line + '\n');
        socket.flush();
    }
    // The next whole line, waiting for it; empty when none comes.
    QByteArray nextLine() {
        if (!QTest::qWaitFor([this] { return received.contains('\n'); }, kWaitMs))
            return {};
        const qsizetype end = received.indexOf('\n');
        const QByteArray line = received.left(end);
        received.remove(0, end + 1);
        return line;
    }

    QLocalSocket socket;
    QByteArray received;
};

// A caller on the raw socket, with the credentials of uid and gid (root's by default).
int connectAs(const QString& path, uid_t uid = 0, gid_t gid = 0) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const bool as = uid == 0 || (::setegid(gid) == 0 && ::seteuid(uid) == 0);
    const bool connected = as && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if ((uid != 0 && (::seteuid(0) != 0 || ::setegid(0) != 0)) || !connected) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What a raw caller has been sent within `ms`, up to the server's closing.
QByteArray readWithin(int fd, int ms) {
    QByteArray received;
    (void)QTest::qWaitFor(
        [&] {
            char chunk[4096];
            const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (got > 0)
                received.append(chunk, got);
            return got == 0 || (got < 0 && errno != EAGAIN);
        },
        ms);
    return received;
}

// A program run to its end: its standard output, its errors marked, and its exit status.
QString printed(QProcess& process, const QString& folder) {
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 60000))
        return QStringLiteral("did not end\n");
    QString text = QString::fromUtf8(process.readAllStandardOutput());
    for (const QString& line :
         QString::fromUtf8(process.readAllStandardError()).split('\n', Qt::SkipEmptyParts))
        text += "stderr: " + line + '\n';
    text += QStringLiteral("exit: %1\n").arg(process.exitCode());
    return text.replace(folder, QStringLiteral("<folder>"));
}

// The built oskserverctl on a program folder, run as `as` says (another user, say).
QString ctl(const QString& folder, const QStringList& arguments, const QStringList& as = {}) {
    QStringList command = as + QStringList{OSKSERVERCTL_PATH, "--home", folder} + arguments;
    QProcess process;
    process.start(command.takeFirst(), command);
    return printed(process, folder);
}

struct Fixture {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    quint16 port = freePort();
    std::unique_ptr<ServerCore> core;
    std::unique_ptr<ControlServer> control;
    std::unique_ptr<Client> ana;
    std::unique_ptr<Client> luis;
    QStringList facts;
    size_t logged = 0;
    QStringList as;    // the next tool's user
    bool full = false; // the disk, for the next tool

    QString socketPath() const { return folder.file(QStringLiteral("oskserver.sock")); }
    QString settingsPath() const { return folder.file(kSettingsFileName); }
    // Started, taking control callers, with ana served from one computer and luis from another.
    bool start() {
        if (port == 0 || !writeFileBytes(settingsPath(), portSettings(port)))
            return false;
        core = std::make_unique<ServerCore>(folder.path(), clock, op);
        if (!core->AbreConexion().ok())
            return false;
        core->load();
        control = std::make_unique<ControlServer>(*core);
        if (!control->listen(socketPath()) || !core->startService())
            return false;
        ana = servedClient(core->session(), port, QStringLiteral("127.0.0.1"), "ALMACEN1", "ana");
        luis = servedClient(core->session(), port, QStringLiteral("127.0.0.2"), "CAJA", "luis");
        (void)changes();
        return ana && luis;
    }
    QString placeheld(QString text) const {
        text.replace(folder.path(), QStringLiteral("<folder>"))
            .replace(QString::number(port), QStringLiteral("<port>"));
        text.replace('[' + callerName() + ']', QStringLiteral("[<caller>]"));
        text.replace(QLatin1String("\\u"), QLatin1String("<u>"))
            .replace(QLatin1String("\\\""), QLatin1String("<q>"));
        text.replace('[' + QSysInfo::machineHostName() + ']', QStringLiteral("[<host>]"));
        // Control characters shown by their code.
        for (qsizetype i = text.size() - 1; i >= 0; --i) {
            if (const char16_t c = text[i].unicode();
                (c < 0x20 && c != '\n') || (c >= 0x7f && c <= 0x9f) || c == 0x2028)
                text.replace(i, 1, QStringLiteral("<%1>").arg(int(c), 2, 16, QLatin1Char('0')));
        }
        return text;
    }
    // The facts that changed since the last call, and the event-log lines logged since.
    QString changes() {
        // Stopped, the service has told its clients to go; they go in their own time.
        (void)QTest::qWaitFor(
            [&] {
                return core->isStarted() || (ana->socket.state() != QAbstractSocket::ConnectedState &&
                                             luis->socket.state() != QAbstractSocket::ConnectedState);
            },
            kWaitMs);
        QString clients = QStringLiteral("clients:");
        for (const auto& [client, user] : {std::pair{ana.get(), " ana"}, std::pair{luis.get(), " luis"}}) {
            if (client->socket.state() == QAbstractSocket::ConnectedState)
                clients += QLatin1String(user);
        }
        const BackupSchedule& second = core->schedules()[1];
        const QStringList now{
            clients, QStringLiteral("service: %1").arg(core->isStarted() ? "started" : "stopped"),
            "settings: " + QString::fromLatin1(readFileBytes(settingsPath())).replace("\r\n", "|"),
            QStringLiteral("backup 2: %1 %2").arg(second.Type).arg(second.OutputFile)};
        QString text;
        for (const QString& fact : now)
            text += facts.contains(fact) ? QString() : fact + '\n';
        facts = now;
        for (const auto& entries = core->eventLog().entries(); logged < entries.size(); ++logged)
            text += "log: " + entries[logged].text + '\n';
        return placeheld(text);
    }
    bool say(Client& client, QByteArrayView message) {
        const qint64 expected = core->session().receivedBytes() + message.size();
        client.send(message);
        return QTest::qWaitFor([&] { return core->session().receivedBytes() >= expected; }, kWaitMs);
    }
    // One step: "> request" on a connection of its own (percent-encoded), "$ arguments" of the tool
    // (each percent-encoded), "# setup" for the next step.
    QString run(const QString& step) {
        if (step.startsWith(QLatin1String("> "))) {
            Caller caller(socketPath());
            caller.send(QByteArray::fromPercentEncoding(step.mid(2).replace("<u>", "\\u").toUtf8()));
            (void)QTest::qWaitFor([&] { return caller.received.endsWith('\n'); }, kWaitMs);
            for (qsizetype before = -1; before != caller.received.size(); QTest::qWait(200))
                before = caller.received.size();
            QString text;
            for (const QByteArray& line : caller.received.split('\n'))
                text += line.isEmpty() ? QString() : "< " + QString::fromUtf8(line) + '\n';
            return placeheld(text);
        }
        if (step.startsWith(QLatin1String("$ "))) {
            QStringList arguments;
            for (const QString& argument : step.mid(2).split(' '))
                arguments << QString::fromUtf8(QByteArray::fromPercentEncoding(argument.toUtf8()))
                                 .replace("<folder>", folder.path())
                                 .replace("<port>", QString::number(port));
            std::unique_ptr<FileSizeLimit> limit(std::exchange(full, false) ? new FileSizeLimit(10)
                                                                            : nullptr);
            return placeheld(ctl(folder.path(), arguments, std::exchange(as, {})));
        }
        if (step == u"# stop")
            core->stopService();
        else if (step == u"# nobody") // the folder reachable: the refusal is the socket's own
            as = QFile::setPermissions(folder.path(), QFile::Permissions(0x7755)) ? kAsNobody : QStringList();
        else if (step == u"# disk full")
            full = true;
        else if (step == u"# odd names")
            (void)(say(*ana, "USER=ana\x1b[31m") && say(*luis, "USER=lu\x7f\x81is"));
        else if (step == u"# settings folder gone") // a link to no file takes no write, as a full disk
            (void)(QFile::remove(settingsPath()) && QFile::link(folder.file("gone/osk.ini"), settingsPath()));
        else if (step == u"# client update")
            (void)(QDir().mkpath(folder.file("ClientUpdate")) &&
                   writeFileBytes(folder.file("ClientUpdate/Osk2.exe"), "MZ"));
        else if (step == u"# damaged database")
            (void)writeFileBytes(folder.file("Data/OskDB.db"), "no es una base de datos");
        return {};
    }
    // A transcript played: its steps run in order, each followed by what it printed and changed.
    QString play(const QString& transcript) {
        QString text;
        for (const QString& line : transcript.split('\n')) {
            if (line.startsWith(QLatin1String("> ")) || line.startsWith(QLatin1String("$ ")) ||
                line.startsWith(QLatin1String("# "))) {
                text += line + '\n' + run(line);
                text += changes();
            }
        }
        return text;
    }
};

} // namespace

// moc reads no raw strings: texts whose brackets do not pair are kept from it.
#ifndef Q_MOC_RUN
// Transcripts of steps, each followed by what it printed and changed (Fixture::play). Requests
// are written percent-encoded; JSON's escapes of characters and quotes read <u> and <q>.
const char* const kRequests = R"(
> {"cmd":"users"}
< {"ok":true,"users":[{"text":"127.0.0.1  [ana] en [ALMACEN1]","user":"ana"},{"text":"127.0.0.2  [luis] en [CAJA]","user":"luis"}]}
> {"cmd":"log","lines":"abc"}
< {"error":"El número de líneas debe ser un entero de 0 en adelante.","ok":false}
> {"cmd":"log","lines":-5}
< {"error":"El número de líneas debe ser un entero de 0 en adelante.","ok":false}
> {"cmd":"log","lines":2}%0A{"cmd":"users"}
< {"count":2,"ok":true}
< {"event":"log","text":"[09:05:17]  Inicio de sesión para [CAJA] completado."}
< {"event":"log","text":"[09:05:17]  Validado usuario [luis] en [CAJA]."}
< {"ok":true,"users":[{"text":"127.0.0.1  [ana] en [ALMACEN1]","user":"ana"},{"text":"127.0.0.2  [luis] en [CAJA]","user":"luis"}]}
> {"cmd":"disconnect","user":"LUIS"}
< {"error":"El usuario [LUIS] no está conectado.","ok":false}
log: [09:05:17]  Orden de administración [disconnect LUIS] de [<caller>].
> {"cmd":"port","port":"9000"}
< {"error":"No disponible con el servicio iniciado: detenga el servicio.","ok":false}
log: [09:05:17]  Orden de administración [port 9000] de [<caller>].
> {"cmd":"start"}
< {"error":"El servicio ya está iniciado.","ok":false}
log: [09:05:17]  Orden de administración [start] de [<caller>].
> {"cmd":""}
< {"error":"Falta la orden (<q>cmd<q>).","ok":false}
> {"cmd":"reboot"}
< {"error":"Orden desconocida: reboot.","ok":false}
> %7B"cmd":"users"
< {"error":"JSON incorrecto a partir del carácter 15.","ok":false}
> ["users"]
< {"error":"La petición debe ser un objeto JSON.","ok":false}
> {"cmd":"users"}%0D
< {"ok":true,"users":[{"text":"127.0.0.1  [ana] en [ALMACEN1]","user":"ana"},{"text":"127.0.0.2  [luis] en [CAJA]","user":"luis"}]}
> {"cmd":"disconnect","user":"a<u>0000b<u>001bc\rd\ne\tf<u>007fg<u>0085h<u>2028i"}
< {"error":"El usuario [a<u>0000b<u>001bc\rd\ne\tf<7f>g<85>h<2028>i] no está conectado.","ok":false}
log: [09:05:17]  Orden de administración [disconnect a b c d e f g h i] de [<caller>].
> {"cmd":"disconnect","user":"a%00b"}
< {"error":"El usuario [a<u>0000b] no está conectado.","ok":false}
log: [09:05:17]  Orden de administración [disconnect a b] de [<caller>].
> {"cmd":"disconnect","user":"a%1B%5B2Jb"}
< {"error":"El usuario [a<u>001b[2Jb] no está conectado.","ok":false}
log: [09:05:17]  Orden de administración [disconnect a [2Jb] de [<caller>].
> {"cmd":"disconnect","user":"a%0Db"}
< {"error":"El usuario [a\rb] no está conectado.","ok":false}
log: [09:05:17]  Orden de administración [disconnect a b] de [<caller>].
> {"cmd":"disconnect","user":"a%0Ab"}
< {"error":"JSON incorrecto a partir del carácter 31.","ok":false}
> {"cmd":"disconnect","user":"a%7Fb%C3%B1%C2%85c"}
< {"error":"El usuario [a<7f>bñ<85>c] no está conectado.","ok":false}
log: [09:05:17]  Orden de administración [disconnect a bñ c] de [<caller>].
> {"cmd":"disconnect","user":"a%FF%C3b%ED%A0%80"}
< {"error":"JSON incorrecto a partir del carácter 30.","ok":false}
> {"cmd":"disconnect","user":"luis"}
< {"ok":true}
clients: ana
log: [09:05:17]  Orden de administración [disconnect luis] de [<caller>].
log: [09:05:17]  Usuario [luis] en [CAJA] desconectado manualmente.
> {"cmd":"stop"}
< {"ok":true}
clients:
service: stopped
log: [09:05:17]  Orden de administración [stop] de [<caller>].
log: [09:05:17]  Cerrando conexiones...
log: [09:05:17]  Conexiones cerradas.
log: [09:05:17]  Servidor inactivo.
> {"cmd":"stop"}
< {"error":"El servicio no está iniciado.","ok":false}
log: [09:05:17]  Orden de administración [stop] de [<caller>].
> {"cmd":"port","port":"9000"}
< {"messages":[{"icon":"question","question":true,"text":"Indique nuevo puerto."}],"ok":true,"port":9000}
settings: [Main]|Port=9000|
log: [09:05:17]  Orden de administración [port 9000] de [<caller>].
)";
const char* const kToolCommands = R"(
$ status
Servicio: iniciado
Puerto: <port>
Usuarios: 2/255
Bytes recibidos: 29
SQLServer: [(embedded)]
Host: [<host>]
En marcha: 00:00:00
exit: 0
$ start
stderr: El servicio ya está iniciado.
exit: 1
log: [09:05:17]  Orden de administración [start] de [<caller>].
$ port
stderr: Uso: oskserverctl port N
exit: 2
$ stop ya
stderr: Uso: oskserverctl stop
exit: 2
$ --socket /nonexistent/oskserver.sock status
stderr: No hay ningún servidor en marcha en /nonexistent/oskserver.sock.
exit: 3
# odd names
log: [09:05:17]  Cambiado usuario a [ana [31m] en [ALMACEN1].
log: [09:05:17]  Cambiado usuario a [lu  is] en [CAJA].
$ users
127.0.0.1  [ana [31m]en [ALMACEN1]
127.0.0.2  [lu  is]en [CAJA]
exit: 0
$ --json users
{"ok":true,"users":[{"text":"127.0.0.1  [ana<u>001b[31m]en [ALMACEN1]","user":"ana<u>001b[31m"},{"text":"127.0.0.2  [lu<u>007f<u>0081is]en [CAJA]","user":"lu<u>007f<u>0081is"}]}
exit: 0
# nobody
$ status
stderr: Sin permiso para usar <folder>/oskserver.sock: hace falta ser root o del grupo del servidor.
exit: 4
# stop
clients:
service: stopped
log: [09:05:17]  Cerrando conexiones...
log: [09:05:17]  Conexiones cerradas.
log: [09:05:17]  Servidor inactivo.
$ port <port>.0
exit: 0
log: [09:05:17]  Orden de administración [port <port>.0] de [<caller>].
$ port 0
stderr: Puerto Incorrecto
exit: 1
log: [09:05:17]  Orden de administración [port 0] de [<caller>].
$ sql-server OTRO
stderr: El servidor SQL Server se usará cuando Osk Server arranque con el motor SQL Server (Engine=SQLServer).
exit: 0
settings: [Main]|Port=<port>|SQLServer=OTRO|Engine=Embedded|
log: [09:05:17]  Orden de administración [sql-server OTRO] de [<caller>].
# disk full
$ sql-server NUEVO
stderr: No se ha podido guardar la configuración en el archivo '<folder>/OskServer.INI': el archivo ha alcanzado el tamaño máximo
exit: 1
log: [09:05:17]  Orden de administración [sql-server NUEVO] de [<caller>].
log: [09:05:17]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo
$ update-clients OskDB
stderr: No hay archivos de actualización disponibles.
exit: 0
log: [09:05:17]  Orden de administración [update-clients OskDB] de [<caller>].
log: [09:05:17]  No hay archivos de actualización disponibles.
# client update
$ update-clients OskDB
stderr: Los ejecutables no se han distribuido: La base de datos 'OskDB' no tiene la tabla oskComponents; no se ha guardado ningún archivo.
exit: 1
log: [09:05:17]  Orden de administración [update-clients OskDB] de [<caller>].
log: [09:05:17]  La base de datos 'OskDB' no tiene la tabla oskComponents; no se ha guardado ningún archivo.
# damaged database
$ databases --refresh
stderr: <folder>/Data/OskDB.db: no es una base de datos
exit: 1
log: [09:05:17]  Orden de administración [databases --refresh] de [<caller>].
$ backup-set 2 type=Diaria hour=3 minute=30 file=<folder>/.oskserverd.lock
stderr: El archivo de copia <folder>/.oskserverd.lock es un archivo del servidor.
exit: 1
log: [09:05:17]  Orden de administración [backup-set 2 file=<folder>/.oskserverd.lock hour=3 minute=30 type=Diaria] de [<caller>].
$ backup-set 2 type=Diaria hour=3 minute=30 file=<folder>/oskserver.sock
stderr: El archivo de copia <folder>/oskserver.sock es un archivo del servidor.
exit: 1
log: [09:05:17]  Orden de administración [backup-set 2 file=<folder>/oskserver.sock hour=3 minute=30 type=Diaria] de [<caller>].
$ backup-set 2 type=Diaria hour=3 minute=30 file=<folder>/OskServer.INI%20
stderr: El archivo de copia <folder>/OskServer.INI es un archivo del servidor.
exit: 1
log: [09:05:17]  Orden de administración [backup-set 2 file=<folder>/OskServer.INI  hour=3 minute=30 type=Diaria] de [<caller>].
$ backup-set 2 type=Diaria hour=3 minute=30 file=<folder>/Data
stderr: El archivo de copia <folder>/Data es una carpeta.
exit: 1
log: [09:05:17]  Orden de administración [backup-set 2 file=<folder>/Data hour=3 minute=30 type=Diaria] de [<caller>].
$ backup-set 2 type=Diaria hour=3 minute=30 file=%20%20%20
2<09>Diaria<09>OskDB<09>Lunes<09>03:30<09>
stderr: Copia de Seguridad 2: No se ha indicado el archivo de copia.
exit: 0
settings: [Main]|Port=<port>|SQLServer=OTRO|Engine=Embedded|[Backup1]|Type=0|DataBase=|OutPutFile=|Day=0|Hour=00:00|[Backup2]|Type=1|DataBase=OskDB|OutPutFile=|Day=0|Hour=03:30|[Backup3]|Type=0|DataBase=|OutPutFile=|Day=0|Hour=00:00|
backup 2: 1 
log: [09:05:17]  Orden de administración [backup-set 2 file=    hour=3 minute=30 type=Diaria] de [<caller>].
log: [09:05:17]  Copia de Seguridad 2: No se ha indicado el archivo de copia.
$ backup-set 2 type=Diaria hour=3 minute=30 file=<folder>/copia.obk
2<09>Diaria<09>OskDB<09>Lunes<09>03:30<09><folder>/copia.obk
exit: 0
settings: [Main]|Port=<port>|SQLServer=OTRO|Engine=Embedded|[Backup1]|Type=0|DataBase=|OutPutFile=|Day=0|Hour=00:00|[Backup2]|Type=1|DataBase=OskDB|OutPutFile=<folder>/copia.obk|Day=0|Hour=03:30|[Backup3]|Type=0|DataBase=|OutPutFile=|Day=0|Hour=00:00|
backup 2: 1 <folder>/copia.obk
log: [09:05:17]  Orden de administración [backup-set 2 file=<folder>/copia.obk hour=3 minute=30 type=Diaria] de [<caller>].
# settings folder gone
settings: 
$ --json backup-set 2 type=Diaria hour=4 minute=30 file=<folder>/otra.obk
{"error":"La copia programada no se ha guardado: No se puede escribir el archivo '<folder>/OskServer.INI': no existe","messages":[{"icon":"information","question":false,"text":"Imposible Guardar parámetros.\r\n\r\nNo se puede escribir el archivo '<folder>/OskServer.INI': no existe"}],"ok":false}
exit: 1
log: [09:05:17]  Orden de administración [backup-set 2 file=<folder>/otra.obk hour=4 minute=30 type=Diaria] de [<caller>].
)";

// Whole expected texts holding brackets that do not pair, apart from the class for moc.
const char* const kExpectedFollowStreamsTheUsersLines0 = R"(
[09:05:17]   [2Jborrado
exit: 0
)";
#endif

class TestControlSocket final : public QObject {
    Q_OBJECT

private slots:
    // Every request answered and, when it changes something, logged with its caller; what a
    // caller sends is one line of the log whatever it holds, its controls blanks.
    void requestsAndReplies() {
        Fixture f;
        QVERIFY(f.start());
        OSK_COMPARE_SNAPSHOT(f.play(kRequests), lines(kRequests));
    }

    // The tool's commands: what each prints, its exit status, and what it changed.
    void toolCommands() {
        Fixture f;
        QVERIFY(f.start());
        if (geteuid() != 0)
            QSKIP("Needs root to run the tool as another user");
        OSK_COMPARE_SNAPSHOT(f.play(kToolCommands), lines(kToolCommands));
    }

    // A follower gets the user's activity lines as they come; its going tells the client to stop.
    // The tool prints what the client sent with its escapes as blanks, and ends with the session.
    void followStreamsTheUsersLines() {
        Fixture f;
        QVERIFY(f.start());
        {
            Caller follower(f.socketPath());
            follower.send(R"({"cmd":"follow","user":"luis"})");
            QCOMPARE(follower.nextLine(), QByteArray(R"({"ok":true,"user":"luis"})"));
            QVERIFY(receives(*f.luis, "LOG"));
            f.luis->send("LOG abri\xF3 la ficha 7"); // Windows-1252 on the wire
            QCOMPARE(QString::fromUtf8(follower.nextLine()),
                     QStringLiteral(R"({"event":"line","text":"[09:05:17]  abrió la ficha 7"})"));
        }
        QVERIFY(receives(*f.luis, "NOLOG"));
        QCOMPARE(f.ana->received, QByteArray());
        QProcess tool;
        tool.start(QStringLiteral(OSKSERVERCTL_PATH), {"--home", f.folder.path(), "follow", "luis"});
        QVERIFY(receives(*f.luis, "LOG"));
        QVERIFY(f.say(*f.luis, "LOG \x1b[2Jborrado"));
        QTest::qWait(200);
        QVERIFY(f.say(*f.luis, "CLOSE"));
        OSK_COMPARE_SNAPSHOT(printed(tool, f.folder.path()), lines(kExpectedFollowStreamsTheUsersLines0));
    }

    // Lines of log more than the server hands the socket at once come, every one, before the reply
    // to the request after them on the same connection; the tool takes a day's lines, more than
    // one reply line could carry, and prints what clients put in them blank.
    void longLogsArePacedWhole() {
        Fixture f;
        QVERIFY(f.start());
        QVERIFY(f.say(*f.ana, "USER=ana\x1b[31m"));
        QByteArray expected = R"({"count":5000,"ok":true})"
                              "\n";
        QString printedLog = QString(f.core->eventLog().entries().back().text).replace('\x1b', ' ') + '\n';
        for (int i = 1; i <= 45000; ++i) {
            const QString line = QStringLiteral("Línea %1 ").arg(i) + QString(40, u'ñ');
            f.core->eventLog().AddLog(line, LogKind::Info);
            printedLog += "[09:05:17]  " + line + '\n';
            if (i > 40000)
                expected += "{\"event\":\"log\",\"text\":\"[09:05:17]  " + line.toUtf8() + "\"}\n";
        }
        QVERIFY(ctl(f.folder.path(), {"log", "-n", "45001"}) == printedLog + "exit: 0\n");
        Caller caller(f.socketPath());
        caller.send(R"({"cmd":"log","lines":5000})"
                    "\n"
                    R"({"cmd":"disconnect","user":"nadie"})");
        QVERIFY(QTest::qWaitFor(
            [&] { return caller.received.endsWith("}\n") && caller.received.size() > expected.size(); },
            kWaitMs));
        QVERIFY(caller.received == expected +
                                       R"({"error":"El usuario [nadie] no está conectado.","ok":false})"
                                       "\n");
    }

    // A server that cuts a log short, or takes the request and never answers until the tool is
    // stopped: neither is a success.
    void toolAgainstAServerThatFails() {
        QString text;
        for (const bool mute : {false, true}) {
            TempProgramFolder folder;
            QLocalServer server;
            QVERIFY(server.listen(folder.file(QStringLiteral("fake.sock"))));
            QObject::connect(&server, &QLocalServer::newConnection, [&server, mute] {
                QLocalSocket* peer = server.nextPendingConnection();
                QObject::connect(peer, &QLocalSocket::readyRead, [peer, mute] {
                    peer->readAll();
                    if (!mute) {
                        peer->write("{\"count\":2,\"ok\":true}\n{\"event\":\"log\",\"text\":\"uno\"}\n");
                        peer->disconnectFromServer();
                    }
                });
            });
            QProcess tool;
            tool.start(QStringLiteral(OSKSERVERCTL_PATH), {"--socket", server.fullServerName(), "log"});
            QTest::qWait(500);
            QVERIFY(!mute || ::kill(pid_t(tool.processId()), SIGTERM) == 0);
            text += printed(tool, folder.path());
        }
        OSK_COMPARE_SNAPSHOT(text, lines(R"(
uno
stderr: El servidor cerró la conexión antes de enviar todas las líneas.
exit: 1
stderr: Interrumpida la espera de la respuesta del servidor.
exit: 1
)"));
    }

    // A caller that says nothing, or says it a byte at a time, is let go; followers of another
    // user that fill every place do not keep root out.
    void idleCallersCannotLockTheAdministratorOut() {
        Fixture f;
        QVERIFY(f.start());
        f.control->setRequestTimeout(std::chrono::milliseconds(400));
        Caller silent(f.socketPath());
        Caller trickling(f.socketPath());
        for (const char byte : QByteArray(R"({"cmd":"status"})")) {
            trickling.socket.write(&byte, 1);
            trickling.socket.flush();
            QTest::qWait(50);
        }
        QCOMPARE(silent.nextLine() + trickling.nextLine(),
                 R"({"error":"Petición incompleta.","ok":false}{"error":"Petición incompleta.","ok":false})");
        if (geteuid() != 0)
            return;
        f.control->setRequestTimeout(std::chrono::seconds(60));
        QFile::setPermissions(f.folder.path(), QFile::Permissions(0x7755));
        std::vector<std::unique_ptr<QProcess>> followers;
        for (int i = 0; i < 32; ++i) {
            followers.push_back(std::make_unique<QProcess>());
            followers.back()->start("setpriv",
                                    {"--reuid=65534", "--regid=0", "--clear-groups", OSKSERVERCTL_PATH,
                                     "--home", f.folder.path(), "log", "-n", "0", "-f"});
        }
        QTRY_COMPARE_WITH_TIMEOUT(f.control->connectionCount(), 32, kWaitMs);
        OSK_COMPARE_SNAPSHOT(ctl(f.folder.path(), {"users"}), lines(R"(
127.0.0.1  [ana] en [ALMACEN1]
127.0.0.2  [luis] en [CAJA]
exit: 0
)"));
        for (auto& follower : followers)
            follower->kill();
        for (auto& follower : followers)
            follower->waitForFinished(kWaitMs);
    }

    // The service of an unprivileged user: callers of another user of its group fill the 32
    // places, and a 33rd of theirs is turned away, while the service's own user and root each take
    // the place of the caller idle longest. A user outside the group is kept out by the socket;
    // the callers left are let go after 10 s without a request.
    void ownUserAndRootMakeRoomInAnUnprivilegedService() {
        if (geteuid() != 0)
            QSKIP("Needs root to run the service and its callers as other users");
        TempProgramFolder folder;
        const QString settings = folder.file(kSettingsFileName);
        QVERIFY(writeFileBytes(settings, portSettings(freePort())));
        QVERIFY(::chown(QFile::encodeName(folder.path()).constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder.path()).constData(), 0750) == 0);
        QVERIFY(::chown(QFile::encodeName(settings).constData(), 65534, 65534) == 0);
        QProcess service;
        service.start("setpriv", kAsNobody + QStringList{OSKSERVERD_PATH, "--home", folder.path()});
        const QString socket = folder.file(QStringLiteral("oskserver.sock"));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socket), kWaitMs);
        std::vector<int> callers;
        const auto member = [&] {
            callers.push_back(connectAs(socket, 65533, 65534));
        };
        for (int i = 0; i < 32; ++i)
            member();
        QTest::qWait(300);
        QString text =
            ctl(folder.path(), {"users"}, {"setpriv", "--reuid=65533", "--regid=65534", "--clear-groups"});
        // Each time the places are all taken again first.
        for (const QStringList& as : {kAsNobody, QStringList()}) {
            member();
            QTest::qWait(300);
            text += ctl(folder.path(), {"users"}, as);
        }
        text +=
            ctl(folder.path(), {"users"}, {"setpriv", "--reuid=65532", "--regid=65532", "--clear-groups"});
        QVERIFY(std::count(callers.begin(), callers.end(), -1) == 0);
        // What each caller was told, and what after 10 s of nothing, runs of the same counted.
        for (const int wait : {0, 11000}) {
            QTest::qWait(wait);
            QStringList told;
            for (const int caller : callers)
                told << QString::fromUtf8(readWithin(caller, 0)).trimmed();
            for (qsizetype i = 0, j = 0; i < told.size(); i = j) {
                while (j < told.size() && told[j] == told[i])
                    ++j;
                text += QStringLiteral("callers %1-%2: %3\n").arg(i + 1).arg(j).arg(told[i]);
            }
        }
        OSK_COMPARE_SNAPSHOT(text, lines(R"(
stderr: Demasiadas conexiones de administración.
exit: 1
exit: 0
exit: 0
stderr: Sin permiso para usar <folder>/oskserver.sock: hace falta ser root o del grupo del servidor.
exit: 4
callers 1-2: {"error":"Conexión cerrada para dar paso a un administrador.","ok":false}
callers 3-32: 
callers 33-33: {"error":"Demasiadas conexiones de administración.","ok":false}
callers 34-34: 
callers 1-2: 
callers 3-32: {"error":"Petición incompleta.","ok":false}
callers 33-33: 
callers 34-34: {"error":"Petición incompleta.","ok":false}
)"));
        for (const int caller : callers)
            ::close(caller);
        service.terminate();
        QVERIFY(service.waitForFinished(kWaitMs));
    }

    // A caller that asks for the log and reads nothing of it holds what it asked for only for the
    // request time, and at most four such replies are under way at once; a caller that shuts its
    // side down once the request is sent still gets the reply.
    void callersThatDoNotReadAreLetGo() {
        Fixture f;
        QVERIFY(f.start());
        f.control->setRequestTimeout(std::chrono::milliseconds(600));
        for (int i = 1; i <= 5000; ++i)
            f.core->eventLog().AddLog(QStringLiteral("Línea %1 ").arg(i) + QString(100, u'x'), LogKind::Info);
        std::vector<int> stuck;
        for (int i = 0; i < 4; ++i) {
            stuck.push_back(connectAs(f.socketPath()));
            QCOMPARE(::write(stuck.back(), "{\"cmd\":\"log\"}\n", 14), 14);
        }
        QTRY_COMPARE(f.control->connectionCount(), 4);
        Caller fifth(f.socketPath());
        fifth.send(R"({"cmd":"log"})");
        QCOMPARE(QString::fromUtf8(fifth.nextLine()),
                 QStringLiteral(R"({"error":"Hay demasiadas peticiones del registro en curso; inténtelo más )"
                                R"(tarde.","ok":false})"));
        // The four go for reading nothing, the fifth for asking nothing more.
        QTRY_COMPARE_WITH_TIMEOUT(f.control->connectionCount(), 0, kWaitMs);
        for (const int descriptor : stuck)
            ::close(descriptor);
        const int halfClosed = connectAs(f.socketPath());
        QCOMPARE(::write(halfClosed, "{\"cmd\":\"users\"}\n", 16), 16);
        QCOMPARE(::shutdown(halfClosed, SHUT_WR), 0);
        QCOMPARE(readWithin(halfClosed, kWaitMs), kUsers + '\n');
        ::close(halfClosed);
    }

    // An accept that fails for want of descriptors is logged once and tried again: the socket
    // stays, and the caller that waited is answered.
    void survivesRunningOutOfDescriptors() {
        Fixture f;
        QVERIFY(f.start());
        Caller waiting(f.socketPath());
        QVERIFY(waiting.socket.waitForConnected(kWaitMs));
        waiting.send(R"({"cmd":"stop"})");
        {
            DescriptorsRunOut none;
            QVERIFY(none.lowered());
            QTest::qWait(350);
        }
        QCOMPARE(waiting.nextLine(), QByteArray(R"({"ok":true})"));
        OSK_COMPARE_SNAPSHOT(f.play("$ users"), lines(R"(
$ users
exit: 0
clients:
service: stopped
log: [09:05:17]  Canal de administración: No quedan descriptores de archivo libres; se reintentará
log: [09:05:17]  Orden de administración [stop] de [<caller>].
log: [09:05:17]  Cerrando conexiones...
log: [09:05:17]  Conexiones cerradas.
log: [09:05:17]  Servidor inactivo.
)"));
    }
};

QTEST_GUILESS_MAIN(TestControlSocket)
#include "test_control_socket.moc"
