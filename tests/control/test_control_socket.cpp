// The control socket with a started core on the embedded engine, real clients from two computers,
// callers on the real local socket, and the built oskserverctl.

#include "app/server_core.h"
#include "control/control_server.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/served_client.h"
#include "support/temp_program_folder.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QtTest>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace osk;
using namespace osk::test;

namespace {

constexpr int kWaitMs = 10000;

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

// One request from a caller that shuts its side down after it, as `printf … | socat -` does, and
// what it then reads until the server closes.
QByteArray halfClosedRequest(const QString& path, const QByteArray& request) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    QByteArray received;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::write(fd, request.constData(), size_t(request.size())) == request.size() &&
        ::shutdown(fd, SHUT_WR) == 0) {
        (void)QTest::qWaitFor(
            [&] {
                char chunk[4096];
                const ssize_t got = ::read(fd, chunk, sizeof chunk);
                if (got > 0)
                    received.append(chunk, got);
                return got == 0 || (got < 0 && errno != EAGAIN);
            },
            kWaitMs);
    }
    ::close(fd);
    return received;
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

    QString socketPath() const { return folder.file(QStringLiteral("oskserver.sock")); }
    // Started, taking control callers, with ana served from one computer and luis from another.
    bool start() {
        if (port == 0 || !writeFileBytes(folder.file(kSettingsFileName), portSettings(port)))
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
        return ana && luis;
    }
    QStringList connected() const {
        QStringList users;
        for (const auto& [client, user] : {std::pair{ana.get(), "ana"}, std::pair{luis.get(), "luis"}}) {
            if (client->socket.state() == QAbstractSocket::ConnectedState)
                users << QString::fromLatin1(user);
        }
        return users;
    }
    bool say(Client& client, QByteArrayView message) {
        const qint64 expected = core->session().receivedBytes() + message.size();
        client.send(message);
        return QTest::qWaitFor([&] { return core->session().receivedBytes() >= expected; }, kWaitMs);
    }
    QStringList commandLines() const {
        QStringList lines;
        for (const LogEntry& entry : core->eventLog().entries()) {
            if (entry.text.contains(QStringLiteral("Orden de administración")))
                lines << entry.text.mid(12);
        }
        return lines;
    }
};

// The built oskserverctl on the fixture's folder, run as `prefix` says (another user, say): its exit
// status and everything it printed.
std::pair<int, QString> runTool(const Fixture& f, QStringList prefix, const QStringList& arguments) {
    QStringList command =
        prefix + QStringList{QStringLiteral(OSKSERVERCTL_PATH), "--home", f.folder.path()} + arguments;
    QProcess tool;
    tool.start(command.takeFirst(), command);
    QByteArray output;
    QObject::connect(&tool, &QProcess::readyReadStandardOutput,
                     [&] { output += tool.readAllStandardOutput(); });
    if (!QTest::qWaitFor([&] { return tool.state() == QProcess::NotRunning; }, 60000))
        return {-1, QStringLiteral("oskserverctl did not end")};
    output += tool.readAllStandardOutput() + tool.readAllStandardError();
    return {tool.exitCode(), QString::fromLocal8Bit(output)};
}

} // namespace

class TestControlSocket final : public QObject {
    Q_OBJECT

private slots:
    void requestsAndReplies_data() {
        QTest::addColumn<bool>("stopFirst");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<QStringList>("stillConnected");

        const QStringList both{"ana", "luis"};
        const QByteArray whileRunning =
            R"({"error":"No disponible con el servicio iniciado: detenga el servicio.","ok":false})";
        QTest::newRow("users")
            << false << QByteArray(R"({"cmd":"users"})")
            << QByteArray(R"({"ok":true,"users":[{"text":"127.0.0.1  [ana] en [ALMACEN1]",)"
                          R"("user":"ana"},{"text":"127.0.0.2  [luis] en [CAJA]","user":"luis"}]})")
            << QString() << both;
        QTest::newRow("disconnect") << false << QByteArray(R"({"cmd":"disconnect","user":"luis"})")
                                    << QByteArray(R"({"ok":true})") << "[disconnect luis]"
                                    << QStringList{"ana"};
        QTest::newRow("log, lines not a count")
            << false << QByteArray(R"({"cmd":"log","lines":"abc"})")
            << QByteArray("{\"error\":\"El n\xc3\xbamero de l\xc3\xadneas debe ser un entero de 0 en "
                          "adelante.\",\"ok\":false}")
            << QString() << both;
        QTest::newRow("log, lines below 0")
            << false << QByteArray(R"({"cmd":"log","lines":-5})")
            << QByteArray("{\"error\":\"El n\xc3\xbamero de l\xc3\xadneas debe ser un entero de 0 en "
                          "adelante.\",\"ok\":false}")
            << QString() << both;
        // The audit line is one line of the log, whatever the caller sends.
        QTest::newRow("disconnect, control characters")
            << false << QByteArray("{\"cmd\":\"disconnect\",\"user\":\"lu\\u2028is\\u001b[2J\"}")
            << QByteArray("{\"error\":\"El usuario [lu\xe2\x80\xa8is\\u001b[2J] no est\xc3\xa1 "
                          "conectado.\",\"ok\":false}")
            << "[disconnect lu is [2J]" << both;
        QTest::newRow("disconnect, names are exact")
            << false << QByteArray(R"({"cmd":"disconnect","user":"LUIS"})")
            << QByteArray(R"({"error":"El usuario [LUIS] no está conectado.","ok":false})")
            << "[disconnect LUIS]" << both;
        QTest::newRow("port while running") << false << QByteArray(R"({"cmd":"port","port":"9000"})")
                                            << whileRunning << "[port 9000]" << both;
        QTest::newRow("start while running")
            << false << QByteArray(R"({"cmd":"start"})")
            << QByteArray(R"({"error":"El servicio ya está iniciado.","ok":false})") << "[start]" << both;
        QTest::newRow("stop") << false << QByteArray(R"({"cmd":"stop"})") << QByteArray(R"({"ok":true})")
                              << "[stop]" << QStringList();
        QTest::newRow("stop while stopped")
            << true << QByteArray(R"({"cmd":"stop"})")
            << QByteArray(R"({"error":"El servicio no está iniciado.","ok":false})") << "[stop]"
            << QStringList();
        QTest::newRow("port while stopped")
            << true << QByteArray(R"({"cmd":"port","port":"9000"})")
            << QByteArray(
                   R"({"messages":[{"icon":"question","question":true,"text":"Indique nuevo puerto."}],)"
                   R"("ok":true,"port":9000})")
            << "[port 9000]" << QStringList();
        QTest::newRow("empty command")
            << false << QByteArray(R"({"cmd":""})")
            << QByteArray("{\"error\":\"Falta la orden (\\\"cmd\\\").\",\"ok\":false}") << QString() << both;
        QTest::newRow("not JSON") << false << QByteArray("{\"cmd\":\"users\"")
                                  << QByteArray("{\"error\":\"JSON incorrecto a partir del car\xC3\xA1"
                                                "cter 15.\",\"ok\":false}")
                                  << QString() << both;
    }
    void requestsAndReplies() {
        QFETCH(bool, stopFirst);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, reply);
        QFETCH(QString, logged);
        QFETCH(QStringList, stillConnected);
        Fixture f;
        QVERIFY(f.start());
        if (stopFirst)
            f.core->stopService();

        Caller caller(f.socketPath());
        caller.send(request);
        QCOMPARE(QString::fromUtf8(caller.nextLine()), QString::fromUtf8(reply));
        QTRY_COMPARE_WITH_TIMEOUT(f.connected(), stillConnected, kWaitMs);
        const QStringList expected{
            QStringLiteral("Orden de administración %1 de [%2].").arg(logged, callerName())};
        QCOMPARE(f.commandLines(), logged.isEmpty() ? QStringList() : expected);
    }

    // A follower gets the user's activity lines as they come; its going tells the client to stop.
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

        // The tool prints what the client sent with its escapes as blanks, and ends with the session.
        QProcess tool;
        tool.start(QStringLiteral(OSKSERVERCTL_PATH), {"--home", f.folder.path(), "follow", "luis"});
        QVERIFY(receives(*f.luis, "LOG"));
        QVERIFY(f.say(*f.luis, "LOG \x1b[2Jborrado"));
        QTest::qWait(200);
        QVERIFY(f.say(*f.luis, "CLOSE"));
        QTRY_VERIFY_WITH_TIMEOUT(tool.state() == QProcess::NotRunning, kWaitMs);
        QCOMPARE(QString::fromLocal8Bit(tool.readAllStandardOutput()),
                 QStringLiteral("[09:05:17]   [2Jborrado\n"));
        QCOMPARE(tool.exitCode(), 0);
    }

    // The lines of log come before the reply to the request after it on the same connection.
    void logLinesThenTheNextReply() {
        Fixture f;
        QVERIFY(f.start());
        f.core->eventLog().AddLog(QStringLiteral("Primera."), LogKind::Info);
        f.core->eventLog().AddLog(QStringLiteral("Segunda."), LogKind::Info);
        Caller caller(f.socketPath());
        caller.send(R"({"cmd":"log","lines":2})"
                    "\n"
                    R"({"cmd":"users"})");
        QCOMPARE(caller.nextLine(), QByteArray(R"({"count":2,"ok":true})"));
        QCOMPARE(caller.nextLine(), QByteArray(R"({"event":"log","text":"[09:05:17]  Primera."})"));
        QCOMPARE(caller.nextLine(), QByteArray(R"({"event":"log","text":"[09:05:17]  Segunda."})"));
        const QByteArray users(R"({"ok":true,"users":[{"text":"127.0.0.1  [ana] en [ALMACEN1]",)"
                               R"("user":"ana"},{"text":"127.0.0.2  [luis] en [CAJA]","user":"luis"}]})");
        QCOMPARE(caller.nextLine(), users);

        // So too when the lines are more than the server hands the socket at once.
        for (int i = 1; i <= 5000; ++i)
            f.core->eventLog().AddLog(QStringLiteral("Línea %1 ").arg(i) + QString(100, u'x'), LogKind::Info);
        caller.send(R"({"cmd":"log","lines":5000})"
                    "\n"
                    R"({"cmd":"users"})");
        QVERIFY(QTest::qWaitFor([&] { return caller.received.endsWith("}]}\n"); }, kWaitMs));
        const QList<QByteArray> lines = caller.received.split('\n');
        QCOMPARE(lines.size(), 5000 + 3); // the count, the lines, the reply and the last line end
        QCOMPARE(lines.front(), QByteArray(R"({"count":5000,"ok":true})"));
        QCOMPARE(lines.at(5000), QByteArray("{\"event\":\"log\",\"text\":\"[09:05:17]  L\xC3\xADnea 5000 ") +
                                     QByteArray(100, 'x') + "\"}");
        QCOMPARE(lines.at(5001), users);
    }

    // What scripts read: DEL and the C1 controls escaped as JSON escapes them, never raw.
    void jsonOutputEscapesEveryControl() {
        Fixture f;
        QVERIFY(f.start());
        QVERIFY(f.say(*f.luis, "USER=lu\x7f\x81is"));
        const auto [code, output] = runTool(f, {}, {"--json", "users"});
        QCOMPARE(code, 0);
        QVERIFY2(output.contains(QStringLiteral(R"("user":"lu\u007f\u0081is")")), qPrintable(output));
    }

    // A log whose lines stop short of the count it announced is not a success.
    void toolSaysWhenLinesAreMissing() {
        TempProgramFolder folder;
        QLocalServer server;
        QVERIFY(server.listen(folder.file(QStringLiteral("short.sock"))));
        QObject::connect(&server, &QLocalServer::newConnection, [&server] {
            QLocalSocket* peer = server.nextPendingConnection();
            QObject::connect(peer, &QLocalSocket::readyRead, [peer] {
                peer->readAll();
                peer->write("{\"count\":2,\"ok\":true}\n{\"event\":\"log\",\"text\":\"uno\"}\n");
                peer->flush();
                peer->disconnectFromServer();
            });
        });
        QProcess tool;
        tool.start(QStringLiteral(OSKSERVERCTL_PATH), {"--socket", server.fullServerName(), "log"});
        QTRY_VERIFY_WITH_TIMEOUT(tool.state() == QProcess::NotRunning, kWaitMs);
        QCOMPARE(QString::fromLocal8Bit(tool.readAllStandardOutput()), QStringLiteral("uno\n"));
        QCOMPARE(QString::fromLocal8Bit(tool.readAllStandardError()),
                 QStringLiteral("El servidor cerró la conexión antes de enviar todas las líneas.\n"));
        QCOMPARE(tool.exitCode(), 1);
    }

    // A caller that shuts its side down once the request is sent still gets the reply.
    void halfClosedCallersAreAnswered() {
        Fixture f;
        QVERIFY(f.start());
        for (const char* request : {"{\"cmd\":\"status\"}", "{\"cmd\":\"users\"}", "{\"cmd\":\"backups\"}"})
            QVERIFY2(halfClosedRequest(f.socketPath(), QByteArray(request) + '\n').startsWith("{\""),
                     request);
    }

    // A server that takes the request and never answers holds the tool only until it is stopped.
    void aStopEndsTheWaitForAServerThatNeverAnswers() {
        TempProgramFolder folder;
        QLocalServer server;
        QVERIFY(server.listen(folder.file(QStringLiteral("mute.sock"))));
        QProcess tool;
        tool.start(QStringLiteral(OSKSERVERCTL_PATH), {"--socket", server.fullServerName(), "status"});
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), kWaitMs);
        QLocalSocket* peer = server.nextPendingConnection();
        QTRY_VERIFY_WITH_TIMEOUT(peer->bytesAvailable() > 0, kWaitMs);
        QVERIFY(::kill(pid_t(tool.processId()), SIGTERM) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(tool.state() == QProcess::NotRunning, kWaitMs);
        QCOMPARE(QString::fromLocal8Bit(tool.readAllStandardError()),
                 QStringLiteral("Interrumpida la espera de la respuesta del servidor.\n"));
        QCOMPARE(tool.exitCode(), 1);
    }

    // A caller that says nothing, or says it a byte at a time, is let go; the callers that hold
    // every place idle make room for root, never for anyone else.
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
        const QByteArray unfinished = R"({"error":"Petición incompleta.","ok":false})";
        QCOMPARE(silent.nextLine(), unfinished);
        QCOMPARE(trickling.nextLine(), unfinished);

        f.control->setRequestTimeout(std::chrono::seconds(60));
        std::vector<std::unique_ptr<Caller>> idle;
        for (int i = 0; i < 32; ++i)
            idle.push_back(std::make_unique<Caller>(f.socketPath()));
        QTRY_COMPARE(f.control->connectionCount(), 32);
        if (geteuid() == 0) {
            QFile::setPermissions(f.folder.path(), QFile::Permissions(0x7755));
            const auto [code, output] =
                runTool(f, {"setpriv", "--reuid=65534", "--regid=0", "--clear-groups"}, {"status"});
            QCOMPARE(output, QStringLiteral("Demasiadas conexiones de administración.\n"));
            QCOMPARE(code, 1);
        }
        const auto [code, output] = runTool(f, {}, {"status"});
        QVERIFY2(output.contains(QStringLiteral("Usuarios: 2/255")), qPrintable(output));
        QCOMPARE(code, 0);
        QCOMPARE(idle.front()->nextLine(),
                 QByteArray(R"({"error":"Conexión cerrada para dar paso a un administrador.","ok":false})"));
        if (geteuid() != 0)
            return;

        // Followers of another user that fill every place do not keep root out either.
        idle.clear();
        QTRY_COMPARE(f.control->connectionCount(), 0);
        std::vector<std::unique_ptr<QProcess>> followers;
        for (int i = 0; i < 32; ++i) {
            followers.push_back(std::make_unique<QProcess>());
            followers.back()->start(QStringLiteral("setpriv"),
                                    {"--reuid=65534", "--regid=0", "--clear-groups",
                                     QStringLiteral(OSKSERVERCTL_PATH), "--home", f.folder.path(), "log",
                                     "-n", "0", "-f"});
        }
        QTRY_COMPARE_WITH_TIMEOUT(f.control->connectionCount(), 32, kWaitMs);
        const auto [rootCode, rootOutput] = runTool(f, {}, {"status"});
        QVERIFY2(rootOutput.contains(QStringLiteral("Usuarios: 2/255")), qPrintable(rootOutput));
        QCOMPARE(rootCode, 0);
        for (auto& follower : followers)
            follower->kill();
        for (auto& follower : followers)
            follower->waitForFinished(kWaitMs);
    }

    // A caller that asks for the log and reads nothing of it holds what it asked for only for the
    // request time, and at most four such replies are under way at once.
    void callersThatDoNotReadAreLetGo() {
        Fixture f;
        QVERIFY(f.start());
        f.control->setRequestTimeout(std::chrono::milliseconds(600));
        for (int i = 1; i <= 5000; ++i)
            f.core->eventLog().AddLog(QStringLiteral("Línea %1 ").arg(i) + QString(100, u'x'), LogKind::Info);
        std::vector<int> stuck;
        const QByteArray path = QFile::encodeName(f.socketPath());
        for (int i = 0; i < 4; ++i) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
            stuck.push_back(::socket(AF_UNIX, SOCK_STREAM, 0));
            QCOMPARE(::connect(stuck.back(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            const QByteArray request = "{\"cmd\":\"log\"}\n";
            QCOMPARE(::write(stuck.back(), request.constData(), size_t(request.size())), request.size());
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
        QVERIFY(QFileInfo(f.socketPath()).exists());
        QStringList failures;
        for (const LogEntry& entry : f.core->eventLog().entries()) {
            if (entry.text.contains(QStringLiteral("Canal de administración")))
                failures << entry.text.mid(12);
        }
        QCOMPARE(failures,
                 QStringList{QStringLiteral(
                     "Canal de administración: No quedan descriptores de archivo libres; se reintentará")});
        const auto [code, output] = runTool(f, {}, {"status"});
        QVERIFY2(output.contains(QStringLiteral("Servicio: detenido")), qPrintable(output));
    }

    // A day's lines are more than one reply line could carry: they come one at a time as the
    // caller reads, every one of them, and what clients put in them reaches the terminal blank.
    void logGivesAWholeBusyDayAndBlanksWhatClientsSent() {
        Fixture f;
        QVERIFY(f.start());
        QVERIFY(f.say(*f.ana, "USER=ana\x1b[31m"));
        // Held in memory (under 50,000 lines and 4 Mi characters), but more than 4 MiB as one reply.
        const QString filler = QLatin1Char(' ') + QString(40, u'ñ');
        for (int i = 1; i <= 45000; ++i)
            f.core->eventLog().AddLog(QStringLiteral("Línea %1").arg(i) + filler, LogKind::Info);
        const auto held = f.core->eventLog().entries().size();

        const auto [code, output] = runTool(f, {}, {"log"});
        QCOMPARE(code, 0);
        const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), qsizetype(held));
        QVERIFY(lines.contains(QStringLiteral("[09:05:17]  Cambiado usuario a [ana [31m] en [ALMACEN1].")));
        QCOMPARE(lines.last(), QStringLiteral("[09:05:17]  Línea 45000") + filler);

        const auto [usersCode, users] = runTool(f, {}, {"users"});
        QCOMPARE(users, QStringLiteral("127.0.0.1  [ana [31m]en [ALMACEN1]\n127.0.0.2  [luis] en [CAJA]\n"));
        QCOMPARE(usersCode, 0);
    }

    // The settings commands say what they stored: the same port however written is no change, a
    // port below 1 is refused, and a server name is stored where none was remembered.
    void settingsCommandsSayWhatTheyStored() {
        Fixture f;
        QVERIFY(f.start());
        f.core->stopService();
        const auto [same, sameOutput] = runTool(f, {}, {"port", QString::number(f.port) + ".0"});
        QCOMPARE(same, 0);
        const auto [zero, zeroOutput] = runTool(f, {}, {"port", "0"});
        QCOMPARE(zeroOutput, QStringLiteral("Puerto Incorrecto\n"));
        QCOMPARE(zero, 1);
        const auto [named, namedOutput] = runTool(f, {}, {"sql-server", "OTRO"});
        QCOMPARE(namedOutput,
                 QStringLiteral("El servidor SQL Server se usará cuando Osk Server arranque con el "
                                "motor SQL Server (Engine=SQLServer).\n"));
        QCOMPARE(named, 0);
        QCOMPARE(readFileBytes(f.folder.file(kSettingsFileName)),
                 portSettings(f.port) + "SQLServer=OTRO\r\nEngine=Embedded\r\n");
        // Not stored (the disk full), the name remembered before is no success.
        const int notStored = [&] {
            FileSizeLimit full(10);
            return runTool(f, {}, {"sql-server", "NUEVO"}).first;
        }();
        QCOMPARE(notStored, 1);
        QVERIFY(readFileBytes(f.folder.file(kSettingsFileName)).contains("SQLServer=OTRO\r\n"));

        // Nothing to distribute is said, not only logged.
        QCOMPARE(runTool(f, {}, {"update-clients", "OskDB"}),
                 std::pair(0, QStringLiteral("No hay archivos de actualización disponibles.\n")));
        // A command whose work failed exits 1 and says why.
        QVERIFY(QDir().mkpath(f.folder.file(QStringLiteral("ClientUpdate"))));
        QVERIFY(writeFileBytes(f.folder.file(QStringLiteral("ClientUpdate/Osk2.exe")), "MZ"));
        const auto [stored, storedOutput] = runTool(f, {}, {"update-clients", "OskDB"});
        QCOMPARE(storedOutput,
                 QStringLiteral("Los ejecutables no se han distribuido: La base de datos 'OskDB' "
                                "no tiene la tabla oskComponents; no se ha guardado ningún "
                                "archivo.\n"));
        QCOMPARE(stored, 1);
        QVERIFY(writeFileBytes(f.folder.file(QStringLiteral("Data/OskDB.db")), "no es una base de datos"));
        const auto [refreshed, refreshedOutput] = runTool(f, {}, {"databases", "--refresh"});
        QVERIFY(!refreshedOutput.isEmpty()); // the engine's reason, as the console's box shows it
        QCOMPARE(refreshed, 1);
    }

    void backupSetStoresOnlyWhatTheBackupMayReplace_data() {
        QTest::addColumn<QString>("file"); // "%F" stands for the program folder
        QTest::addColumn<bool>("unsaved"); // the settings file cannot be written
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        const QString own = QStringLiteral("El archivo de copia %F/%1 es un archivo del servidor.\n");
        QTest::newRow("the instance lock")
            << "%F/.oskserverd.lock" << false << 1 << own.arg(".oskserverd.lock");
        QTest::newRow("the control socket") << "%F/oskserver.sock" << false << 1 << own.arg("oskserver.sock");
        QTest::newRow("a blank after the settings")
            << "%F/OskServer.INI " << false << 1 << own.arg("OskServer.INI");
        QTest::newRow("a folder") << "%F/Data" << false << 1
                                  << QStringLiteral("El archivo de copia %F/Data es una carpeta.\n");
        QTest::newRow("blanks only") << "   " << false << 0
                                     << QStringLiteral(
                                            "Copia de Seguridad 2: No se ha indicado el archivo de "
                                            "copia.\n");
        QTest::newRow("not saved") << "%F/copia.obk" << true << 1
                                   << QStringLiteral(
                                          "\"error\":\"La copia programada no se ha guardado: No se "
                                          "puede escribir el archivo '%F/OskServer.INI': ");
    }
    // backup-set refuses, exit 1 with the reason, a file the backup must not replace, judged as it
    // would be stored, and a schedule the settings file did not take.
    void backupSetStoresOnlyWhatTheBackupMayReplace() {
        QFETCH(QString, file);
        QFETCH(bool, unsaved);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        Fixture f;
        QVERIFY(f.start());
        f.core->stopService();
        const QString settings = f.folder.file(kSettingsFileName);
        const QByteArray before = readFileBytes(settings);
        // A settings file whose folder went away takes no write, as a full disk takes none.
        if (unsaved)
            QVERIFY(QFile::remove(settings) && QFile::link(f.folder.file("gone/osk.ini"), settings));
        QStringList arguments{"backup-set",  "2",
                              "type=Diaria", "hour=3",
                              "minute=30",   "file=" + QString(file).replace("%F", f.folder.path())};
        if (unsaved)
            arguments.prepend("--json");
        const auto [code, printed] = runTool(f, {}, arguments);
        QVERIFY2(printed.contains(QString(output).replace("%F", f.folder.path())), qPrintable(printed));
        QCOMPARE(code, exitCode);
        QCOMPARE(f.core->schedules()[1].Type, exitCode == 0 ? 1 : 0);
        QCOMPARE(f.core->schedules()[1].OutputFile, QString());
        if (exitCode != 0 && !unsaved)
            QCOMPARE(readFileBytes(settings), before);
    }

    void toolExitStatuses_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("asNobody");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::newRow("status") << QStringList{"status"} << false << 0 << QStringLiteral("Usuarios: 2/255");
        QTest::newRow("refused") << QStringList{"start"} << false << 1
                                 << QStringLiteral("El servicio ya está iniciado.");
        QTest::newRow("missing argument")
            << QStringList{"port"} << false << 2 << QStringLiteral("Uso: oskserverctl port N");
        QTest::newRow("extra argument")
            << QStringList{"stop", "ya"} << false << 2 << QStringLiteral("Uso: oskserverctl stop");
        QTest::newRow("no server") << QStringList{"--socket", "/nonexistent/oskserver.sock", "status"}
                                   << false << 3 << QStringLiteral("No hay ningún servidor en marcha");
        QTest::newRow("no permission")
            << QStringList{"status"} << true << 4 << QStringLiteral("Sin permiso para usar");
    }
    void toolExitStatuses() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, asNobody);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        Fixture f;
        QVERIFY(f.start());
        QStringList command =
            QStringList{QStringLiteral(OSKSERVERCTL_PATH), "--home", f.folder.path()} + arguments;
        if (asNobody) {
            if (geteuid() != 0)
                QSKIP("Needs root to run the tool as another user");
            // The folder must be reachable for the refusal to come from the socket's own permissions.
            QFile::setPermissions(f.folder.path(), QFile::Permissions(0x7755));
            command = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} + command;
        }
        QProcess tool;
        tool.start(command.takeFirst(), command);
        QTRY_VERIFY_WITH_TIMEOUT(tool.state() == QProcess::NotRunning, kWaitMs);
        const QString all =
            QString::fromLocal8Bit(tool.readAllStandardOutput() + tool.readAllStandardError());
        QVERIFY2(all.contains(output), qPrintable(all));
        QCOMPARE(tool.exitCode(), exitCode);
        QCOMPARE(f.core->isStarted(), true);
    }
};

QTEST_GUILESS_MAIN(TestControlSocket)
#include "test_control_socket.moc"
