// The control socket with a started core on the embedded engine, real clients from two computers,
// callers on the real local socket, the built oskserverctl, and the built oskserverd of an
// unprivileged user.

#include "control/control_server.h"
#include "control/state_watch.h"
#include "core/server_core.h"
#include "core/web_users.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/served_client.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>
#include <cerrno>
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

constexpr int kWaitMs = 10000;
const QStringList kAsNobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

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

bool sendTo(int fd, const QByteArray& bytes) {
    return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
}

// What a raw caller is sent until the server closes, `ms` go by, or whole lines have come and
// then nothing for 300 ms.
QByteArray readFrom(int fd, int ms = kWaitMs) {
    QByteArray received;
    QElapsedTimer quiet;
    quiet.start();
    (void)QTest::qWaitFor(
        [&] {
            char chunk[65536];
            ssize_t got = 0;
            while ((got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0) {
                received.append(chunk, got);
                quiet.restart();
            }
            return got == 0 || errno != EAGAIN || (received.endsWith('\n') && quiet.hasExpired(300));
        },
        ms);
    return received;
}

// What a raw caller has been sent so far, without letting the server run meanwhile.
QByteArray sentSoFar(int fd) {
    char chunk[65536];
    const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    return QByteArray(chunk, std::max<ssize_t>(got, 0));
}

// A program run to its end: its standard output, its errors marked, and its exit status.
QString printed(QProcess& process, const QString& folder) {
    (void)QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 60000);
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
    QString setup; // the "# setup" step for the next one

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
        const QStringList now{QStringLiteral("sessions: %1").arg(core->session().CuentaConexiones()),
                              QStringLiteral("service: %1").arg(core->isStarted() ? "started" : "stopped"),
                              "settings: " +
                                  QString::fromLatin1(readFileBytes(settingsPath())).replace("\r\n", "|")};
        QString text;
        for (const QString& fact : now)
            text += facts.contains(fact) ? QString() : fact + '\n';
        facts = now;
        for (const auto& entries = core->eventLog().entries(); logged < entries.size(); ++logged)
            text += "log: " + entries[logged].text + '\n';
        return placeheld(text);
    }
    // Root's callers, each watching and told the state.
    std::vector<int> watchers(int count) {
        std::vector<int> fds;
        for (int i = 0; i < count; ++i) {
            fds.push_back(connectAs(socketPath()));
            char byte = 0;
            (void)(sendTo(fds.back(), "{\"cmd\":\"watch\"}\n") &&
                   QTest::qWaitFor([&] { return ::recv(fds.back(), &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 1; },
                                   kWaitMs));
        }
        return fds;
    }
    // One step: "> request" on a connection of its own (percent-encoded), "$ arguments" of the tool
    // (each percent-encoded), "# setup" for the next step ("# padded to N": the request is N bytes,
    // blanks after it; "# 32 watchers": the places are all taken by root's watchers, and what those
    // told to go were told follows).
    QString run(const QString& step) {
        const QString before = std::exchange(setup, step.startsWith(QLatin1String("# ")) ? step : QString());
        if (step.startsWith(QLatin1String("> "))) {
            const std::vector<int> watching = watchers(before == u"# 32 watchers" ? 32 : 0);
            const int caller = connectAs(socketPath());
            QByteArray request = QByteArray::fromPercentEncoding(step.mid(2).replace("<u>", "\\u").toUtf8());
            if (before.startsWith(u"# padded to "))
                request = request.leftJustified(before.section(QLatin1Char(' '), 3).toInt(), ' ');
            QString text = sendTo(caller, request + '\n') ? "" : "not sent\n";
            if (before == u"# no descriptors") {
                DescriptorsRunOut none;
                QTest::qWait(none.set() ? 350 : 0);
            }
            for (const QByteArray& line : readFrom(caller).split('\n'))
                text += line.isEmpty() ? QString() : "< " + QString::fromUtf8(line) + '\n';
            ::close(caller);
            for (const int watcher : watching) {
                for (const QByteArray& line : sentSoFar(watcher).split('\n'))
                    text +=
                        line.contains("\"ok\":false") ? "< watcher: " + QString::fromUtf8(line) + '\n' : "";
                ::close(watcher);
            }
            return placeheld(text);
        }
        if (step.startsWith(QLatin1String("$ "))) {
            QStringList arguments;
            for (const QString& argument : step.mid(2).split(' '))
                arguments << QString::fromUtf8(QByteArray::fromPercentEncoding(argument.toUtf8()))
                                 .replace("<folder>", folder.path())
                                 .replace("<port>", QString::number(port));
            std::unique_ptr<FileSizeLimit> limit(before == u"# disk full" ? new FileSizeLimit(10) : nullptr);
            return placeheld(ctl(folder.path(), arguments));
        }
        if (step == u"# odd name") {
            ana->send("USER=ana\x1b[31m\x7f\x81");
            (void)QTest::qWaitFor([&] { return core->eventLog().entries().size() > logged; }, kWaitMs);
        } else if (step == u"# client update")
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
// A transcript of steps, each followed by what it printed and changed (Fixture::play). Requests
// are written percent-encoded; JSON's escapes of characters and quotes read <u> and <q>.
const char* const kTranscript = R"(
> {"cmd":"users"}
< {"ok":true,"users":[{"text":"127.0.0.1  [ana] en [ALMACEN1]","user":"ana"},{"text":"127.0.0.2  [luis] en [CAJA]","user":"luis"}]}
> {"cmd":"watch"}%0A{"cmd":"users"}
< {"enabled":{"backup-set":false,"databases":false,"port":false,"sql-server":false,"start":false,"stop":true},"maxUsers":255,"ok":true,"port":<port>,"receivedBytes":29,"rows":[{"text":"127.0.0.1  [ana] en [ALMACEN1]","user":"ana"},{"text":"127.0.0.2  [luis] en [CAJA]","user":"luis"}],"running":true,"users":2}
< {"error":"Esta conexión ya sigue una orden: abra otra para una nueva petición.","ok":false}
# 32 watchers
> {"cmd":"users"}
< {"ok":true,"users":[{"text":"127.0.0.1  [ana] en [ALMACEN1]","user":"ana"},{"text":"127.0.0.2  [luis] en [CAJA]","user":"luis"}]}
< watcher: {"error":"Conexión cerrada para dar paso a un administrador.","ok":false}
> {"cmd":"log","lines":2}%0A{"cmd":"disconnect","user":"LUIS"}
< {"count":2,"ok":true}
< {"event":"log","kind":1,"text":"[09:05:17]  Inicio de sesión para [CAJA] completado."}
< {"event":"log","kind":2,"text":"[09:05:17]  Validado usuario [luis] en [CAJA]."}
< {"error":"El usuario [LUIS] no está conectado.","ok":false}
log: [09:05:17]  Orden de administración [disconnect LUIS] de [<caller>].
> {"cmd":"disconnect","user":123}
< {"error":"Falta el usuario (<q>user<q>).","ok":false}
log: [09:05:17]  Orden de administración [disconnect 123] de [<caller>].
> {"cmd":"port","port":"9000"}
< {"error":"No disponible con el servicio iniciado: detenga el servicio.","ok":false}
log: [09:05:17]  Orden de administración [port 9000] de [<caller>].
> {"cmd":""}
< {"error":"Falta la orden (<q>cmd<q>).","ok":false}
> %7B"cmd":"users"
< {"error":"JSON incorrecto a partir del carácter 15.","ok":false}
# padded to 65536
> {"cmd":"disconnect","user":"nadie"}
< {"error":"El usuario [nadie] no está conectado.","ok":false}
log: [09:05:17]  Orden de administración [disconnect nadie] de [<caller>].
# padded to 65537
> {"cmd":"disconnect","user":"nadie"}
< {"error":"Petición demasiado larga.","ok":false}
> {"cmd":"disconnect","user":"a<u>0000b<u>001bc\rd\ne\tf<u>007fg<u>0085h<u>2028i"}
< {"error":"El usuario [a<u>0000b<u>001bc\rd\ne\tf<7f>g<85>h<2028>i] no está conectado.","ok":false}
log: [09:05:17]  Orden de administración [disconnect a b c d e f g h i] de [<caller>].
> {"cmd":"web-user-add","name":"ana","password":"secreto123"}
< {"ok":true}
log: [09:05:17]  Orden de administración [web-user-add ana] de [<caller>].
> {"cmd":"web-user-add","name":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa","password":"secreto123"}
< {"ok":true}
log: [09:05:17]  Orden de administración [web-user-add aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa] de [<caller>].
> {"cmd":"web-user-add","name":"luis","password":"corta","pass":"secreto456"}
< {"error":"La contraseña debe tener al menos 8 caracteres.","ok":false}
log: [09:05:17]  Orden de administración [web-user-add luis] de [<caller>].
> {"cmd":"web-user-add","name":"luis b","password":"secreto123"}
< {"error":"El nombre de usuario debe tener de 1 a 64 letras sin acentos, cifras, puntos, guiones o guiones bajos.","ok":false}
log: [09:05:17]  Orden de administración [web-user-add luis b] de [<caller>].
> {"cmd":"web-user-add","name":"luis","password":"%20%20%20%20%20%20%20%20"}%0A{"cmd":"web-user-add","name":"luis","password":"secreto<u>0000"}%0A{"cmd":"web-user-add","name":"luis","password":"%F0%9F%94%91%F0%9F%94%91%F0%9F%94%91%F0%9F%94%91"}%0A{"cmd":"web-user-remove"}%0A{"cmd":"web-user-add","password":"secreto123"}
< {"error":"La contraseña no puede contener caracteres de control ni ser solo espacios.","ok":false}
< {"error":"La contraseña no puede contener caracteres de control ni ser solo espacios.","ok":false}
< {"error":"La contraseña debe tener al menos 8 caracteres.","ok":false}
< {"error":"Falta el nombre del usuario (<q>name<q>).","ok":false}
< {"error":"Falta el nombre del usuario (<q>name<q>).","ok":false}
log: [09:05:17]  Orden de administración [web-user-add luis] de [<caller>].
log: [09:05:17]  Orden de administración [web-user-add luis] de [<caller>].
log: [09:05:17]  Orden de administración [web-user-add luis] de [<caller>].
log: [09:05:17]  Orden de administración [web-user-remove] de [<caller>].
log: [09:05:17]  Orden de administración [web-user-add] de [<caller>].
$ web-user add ana/b
stderr: El nombre de usuario debe tener de 1 a 64 letras sin acentos, cifras, puntos, guiones o guiones bajos.
exit: 2
$ web-user list
aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa
ana
exit: 0
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
$ stop ya
stderr: Uso: oskserverctl stop
exit: 2
$ --socket /nonexistent/oskserver.sock status
stderr: No hay ningún servidor en marcha en /nonexistent/oskserver.sock.
exit: 3
# odd name
log: [09:05:17]  Cambiado usuario a [ana [31m  ] en [ALMACEN1].
$ log -n 1
[09:05:17]  Cambiado usuario a [ana [31m  ] en [ALMACEN1].
exit: 0
$ --json users
{"ok":true,"users":[{"text":"127.0.0.1  [ana<u>001b[31m<u>007f<u>0081]en [ALMACEN1]","user":"ana<u>001b[31m<u>007f<u>0081"},{"text":"127.0.0.2  [luis] en [CAJA]","user":"luis"}]}
exit: 0
# no descriptors
> {"cmd":"disconnect","user":"luis"}
< {"ok":true}
sessions: 1
log: [09:05:17]  Canal de administración: No quedan descriptores de archivo libres; se reintentará
log: [09:05:17]  Orden de administración [disconnect luis] de [<caller>].
log: [09:05:17]  Usuario [luis] en [CAJA] desconectado manualmente.
> {"cmd":"stop"}
< {"ok":true}
sessions: 0
service: stopped
log: [09:05:17]  Orden de administración [stop] de [<caller>].
log: [09:05:17]  Cerrando conexiones...
log: [09:05:17]  Conexiones cerradas.
log: [09:05:17]  Servidor inactivo.
> {"cmd":"port","port":"9000"}
< {"messages":[{"icon":"question","question":true,"text":"Indique nuevo puerto."}],"ok":true,"port":9000}
settings: [Main]|Port=9000|
log: [09:05:17]  Orden de administración [port 9000] de [<caller>].
$ port 9000.0
exit: 0
log: [09:05:17]  Orden de administración [port 9000.0] de [<caller>].
$ sql-server OTRO
stderr: El servidor SQL Server se usará cuando Osk Server arranque con el motor SQL Server (Engine=SQLServer).
exit: 0
settings: [Main]|Port=9000|SQLServer=OTRO|Engine=Embedded|
log: [09:05:17]  Orden de administración [sql-server OTRO] de [<caller>].
# disk full
$ sql-server NUEVO
stderr: No se ha podido guardar la configuración en el archivo '<folder>/OskServer.INI': el archivo ha alcanzado el tamaño máximo
exit: 1
log: [09:05:17]  Orden de administración [sql-server NUEVO] de [<caller>].
log: [09:05:17]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo
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
$ backup-set 3 type=Diaria file=<folder>/Log/copia.log
stderr: El archivo de copia <folder>/Log/copia.log es un archivo del servidor.
exit: 1
log: [09:05:17]  Orden de administración [backup-set 3 file=<folder>/Log/copia.log type=Diaria] de [<caller>].
$ backup-set 2 type=Diaria hour=3 minute=30 file=<folder>/copia.obk
2<09>Diaria<09>OskDB<09>Lunes<09>03:30<09><folder>/copia.obk
exit: 0
settings: [Main]|Port=9000|SQLServer=OTRO|Engine=Embedded|[Backup1]|Type=0|DataBase=|OutPutFile=|Day=0|Hour=00:00|[Backup2]|Type=1|DataBase=OskDB|OutPutFile=<folder>/copia.obk|Day=0|Hour=03:30|[Backup3]|Type=0|DataBase=|OutPutFile=|Day=0|Hour=00:00|
log: [09:05:17]  Orden de administración [backup-set 2 file=<folder>/copia.obk hour=3 minute=30 type=Diaria] de [<caller>].
)";
#endif

class TestControlSocket final : public QObject {
    Q_OBJECT

private slots:
    // Every request and command answered and, when it changes something, logged with its caller;
    // what a caller sends is one line of the log whatever it holds, its controls blanks.
    void transcript() {
        Fixture f;
        QVERIFY(f.start());
        OSK_COMPARE_SNAPSHOT(f.play(kTranscript), QString::fromUtf8(kTranscript + 1));
        // The web users' passwords as hashes that only the server's user may read.
        const WebUsers users(f.folder.file(QStringLiteral("OskServer.users")));
        struct stat file {};
        QVERIFY(::stat(QFile::encodeName(users.path()).constData(), &file) == 0 &&
                (file.st_mode & 0777) == 0600);
        QVERIFY(readFileBytes(users.path()).startsWith("ana:$argon2id$"));
        QVERIFY(users.verify("ana", "secreto123") && !users.verify("ana", "secreto124") &&
                !users.verify("nadie", "secreto123"));

        // The hashes are made away from the event loop, a few at a time: another caller is
        // answered before any of the adds taken, but the one past the bound, is.
        const size_t logged = f.core->eventLog().entries().size();
        std::vector<int> adders;
        for (const QByteArray name : {"a1", "a2", "a3", "a4", "a5"}) {
            adders.push_back(connectAs(f.socketPath()));
            QVERIFY(
                sendTo(adders.back(),
                       "{\"cmd\":\"web-user-add\",\"password\":\"secreto123\",\"name\":\"" + name + "\"}\n"));
        }
        QVERIFY(QTest::qWaitFor([&] { return f.core->eventLog().entries().size() == logged + 5; }, kWaitMs));
        const int other = connectAs(f.socketPath());
        char byte = 0;
        QVERIFY(
            sendTo(other, "{\"cmd\":\"web-user-remove\",\"name\":\"nadie\"}\n") &&
            QTest::qWaitFor([&] { return ::recv(other, &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 1; }, kWaitMs));
        QStringList told;
        for (const int adder : adders)
            told << QString::fromUtf8(sentSoFar(adder));
        const QString refused = "{\"error\":\"Hay demasiadas altas de usuarios web en curso; inténtelo más "
                                "tarde.\",\"ok\":false}\n";
        QCOMPARE(told.join(QString()), refused);
        QCOMPARE(readFrom(other),
                 QByteArray("{\"error\":\"No existe el usuario web [nadie].\",\"ok\":false}\n"));
        for (qsizetype i = 0; i < told.size(); ++i)
            told[i] = told[i].isEmpty() ? QString::fromUtf8(readFrom(adders[size_t(i)])) : told[i];
        told.sort();
        QCOMPARE(told.join(QString()),
                 refused + "{\"ok\":true}\n{\"ok\":true}\n{\"ok\":true}\n{\"ok\":true}\n");
        adders.push_back(other);
        for (const int fd : adders)
            ::close(fd);

        // A file edited by hand into something that is not a list of users is refused by every
        // question, and left as it is.
        const QByteArray valid = readFileBytes(users.path()).split('\n').first() + '\n';
        const std::vector<std::pair<QByteArray, int>> edits{{valid + "\n" + valid, 3},
                                                            {valid + "luis:\n", 2},
                                                            {valid + "luis:$argon2i$v=19$m=65536\n", 2},
                                                            {"ana b" + valid.mid(3), 1}};
        for (const auto& [edited, line] : edits) {
            QVERIFY(writeFileBytes(users.path(), edited));
            const QString error = QStringLiteral("El archivo de usuarios web %1 no es válido (línea %2): "
                                                 "corríjalo o bórrelo.")
                                      .arg(users.path())
                                      .arg(line);
            QCOMPARE(users.names().error(), error);
            QCOMPARE(WebUsers(users.path()).remove("ana").error(), error);
            QVERIFY(readFileBytes(users.path()) == edited && !users.verify("ana", "secreto123"));
        }
        QVERIFY(writeFileBytes(users.path(), "\n" + valid + "\n\n") && users.names().ok());
    }

    // A follower gets the user's lines as they come, escapes blank, and its going tells the client
    // to stop. Lines of log more than the server hands the socket at once come, every one, before
    // the reply after them on the same connection.
    void followersAndLongLogs() {
        Fixture f;
        QVERIFY(f.start());
        f.control->setRequestTimeout(std::chrono::milliseconds(600));
        const int silent = connectAs(f.socketPath());
        QProcess tool;
        tool.start(QStringLiteral(OSKSERVERCTL_PATH), {"--home", f.folder.path(), "follow", "luis"});
        QVERIFY(receives(*f.luis, "LOG"));
        f.luis->send("LOG abri\xF3 \x1b[2Jla ficha"); // Windows-1252 on the wire
        QVERIFY(QTest::qWaitFor([&] { return tool.canReadLine(); }, kWaitMs));
        tool.terminate();
        QVERIFY(receives(*f.luis, "NOLOG"));
        QCOMPARE(printed(tool, f.folder.path()), QStringLiteral("[09:05:17]  abrió  [2Jla ficha\nexit: 0\n"));
        OSK_COMPARE_SNAPSHOT(f.changes(),
                             "log: [09:05:17]  Orden de administración [follow luis] de [<caller>].\n");

        QByteArray expected = "{\"count\":5000,\"ok\":true}\n";
        for (int i = 1; i <= 5000; ++i) {
            const QString line = QStringLiteral("Línea %1 ").arg(i) + QString(40, u'ñ');
            f.core->eventLog().AddLog(line, LogKind::Info);
            expected += "{\"event\":\"log\",\"kind\":2,\"text\":\"[09:05:17]  " + line.toUtf8() + "\"}\n";
        }
        const int reader = connectAs(f.socketPath());
        QVERIFY(sendTo(reader,
                       "{\"cmd\":\"log\",\"lines\":5000}\n{\"cmd\":\"disconnect\",\"user\":\"nadie\"}\n"));
        QVERIFY(readFrom(reader) ==
                expected + "{\"error\":\"El usuario [nadie] no está conectado.\",\"ok\":false}\n");
        ::close(reader);
        // However the session ends, its follow ends with it: the operator's disconnection, the stop.
        for (const QByteArray user : {"ana", "luis"}) {
            QProcess follower;
            follower.start(QStringLiteral(OSKSERVERCTL_PATH), {"--home", f.folder.path(), "follow", user});
            QVERIFY(receives(user == "ana" ? *f.ana : *f.luis, "LOG"));
            user == "ana" ? f.core->disconnectUser(0) : f.core->stopService();
            QVERIFY(QTest::qWaitFor([&] { return follower.state() == QProcess::NotRunning; }, kWaitMs));
            QCOMPARE(printed(follower, f.folder.path()), QStringLiteral("exit: 0\n"));
        }
        // A caller that says nothing is let go after the request time.
        QCOMPARE(readFrom(silent), QByteArray("{\"error\":\"Petición incompleta.\",\"ok\":false}\n"));
        ::close(silent);
    }

    // A watcher is told the state at once (its reply is in the transcript), then again after each
    // change: the bytes a client sends (within the second), a session that ends, the stop (one
    // event for all it changes). The built tool prints each, and says so when the service goes.
    void watchersAreToldEachChange() {
        Fixture f;
        QVERIFY(f.start());
        QProcess tool;
        QString toolPrinted;
        const auto toolHasPrinted = [&](qsizetype lines) {
            return QTest::qWaitFor(
                [&] { return (toolPrinted += tool.readAllStandardOutput()).count('\n') >= lines; }, kWaitMs);
        };
        tool.start(QStringLiteral(OSKSERVERCTL_PATH), {"--home", f.folder.path(), "watch"});
        QVERIFY(toolHasPrinted(3));
        f.ana->send("USER_AVAILABLE=pedro");
        QVERIFY(receives(*f.ana, "USER_OK") && toolHasPrinted(6));
        // A second watcher shares the watch and starts from the state now.
        const int second = connectAs(f.socketPath());
        QVERIFY(sendTo(second, "{\"cmd\":\"watch\"}\n") && readFrom(second).contains("\"receivedBytes\":49"));
        QCOMPARE(f.control->findChildren<StateWatch*>().size(), 1);
        ::close(second);
        f.core->disconnectUser(0);
        QVERIFY(toolHasPrinted(8));
        f.core->stopService();
        QVERIFY(toolHasPrinted(9));
        f.control.reset(); // the service's end, as a crash would be
        const QString both = "  127.0.0.1  [ana] en [ALMACEN1]\n  127.0.0.2  [luis] en [CAJA]\n";
        OSK_COMPARE_SNAPSHOT(
            f.placeheld(toolPrinted + printed(tool, f.folder.path())),
            "Servicio: iniciado | Puerto: <port> | Usuarios: 2/255 | Bytes recibidos: 29\n" + both +
                "Servicio: iniciado | Puerto: <port> | Usuarios: 2/255 | Bytes recibidos: 49\n" + both +
                "Servicio: iniciado | Puerto: <port> | Usuarios: 1/255 | Bytes recibidos: 49\n"
                "  127.0.0.2  [luis] en [CAJA]\n"
                "Servicio: detenido | Puerto: <port> | Usuarios: 0/255 | Bytes recibidos: 49\n"
                "stderr: El servidor cerró la conexión.\n"
                "exit: 1\n");
    }

    // The service of an unprivileged user: callers of another user of its group fill the 32
    // places, and a 33rd of theirs is turned away, while the service's own user and root each take
    // the place of the caller idle longest. A user outside the group is kept out by the socket.
    void ownUserAndRootMakeRoomInAnUnprivilegedService() {
        if (geteuid() != 0)
            QSKIP("Needs root to run the service and its callers as other users");
        TempProgramFolder folder;
        const QString settings = folder.file(kSettingsFileName);
        QVERIFY(writeFileBytes(settings, portSettings(freePort())));
        const QByteArray dir = QFile::encodeName(folder.path()), ini = QFile::encodeName(settings);
        QVERIFY(::chown(dir, 65534, 65534) == 0 && ::chmod(dir, 0750) == 0 &&
                ::chown(ini, 65534, 65534) == 0);
        QProcess service;
        service.start("setpriv", kAsNobody + QStringList{OSKSERVERD_PATH, "--home", folder.path()});
        const QString socket = folder.file(QStringLiteral("oskserver.sock"));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socket), kWaitMs);
        std::vector<int> callers;
        for (int i = 0; i < 32; ++i)
            callers.push_back(connectAs(socket, 65533, 65534));
        // A member, the service's own user and root, each but the member when the places are all
        // taken again; then a user outside the group.
        QString text;
        for (const QStringList& as :
             {QStringList{"setpriv", "--reuid=65533", "--regid=65534", "--clear-groups"}, kAsNobody,
              QStringList(), QStringList{"setpriv", "--reuid=65532", "--regid=65532", "--clear-groups"}}) {
            if (as == kAsNobody || as.isEmpty())
                callers.push_back(connectAs(socket, 65533, 65534));
            QTest::qWait(300);
            text += ctl(folder.path(), {"users"}, as);
        }
        // What each caller was told, runs of the same counted.
        QStringList told;
        for (const int caller : callers)
            told << QString::fromUtf8(readFrom(caller, 0)).trimmed();
        for (qsizetype i = 0, j = 0; i < told.size(); i = j) {
            while (j < told.size() && told[j] == told[i])
                ++j;
            text += QStringLiteral("callers %1-%2: %3\n").arg(i + 1).arg(j).arg(told[i]);
        }
        OSK_COMPARE_SNAPSHOT(text, QString::fromUtf8(1 + R"(
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
)"));
        for (const int caller : callers)
            ::close(caller);
        service.terminate();
        QVERIFY(service.waitForFinished(kWaitMs));
    }
};

QTEST_GUILESS_MAIN(TestControlSocket)
#include "test_control_socket.moc"
