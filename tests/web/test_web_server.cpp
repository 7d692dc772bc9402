// The web administration over real HTTP, HTTPS and WebSocket clients on loopback, from several
// computers, with a started core on the embedded engine.

#include "core/server_core.h"
#include "core/web_users.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/served_client.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"
#include "web/web_server.h"
#include "web/web_sessions.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSslSocket>
#include <QWebSocket>
#include <QtTest>
#include <memory>
#include <sqlite3.h>
#include <sys/stat.h>

using namespace osk;
using namespace osk::test;

namespace {

constexpr int kWaitMs = 10000;

struct HttpReply {
    int status = 0;
    QByteArray head;
    QByteArray body;
    QByteArray header(const QByteArray& name) const {
        for (const QByteArray& line : head.split('\n')) {
            if (line.toLower().startsWith(name.toLower() + ':'))
                return line.mid(name.size() + 1).trimmed();
        }
        return {};
    }
};

// One request from computer `from`, written as a browser would, and its whole answer; status 0
// when the server closed or said nothing in time.
HttpReply exchange(quint16 port, const QString& from, const QByteArray& request, bool tls = false) {
    QSslSocket socket;
    socket.bind(QHostAddress(from));
    if (tls) {
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    } else {
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    QByteArray received;
    HttpReply reply;
    const auto whole = [&] {
        received += socket.readAll();
        const qsizetype end = received.indexOf("\r\n\r\n");
        if (end < 0)
            return socket.state() == QAbstractSocket::UnconnectedState;
        reply.head = received.left(end);
        reply.body = received.mid(end + 4);
        return reply.body.size() >= reply.header("Content-Length").toLongLong();
    };
    // The server runs in this thread: the handshake goes on while the event loop does.
    if (!QTest::qWaitFor(
            [&] { return tls ? socket.isEncrypted() : socket.state() == QAbstractSocket::ConnectedState; },
            kWaitMs))
        return {};
    socket.write(request);
    if (!QTest::qWaitFor(whole, kWaitMs) || reply.head.isEmpty())
        return {};
    reply.status = reply.head.split(' ').value(1).toInt();
    return reply;
}

// The system may hand the same free port out twice in a row.
quint16 otherFreePort(quint16 taken) {
    quint16 port = freePort();
    for (int i = 0; i < 10 && port == taken; ++i)
        port = freePort();
    return port;
}

QByteArray settingsFor(quint16 port, quint16 webPort, const QByteArray& web) {
    return portSettings(port) + "[Web]\r\nEnabled=1\r\nPort=" + QByteArray::number(webPort) + "\r\n" + web;
}

struct Fixture {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    quint16 port = freePort();
    quint16 webPort = otherFreePort(port);
    std::unique_ptr<ServerCore> core;
    std::unique_ptr<WebServer> web;
    std::unique_ptr<Client> luis;
    QByteArray cookie;
    QByteArray token;
    size_t logged = 0;

    bool start(const QByteArray& web = "MetricsToken=s3creto\r\n") {
        if (port == 0 || webPort == 0 ||
            !writeFileBytes(folder.file(kSettingsFileName), settingsFor(port, webPort, web)))
            return false;
        core = std::make_unique<ServerCore>(folder.path(), clock, op);
        if (!core->AbreConexion().ok() || !core->load() || !core->startService())
            return false;
        if (!WebUsers(folder.file(QStringLiteral("OskServer.users")))
                 .store("ana", WebUsers::hashPassword("secreto123")))
            return false;
        if (!startWebAdministration(*core, this->web) || !this->web)
            return false;
        luis = servedClient(core->session(), port, QStringLiteral("127.0.0.2"), "CAJA", "luis");
        logged = core->eventLog().entries().size();
        return bool(luis);
    }
    // "METHOD PATH [from ADDRESS] [cookie] [token|token+] [bearer|bearer+] [form] [elsewhere] [BODY]", the
    // body the rest of the line; a secret with more after it, a form instead of JSON, a page of another site.
    QString run(const QString& step, bool tls = false) {
        QStringList words = step.split(' ');
        const QByteArray method = words.takeFirst().toLatin1();
        const QByteArray path = words.takeFirst().toLatin1();
        QString from = QStringLiteral("127.0.0.1");
        QByteArray headers = "Host: 127.0.0.1:" + QByteArray::number(webPort) + "\r\n";
        QByteArray type = "application/json";
        for (; !words.isEmpty(); words.removeFirst()) {
            if (words.first() == u"from" && words.size() > 1)
                from = words.takeAt(1);
            else if (words.first() == u"cookie")
                headers += "Cookie: theme=dark; osk_session=" + cookie + "\r\n";
            else if (words.first() == u"token")
                headers += "X-Osk-Token: " + token + "\r\n";
            else if (words.first() == u"token+")
                headers += "X-Osk-Token: " + token + "x\r\n";
            else if (words.first() == u"bearer")
                headers += "Authorization: bearer s3creto\r\n";
            else if (words.first() == u"bearer+")
                headers += "Authorization: Bearer s3cretos3creto\r\n";
            else if (words.first() == u"form")
                type = "application/x-www-form-urlencoded";
            else if (words.first() == u"elsewhere")
                headers += "Origin: http://otro.example\r\n";
            else
                break;
        }
        const QByteArray body = words.join(' ').toUtf8();
        const HttpReply reply =
            exchange(webPort, from,
                     method + ' ' + path + " HTTP/1.1\r\n" + headers + "Content-Type: " + type +
                         "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body,
                     tls);
        if (path == "/api/login" && reply.status == 200) {
            cookie = QString::fromLatin1(reply.header("Set-Cookie"))
                         .section(u';', 0, 0)
                         .section(u'=', 1)
                         .toLatin1();
            token = reply.body.mid(reply.body.indexOf("\"token\":\"") + 9, 43);
        }
        QString text = QStringLiteral("< %1 %2\n").arg(reply.status).arg(QString::fromUtf8(reply.body));
        if (path == "/metrics")
            text = QStringLiteral("< %1 %2\n").arg(reply.status).arg(metricsLines(reply.body));
        for (const QByteArray name : {"Set-Cookie", "WWW-Authenticate"}) {
            if (!reply.header(name).isEmpty())
                text += "< " + name + ": " + reply.header(name) + '\n';
        }
        for (const auto& entries = core->eventLog().entries(); logged < entries.size(); ++logged)
            text += QStringLiteral("log %1: %2\n").arg(int(entries[logged].kind)).arg(entries[logged].text);
        if (!cookie.isEmpty())
            text.replace(QString::fromLatin1(cookie), QStringLiteral("<cookie>"));
        if (!token.isEmpty())
            text.replace(QString::fromLatin1(token), QStringLiteral("<token>"));
        // moc reads the transcript: a quote escaped in it would end its reading.
        return text.replace(QString::number(port), QStringLiteral("<port>"))
            .replace(QLatin1String("\\\""), QLatin1String("<q>"));
    }
    // Of the metrics, the commands counted by transport.
    static QString metricsLines(const QByteArray& body) {
        QStringList lines;
        for (const QByteArray& line : body.split('\n')) {
            if (line.startsWith("osk_admin_commands_total"))
                lines << QString::fromUtf8(line);
        }
        return lines.isEmpty() ? QString::fromUtf8(body).trimmed() : lines.join(QStringLiteral(" | "));
    }
    // Each "> " step run, each followed by what it answered and logged; "# clock N" moves the time.
    QString play(const QString& transcript, bool tls = false) {
        QString text;
        for (const QString& line : transcript.split('\n')) {
            if (line.startsWith(QLatin1String("> ")))
                text += line + '\n' + run(line.mid(2), tls);
            else if (line.startsWith(QLatin1String("# clock "))) {
                clock.advanceSeconds(line.mid(8).toInt());
                text += line + '\n';
            }
        }
        return text;
    }
    std::unique_ptr<QWebSocket> webSocket(const QString& origin = {}, bool withCookie = true) {
        auto socket = std::make_unique<QWebSocket>(origin);
        QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/ws").arg(webPort)));
        if (withCookie)
            request.setRawHeader("Cookie", "osk_session=" + cookie);
        socket->open(request);
        return socket;
    }
};

} // namespace

#ifndef Q_MOC_RUN
const char* const kTranscript = R"(
> POST /api/login from 127.0.0.2 {"user":"ana","password":"secreto123"}
< 200 {"ok":true,"token":"<token>"}
< Set-Cookie: osk_session=<cookie>; Path=/; HttpOnly; SameSite=Strict
log 2: [09:05:17]  Sesión web abierta por [ana] desde 127.0.0.2.
> POST /api/users {}
< 401 {"error":"Inicie sesión.","ok":false}
> POST /api/stop cookie {}
< 403 {"error":"Falta el testigo de la sesión (X-Osk-Token) o no es el suyo.","ok":false}
> POST /api/stop cookie token+ {}
< 403 {"error":"Falta el testigo de la sesión (X-Osk-Token) o no es el suyo.","ok":false}
> POST /api/users cookie token
< 200 {"ok":true,"users":[{"text":"127.0.0.2  [luis] en [CAJA]","user":"luis"}]}
> POST /api/port from 127.0.0.3 cookie token {"port":"9000"}
< 200 {"error":"No disponible con el servicio iniciado: detenga el servicio.","ok":false}
log 2: [09:05:17]  Orden de administración [port 9000] de [ana por la web desde 127.0.0.3].
> POST /api/web-user-add cookie token {"name":"luis","password":"secreto456"}
< 200 {"ok":true}
log 2: [09:05:17]  Orden de administración [web-user-add luis] de [ana por la web desde 127.0.0.1].
> POST /api/follow cookie token {"user":"luis"}
< 400 {"error":"La orden [follow] se sigue por el WebSocket /api/ws.","ok":false}
> POST /api/formatear cookie token {}
< 404 {"error":"Orden desconocida: formatear.","ok":false}
> POST /api/users cookie token [1]
< 400 {"error":"La petición debe ser un objeto JSON.","ok":false}
> GET /api/users cookie token
< 405 {"error":"Se esperaba POST.","ok":false}
> POST /api/log cookie token {"lines":1}
< 200 {"count":1,"events":[{"event":"log","kind":2,"text":"[09:05:17]  Orden de administración [web-user-add luis] de [ana por la web desde 127.0.0.1]."}],"ok":true}
> POST /api/stop cookie token
< 200 {"ok":true}
log 2: [09:05:17]  Orden de administración [stop] de [ana por la web desde 127.0.0.1].
log 2: [09:05:17]  Cerrando conexiones...
log 1: [09:05:17]  Conexiones cerradas.
log 1: [09:05:17]  Servidor inactivo.
> POST /api/port cookie token {"port":"9000"}
< 200 {"messages":[{"icon":"question","question":true,"text":"Indique nuevo puerto."}],"ok":true,"port":9000}
log 2: [09:05:17]  Orden de administración [port 9000] de [ana por la web desde 127.0.0.1].
> GET /metrics
< 401 Unauthorized
< WWW-Authenticate: Bearer
> GET /metrics bearer+
< 401 Unauthorized
< WWW-Authenticate: Bearer
> GET /metrics bearer
< 200 osk_admin_commands_total{transport="control"} 0 | osk_admin_commands_total{transport="web"} 6
> POST /api/login from 127.0.0.3 {"user":"ana","password":"secreto124"}
< 401 {"error":"Usuario o contraseña incorrectos.","ok":false}
> POST /api/login from 127.0.0.3 {"user":"nadie","password":"secreto123"}
< 401 {"error":"Usuario o contraseña incorrectos.","ok":false}
> POST /api/login from 127.0.0.3 {"user":"ana","password":""}
< 401 {"error":"Usuario o contraseña incorrectos.","ok":false}
> POST /api/login from 127.0.0.3 {"user":"ana"}
< 400 {"error":"Se esperaba {<q>user<q>: ..., <q>password<q>: ...}.","ok":false}
> POST /api/login from 127.0.0.3 form {"user":"ana","password":"secreto123"}
< 415 {"error":"Se esperaba Content-Type: application/json.","ok":false}
> POST /api/login from 127.0.0.3 elsewhere {"user":"ana","password":"secreto123"}
< 403 {"error":"Origen no permitido.","ok":false}
> POST /api/login from 127.0.0.3 {"user":"ana","password":"Secreto123"}
< 401 {"error":"Usuario o contraseña incorrectos.","ok":false}
# clock 30
> POST /api/login from 127.0.0.3 {"user":"ana","password":"secreto12"}
< 401 {"error":"Usuario o contraseña incorrectos.","ok":false}
log 3: [09:05:47]  Acceso web cerrado durante un minuto a 127.0.0.3: cinco inicios de sesión fallidos.
> POST /api/login from 127.0.0.3 {"user":"ana","password":"secreto123"}
< 429 {"error":"Demasiados intentos fallidos desde esta dirección: espere un minuto.","ok":false}
> POST /api/login from 127.0.0.4 {"user":"ana","password":"secreto123"}
< 200 {"ok":true,"token":"<token>"}
< Set-Cookie: osk_session=<cookie>; Path=/; HttpOnly; SameSite=Strict
log 2: [09:05:47]  Sesión web abierta por [ana] desde 127.0.0.4.
# clock 59
> POST /api/login from 127.0.0.3 {"user":"ana","password":"secreto123"}
< 429 {"error":"Demasiados intentos fallidos desde esta dirección: espere un minuto.","ok":false}
# clock 1
> POST /api/users from 127.0.0.3 cookie token {}
< 200 {"ok":true,"users":[]}
> POST /api/logout cookie
< 403 {"error":"Falta el testigo de la sesión (X-Osk-Token) o no es el suyo.","ok":false}
> POST /api/logout cookie token
< 200 {"ok":true}
< Set-Cookie: osk_session=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict
> POST /api/users cookie token {}
< 401 {"error":"Inicie sesión.","ok":false}
> POST /api/login from 127.0.0.3 {"user":"ana","password":"secreto123"}
< 200 {"ok":true,"token":"<token>"}
< Set-Cookie: osk_session=<cookie>; Path=/; HttpOnly; SameSite=Strict
log 2: [09:06:47]  Sesión web abierta por [ana] desde 127.0.0.3.
# clock 1799
> POST /api/users cookie token {}
< 200 {"ok":true,"users":[]}
# clock 1799
> POST /api/users cookie token {}
< 200 {"ok":true,"users":[]}
# clock 1800
> POST /api/users cookie token {}
< 401 {"error":"Inicie sesión.","ok":false}
)";
#endif

class TestWebServer final : public QObject {
    Q_OBJECT

private slots:
    void transcript();
    void commandsAndHeaders();
    void pageAndLogFile();
    void webSocketsStreamEvents();
    void aCopyOutlivesItsWebSocket();
    void bounds();
    void tlsWithACertificateOfItsOwn();
    void nonLoopbackWithoutCertificateIsRefused();
    void aBanOutlivesAFloodOfAddresses();
};

// moc reads no raw strings: the tests' bodies, which hold some, are kept from it.
#ifndef Q_MOC_RUN
// Login, the session's cookie and token, the commands as on the control socket with their
// audit line, the ban and its end, logout and the idle expiry, metrics behind their token.
void TestWebServer::transcript() {
    Fixture f;
    QVERIFY(f.start());
    OSK_COMPARE_SNAPSHOT(f.play(kTranscript), QString::fromUtf8(kTranscript + 1));
}

// Every command of the control socket is reachable, the ones that stream by WebSocket only; and
// what every answer carries, so that no other site can frame, sniff or keep the API's answers.
void TestWebServer::commandsAndHeaders() {
    Fixture f;
    QVERIFY(f.start());
    QVERIFY(f.run(R"(POST /api/login {"user":"ana","password":"secreto123"})").startsWith("< 200"));
    QStringList answered;
    const QString commands = "status start users disconnect log save-log port sql-server autostart databases "
                             "delete-database update-clients backups backup-set backup-run web-user-add "
                             "web-user-remove web-user-list traffic watch follow stop";
    for (const QString& command : commands.split(' '))
        answered << command + f.run(QStringLiteral("POST /api/%1 cookie token {}").arg(command)).mid(1, 4);
    QCOMPARE(answered.join(' '),
             "status 200 start 200 users 200 disconnect 200 log 200 save-log 200 port 200 "
             "sql-server 200 autostart 200 databases 200 delete-database 200 update-clients 200 "
             "backups 200 backup-set 200 backup-run 200 web-user-add 200 web-user-remove 200 "
             "web-user-list 200 traffic 200 watch 400 follow 400 stop 200");
    const HttpReply reply = exchange(f.webPort, "127.0.0.2", "GET /nada HTTP/1.1\r\nHost: x\r\n\r\n");
    QCOMPARE(reply.status, 404);
    QCOMPARE(reply.header("Content-Security-Policy"), QByteArray("default-src 'self'"));
    QCOMPARE(reply.header("X-Frame-Options"), QByteArray("DENY"));
    QCOMPARE(reply.header("X-Content-Type-Options"), QByteArray("nosniff"));
    QCOMPARE(reply.header("Cache-Control"), QByteArray("no-store"));
    // A request each connection: one sent after another on it is dropped with the connection.
    QTcpSocket pipelining;
    pipelining.connectToHost(QHostAddress::LocalHost, f.webPort);
    QVERIFY(pipelining.waitForConnected(kWaitMs));
    pipelining.write(QByteArray("GET / HTTP/1.1\r\nHost: x\r\n\r\n").repeated(2));
    QByteArray answers;
    QVERIFY(QTest::qWaitFor(
        [&] {
            answers += pipelining.readAll();
            return pipelining.state() == QAbstractSocket::UnconnectedState;
        },
        kWaitMs));
    QCOMPARE(answers.count("HTTP/1.1 200"), 1);
}

// The page and its files are the program's own: nothing else of the folder or the disk is served
// by a crafted path. Today's log file is handed out as saved, to a session only, and never read
// through what is not a file.
void TestWebServer::pageAndLogFile() {
    Fixture f;
    QVERIFY(f.start());
    const auto get = [&f](const QByteArray& path) {
        const HttpReply reply =
            exchange(f.webPort, "127.0.0.3", "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
        return QString::number(reply.status) + ' ' + QString::fromLatin1(reply.header("Content-Type"));
    };
    QCOMPARE(get("/"), "200 text/html; charset=utf-8");
    QCOMPARE(get("/app.js"), "200 text/javascript; charset=utf-8");
    QCOMPARE(get("/app.css"), "200 text/css; charset=utf-8");
    QCOMPARE(get("/icons/log-error.png"), "200 image/png");
    QCOMPARE(get("/OskServer.INI").left(3), "404");
    QCOMPARE(get("/../OskServer.INI").left(3), "404");
    QCOMPARE(get("/icons/../app.js").left(3), "404");
    QCOMPARE(get("/%2e%2e/%2e%2e/etc/passwd").left(3), "404");
    QCOMPARE(get("/app.js?x=1").left(3), "200");
    QVERIFY(f.run(R"(POST /api/login {"user":"ana","password":"secreto123"})").startsWith("< 200"));
    // The address the console's status bar shows.
    QVERIFY(f.run("POST /api/status cookie token {}")
                .contains(QStringLiteral(R"("address":"%1")").arg(f.core->localAddress())));

    const QString day = f.folder.file(QStringLiteral("Log/04122026.log"));
    QCOMPARE(f.run("POST /api/log-file cookie {}"),
             R"(< 403 {"error":"Falta el testigo de la sesión (X-Osk-Token) o no es el suyo.","ok":false})"
             "\n");
    QCOMPARE(
        f.run("POST /api/log-file cookie token {}"),
        R"(< 404 {"error":"Todavía no se ha guardado el registro de hoy (Log/04122026.log).","ok":false})"
        "\n");
    QVERIFY(f.run("POST /api/save-log cookie token {}").startsWith("< 200"));
    const QByteArray saved = readFileBytes(day);
    QVERIFY(saved.contains("[BEGIN 04/12/2026]"));
    const QString downloaded = f.run("POST /api/log-file cookie token {}");
    QCOMPARE(downloaded, "< 200 " + QString::fromUtf8(saved) + '\n');
    // Two downloads at once that their browsers do not read yet: a third waits its turn, and the
    // turns come back as they end.
    QVERIFY(writeFileBytes(day, readFileBytes(day) + QByteArray(24 * 1024 * 1024, 'x')));
    const QByteArray request =
        "POST /api/log-file HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(f.webPort) +
        "\r\nCookie: osk_session=" + f.cookie + "\r\nX-Osk-Token: " + f.token +
        "\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";
    std::vector<std::unique_ptr<QTcpSocket>> unread;
    for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
        unread.push_back(std::make_unique<QTcpSocket>());
        unread.back()->bind(QHostAddress(QString::fromLatin1(from)));
        unread.back()->connectToHost(QHostAddress::LocalHost, f.webPort);
        QVERIFY(unread.back()->waitForConnected(kWaitMs));
        unread.back()->write(request);
        QVERIFY(QTest::qWaitFor([&] { return unread.back()->bytesAvailable() > 0; }, kWaitMs));
    }
    QCOMPARE(f.run("POST /api/log-file cookie token {}"),
             R"(< 429 {"error":"Hay otras descargas del registro en curso; inténtelo más tarde.","ok":false})"
             "\n");
    unread.clear();
    for (int turn = 0; turn < 3; ++turn)
        QVERIFY(QTest::qWaitFor(
            [&] { return f.run("POST /api/log-file cookie token {}").startsWith("< 200"); }, kWaitMs));
    QVERIFY(QFile::remove(day));
    QVERIFY(::mkfifo(QFile::encodeName(day).constData(), 0600) == 0);
    const QString fifo = f.run("POST /api/log-file cookie token {}");
    QVERIFY2(fifo.startsWith("< 500 ") && fifo.contains("Log/04122026.log: no es un archivo normal."),
             qPrintable(fifo));
}

// The client programs' copy lets the event loop run between its pieces: the WebSocket that asked
// for it may go meanwhile, and another administrator may ask for a second copy. The first goes on
// to its end, the second is refused, and the service stays up.
void TestWebServer::aCopyOutlivesItsWebSocket() {
    Fixture f;
    QVERIFY(f.start());
    sqlite3* database = nullptr;
    QVERIFY(sqlite3_open(QFile::encodeName(f.folder.file(QStringLiteral("Data/OskDB.db"))).constData(),
                         &database) == SQLITE_OK);
    const int created = sqlite3_exec(
        database, "CREATE TABLE oskComponents (IdNumero INTEGER, FileName TEXT, FileObject BLOB)", nullptr,
        nullptr, nullptr);
    sqlite3_close(database);
    QCOMPARE(created, SQLITE_OK);
    QVERIFY(QDir().mkpath(f.folder.file(QStringLiteral("ClientUpdate"))));
    QVERIFY(writeFileBytes(f.folder.file(QStringLiteral("ClientUpdate/Osk2.exe")),
                           QByteArray(4 * 1024 * 1024, 'M')));
    QVERIFY(f.run(R"(POST /api/login {"user":"ana","password":"secreto123"})").startsWith("< 200"));
    auto asker = f.webSocket();
    auto other = f.webSocket();
    QStringList answered;
    QObject::connect(other.get(), &QWebSocket::textMessageReceived, [&](const QString& m) { answered << m; });
    bool copying = false;
    QObject::connect(asker.get(), &QWebSocket::textMessageReceived, [&](const QString& m) {
        if (copying || !m.contains(QLatin1String(R"("maximum")")))
            return;
        copying = true;
        other->sendTextMessage(R"({"cmd":"update-clients","name":"OskDB"})");
        QTimer::singleShot(0, asker.get(), [&asker] { asker->abort(); });
    });
    QVERIFY(QTest::qWaitFor([&] { return asker->isValid() && other->isValid(); }, kWaitMs));
    asker->sendTextMessage(R"({"cmd":"update-clients","name":"OskDB"})");
    QVERIFY(QTest::qWaitFor([&] { return copying && !f.core->clientsBeingUpdated(); }, 20000));
    QVERIFY(QTest::qWaitFor([&] { return f.web->webSocketCount() == 1 && !answered.isEmpty(); }, kWaitMs));
    QCOMPARE(answered,
             QStringList{R"({"error":"Ya se están actualizando los ejecutables de OskDB: espere a que )"
                         R"(termine.","ok":false})"});
    QCOMPARE(f.core->eventLog().entries().back().kind, LogKind::Done);
}

// The WebSocket speaks the control protocol: a watch is told of a user who validates, a
// follow gets the user's lines; a second request on a streaming socket is answered, not
// lost. Another site's page, or no session, is refused.
void TestWebServer::webSocketsStreamEvents() {
    Fixture f;
    QVERIFY(f.start());
    QVERIFY(f.run(R"(POST /api/login {"user":"ana","password":"secreto123"})").startsWith("< 200"));
    QStringList watched, followed;
    auto watcher = f.webSocket();
    auto follower = f.webSocket(QStringLiteral("http://127.0.0.1:%1").arg(f.webPort));
    QObject::connect(watcher.get(), &QWebSocket::textMessageReceived,
                     [&](const QString& m) { watched << m; });
    QObject::connect(follower.get(), &QWebSocket::textMessageReceived,
                     [&](const QString& m) { followed << m; });
    QVERIFY(QTest::qWaitFor([&] { return watcher->isValid() && follower->isValid(); }, kWaitMs));
    watcher->sendTextMessage(R"({"cmd":"watch"})");
    follower->sendTextMessage(R"({"cmd":"follow","user":"luis"})");
    QVERIFY(QTest::qWaitFor([&] { return watched.size() == 1 && followed.size() == 1; }, kWaitMs));
    QVERIFY(receives(*f.luis, "LOG"));
    QCOMPARE(followed.takeFirst(), QStringLiteral(R"({"ok":true,"user":"luis"})"));
    auto pedro = servedClient(f.core->session(), f.port, QStringLiteral("127.0.0.3"), "ALMACEN", "pedro");
    QVERIFY(pedro);
    f.luis->send("LOG abri\xF3 la ficha"); // Windows-1252 on the wire
    follower->sendTextMessage(R"({"cmd":"users"})");
    QVERIFY(QTest::qWaitFor([&] { return watched.size() >= 2 && followed.size() == 2; }, kWaitMs));
    QCOMPARE(
        followed.join('\n'),
        QStringLiteral(
            R"({"event":"line","text":"[09:05:17]  abrió la ficha"})"
            "\n"
            R"({"error":"Esta conexión ya sigue una orden: abra otra para una nueva petición.","ok":false})"));
    QVERIFY(watched.last().contains(R"({"text":"127.0.0.3  [pedro] en [ALMACEN]","user":"pedro"})"));
    QVERIFY(watched.last().contains(R"("event":"state",)"));
    // One log at a time on a socket: a second, while the first's lines still go, is refused.
    for (int i = 0; i < 3000; ++i)
        f.core->eventLog().AddLog(QString(100, u'x'), LogKind::Info);
    QStringList logged;
    auto reader = f.webSocket();
    QObject::connect(reader.get(), &QWebSocket::textMessageReceived, [&](const QString& m) { logged << m; });
    QVERIFY(QTest::qWaitFor([&] { return reader->isValid(); }, kWaitMs));
    reader->sendTextMessage(R"({"cmd":"log"})");
    reader->sendTextMessage(R"({"cmd":"log","lines":1})");
    QVERIFY(QTest::qWaitFor([&] { return logged.size() > 1 && !logged.last().startsWith(R"({"event")"); },
                            kWaitMs));
    QCOMPARE(logged.size(), logged.first().section(':', 1, 1).section(',', 0, 0).toInt() + 2);
    QCOMPARE(
        logged.last(),
        R"({"error":"Hay demasiadas peticiones del registro en curso; inténtelo más tarde.","ok":false})");
    QVERIFY(f.run("GET /metrics bearer").contains(R"(osk_admin_commands_total{transport="web"} 4)"));

    for (const auto& [origin, withCookie, status] :
         {std::tuple{QStringLiteral("http://otro.example"), true, "403"},
          std::tuple{QString(), false, "401"}}) {
        auto refused = f.webSocket(origin, withCookie);
        QVERIFY(QTest::qWaitFor([&] { return refused->errorString().contains(status); }, kWaitMs));
        QVERIFY(!refused->isValid());
    }
}

// No body is held past 1 MiB, no more than 64 connections are open, and a WebSocket that
// leaves 4 MiB unread is dropped rather than held.
void TestWebServer::bounds() {
    Fixture f;
    QVERIFY(f.start());
    const QByteArray head =
        "POST /api/login HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: ";
    QCOMPARE(exchange(f.webPort, "127.0.0.2", head + "1048577\r\n\r\n" + QByteArray(1048577, ' ')).status,
             413);
    QCOMPARE(exchange(f.webPort, "127.0.0.2", head + "1048576\r\n\r\n" + QByteArray(1048576, ' ')).status,
             400);
    QCOMPARE(exchange(f.webPort, "127.0.0.2", head + "3000000\r\n\r\n" + QByteArray(3000000, ' ')).status,
             413);

    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (int i = 0; i < 64; ++i) {
        held.push_back(std::make_unique<QTcpSocket>());
        held.back()->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(2 + i % 3)));
        held.back()->connectToHost(QHostAddress::LocalHost, f.webPort);
    }
    QVERIFY(QTest::qWaitFor([&] { return f.web->openConnections() == 64; }, kWaitMs));
    QTcpSocket turnedAway;
    turnedAway.connectToHost(QHostAddress::LocalHost, f.webPort);
    QVERIFY(
        QTest::qWaitFor([&] { return turnedAway.state() == QAbstractSocket::UnconnectedState; }, kWaitMs));
    held.clear();
    QVERIFY(QTest::qWaitFor([&] { return f.web->openConnections() == 0; }, kWaitMs));

    // A raw WebSocket that follows the log and reads nothing of it.
    QVERIFY(f.run(R"(POST /api/login {"user":"ana","password":"secreto123"})").startsWith("< 200"));
    QTcpSocket reader;
    reader.connectToHost(QHostAddress::LocalHost, f.webPort);
    QVERIFY(reader.waitForConnected(kWaitMs));
    reader.write("GET /api/ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                 "Cookie: osk_session=" +
                 f.cookie + "\r\n\r\n");
    QVERIFY(QTest::qWaitFor([&] { return reader.readAll().startsWith("HTTP/1.1 101"); }, kWaitMs));
    reader.setReadBufferSize(1);
    const QByteArray request = R"({"cmd":"log","lines":0,"follow":true})";
    reader.write(QByteArray("\x81") + char(0x80 | request.size()) + QByteArray(4, '\0') + request);
    QVERIFY(QTest::qWaitFor([&] { return f.web->webSocketCount() == 1; }, kWaitMs));
    for (int i = 0; i < 40000 && f.web->openConnections() == 1; ++i) {
        f.core->eventLog().AddLog(QString(300, u'x'), LogKind::Info);
        if (i % 100 == 0)
            QCoreApplication::processEvents();
    }
    QVERIFY(QTest::qWaitFor([&] { return f.web->openConnections() == 0; }, kWaitMs));
}

// With a certificate and its key the port speaks HTTPS only, and the cookie is Secure.
void TestWebServer::tlsWithACertificateOfItsOwn() {
    Fixture f;
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                              "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-keyout",
                              f.folder.file("web.key"), "-out", f.folder.file("web.pem")});
    QVERIFY(openssl.waitForFinished(kWaitMs) && openssl.exitCode() == 0);
    QVERIFY(f.start("Certificate=web.pem\r\nKey=web.key\r\n"));
    // Handshakes that never begin, more than Qt keeps waiting by itself, do not stop the port.
    std::vector<std::unique_ptr<QTcpSocket>> silent(40);
    for (auto& socket : silent) {
        socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, f.webPort);
    }
    QVERIFY(QTest::qWaitFor([&] { return f.web->openConnections() == 40; }, kWaitMs));
    silent.clear();
    QVERIFY(QTest::qWaitFor([&] { return f.web->openConnections() == 0; }, kWaitMs));
    const QString answered = f.run(R"(POST /api/login {"user":"ana","password":"secreto123"})", true);
    QVERIFY2(answered.contains("SameSite=Strict; Secure\n"), qPrintable(answered));
    QCOMPARE(f.run("GET /metrics bearer", true).left(7), "< 404 {");
    QCOMPARE(exchange(f.webPort, "127.0.0.2", "GET / HTTP/1.1\r\nHost: x\r\n\r\n").status, 0);
    // A key of another certificate is named at start, not found out at every handshake.
    openssl.start("openssl", {"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                              "-out", f.folder.file("other.key")});
    QVERIFY(openssl.waitForFinished(kWaitMs) && openssl.exitCode() == 0);
    WebSettings mismatched = readWebSettings(f.core->settingsFile());
    mismatched.key = "other.key";
    QCOMPARE(WebServer(*f.core, mismatched).start().error(),
             "Configuración [Web] Key: other.key no es la clave del certificado web.pem.");
    // A FIFO in the certificate's place is named, never waited on.
    QVERIFY(::mkfifo(QFile::encodeName(f.folder.file("fifo.pem")).constData(), 0600) == 0);
    WebSettings fifo = readWebSettings(f.core->settingsFile());
    fifo.certificate = "fifo.pem";
    QCOMPARE(WebServer(*f.core, fifo).start().error(),
             "Configuración [Web] Certificate: fifo.pem: no es un archivo normal.");
}

// A password sent in clear over the network is refused: the service says which setting and
// exits 78; a certificate that is not one is named too.
void TestWebServer::nonLoopbackWithoutCertificateIsRefused() {
    TempProgramFolder folder;
    const quint16 port = freePort();
    QVERIFY(writeFileBytes(folder.file(kSettingsFileName),
                           settingsFor(port, freePort(), "Address=192.0.2.10\r\n")));
    QProcess service;
    service.start(OSKSERVERD_PATH, {"--home", folder.path()});
    QVERIFY(service.waitForFinished(60000));
    QCOMPARE(service.exitCode(), 78);
    QVERIFY(QString::fromUtf8(service.readAllStandardError())
                .contains("Configuración [Web] Address: [192.0.2.10] no es local: para servir en ella hacen "
                          "falta Certificate y Key (HTTPS), o las contraseñas irían sin cifrar por la red."));

    Fixture f;
    QVERIFY(writeFileBytes(f.folder.file("web.pem"), "no soy un certificado"));
    QVERIFY(!f.start("Certificate=web.pem\r\nKey=web.pem\r\n"));
    WebServer server(*f.core, readWebSettings(f.core->settingsFile()));
    QCOMPARE(server.start().error(), "Configuración [Web] Certificate: web.pem no es un certificado PEM.");
}

// However many addresses fail meanwhile, a ban lasts its minute; the addresses remembered stay
// bounded; the sessions too.
void TestWebServer::aBanOutlivesAFloodOfAddresses() {
    FakeClock clock;
    LoginThrottle throttle(clock);
    const QHostAddress guesser(QStringLiteral("127.0.0.77"));
    for (int i = 0; i < 5; ++i)
        (void)throttle.recordFailure(guesser);
    for (quint32 i = 0; i < 5000; ++i)
        (void)throttle.recordFailure(QHostAddress(0x7f010000 + i));
    clock.advanceSeconds(59);
    QVERIFY(throttle.isBanned(guesser));
    QVERIFY(!throttle.isBanned(QHostAddress(0x7f010000 + 4999)));
    clock.advanceSeconds(1);
    QVERIFY(!throttle.isBanned(guesser));
    // A good login forgets the failures before it.
    for (int i = 0; i < 4; ++i)
        (void)throttle.recordFailure(guesser);
    throttle.recordSuccess(guesser);
    QVERIFY(!throttle.recordFailure(guesser) && !throttle.isBanned(guesser));

    // Past 256 sessions, the one unused longest makes room.
    WebSessions sessions(clock);
    std::vector<QByteArray> ids;
    for (int i = 0; i < 256; ++i, clock.advanceSeconds(1))
        ids.push_back(sessions.open(QStringLiteral("ana")).id);
    QVERIFY(sessions.find(ids[0]));
    (void)sessions.open(QStringLiteral("luis"));
    QVERIFY(sessions.find(ids[0]) && !sessions.find(ids[1]) && sessions.count() == 256);
}
#endif

QTEST_MAIN(TestWebServer)
#include "test_web_server.moc"
