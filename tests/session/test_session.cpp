// The session rules without sockets, as scripts of steps: clients on several computers (two users
// sharing one), their messages, vanished peers, sweeps and the operator's commands, with what every
// party saw compared whole after each step (a message's bytes percent-encoded in its step). Then
// what only real sockets show, with clients from several loopback addresses: the bare texts and
// every byte over TCP, the refusal beyond the maximum, peers that leave, the bytes counter, the
// bounds of what one client can make the server hold, a slot whose text waits unread, accepting
// when descriptors run out, and the sweep's rhythm; and the service's event loop where nothing else
// reaches it: timers re-entered through a nested loop, descriptor numbers reused.

#include "app/epoll_event_dispatcher.h"
#include "session/session_server.h"
#include "support/served_client.h"
#include "support/simulated_host.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"

#include <QLocale>
#include <QtTest>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

using namespace osk;
using namespace osk::test;

namespace {

// A running server and its clients, for playScript: "connect NAME ADDRESS" (waits for the greeting),
// "send NAME TEXT" (%XX a byte; waits until the server has read it), "fin NAME" (the client ends its
// side; waits for the server's close), "sweep", "disconnect ROW". snapshot(): "NAME: open|closed", "row N:
// TEXT", "bytes: N | LABEL | gauge N", and since the last step "> NAME <- REPLIES" and "> log KIND: TEXT".
struct Fixture {
    explicit Fixture(int maxUsers = 255)
        : log(clock, op, folder.path())
        , server(clock, log, maxUsers) {
        for (int attempt = 0; attempt < 5 && !server.isListening(); ++attempt)
            server.listen(freePort());
    }
    Client& connect(const QString& name, const QString& from) {
        auto& client = clients[name] = std::make_unique<Client>(server.listeningPort(), from);
        (void)QTest::qWaitFor([&] { return !client->received.isEmpty(); }, 10000);
        return *client;
    }
    // Sends one message and waits until the server has read it.
    bool say(Client& client, QByteArrayView message) {
        const qint64 expected = server.receivedBytes() + message.size();
        client.send(message);
        return QTest::qWaitFor([&] { return server.receivedBytes() >= expected; }, 5000);
    }
    void run(const QString& step) {
        for (const QString& event : step.split(QStringLiteral("; "))) {
            const QString verb = event.section(' ', 0, 0), name = event.section(' ', 1, 1);
            if (verb == QLatin1String("connect"))
                connect(name, event.section(' ', 2));
            else if (verb == QLatin1String("send"))
                QVERIFY(
                    say(*clients[name], QByteArray::fromPercentEncoding(event.section(' ', 2).toLatin1())));
            else if (verb == QLatin1String("fin")) {
                ::shutdown(int(clients[name]->socket.socketDescriptor()), SHUT_WR);
                QTRY_COMPARE(clients[name]->socket.state(), QAbstractSocket::UnconnectedState);
            } else if (verb == QLatin1String("sweep"))
                server.sweep();
            else if (verb == QLatin1String("disconnect"))
                server.disconnectRow(name.toInt());
            else
                QFAIL(qPrintable("unknown event " + event));
        }
    }
    QStringList snapshot() {
        QStringList states, replies, rows, lines;
        for (const auto& [name, client] : clients) {
            states << name +
                          (client->socket.state() == QAbstractSocket::ConnectedState ? " open" : " closed");
            if (!client->received.isEmpty())
                replies << name + ' ' + AnsiCodec::decode(client->received);
        }
        for (int row = 0; row < server.lstUsers().count(); ++row)
            rows << server.lstUsers().row(row).text;
        for (size_t i = m_linesFrom; i < log.entries().size(); ++i)
            lines << QString::number(int(log.entries()[i].kind)) + ' ' + log.entries()[i].text.mid(12);
        QStringList facts{
            "clients: " + states.join(" | "), "rows: " + rows.join(" | "),
            QStringLiteral("counts: %1 |%2 | gauge %3")
                .arg(server.receivedBytes())
                .arg(QString(server.bytesLabel()).replace(QLocale::system().groupSeparator(), "."))
                .arg(server.gaugeValue())};
        if (!replies.isEmpty())
            facts << "> replies: " + replies.join(" | ");
        if (!lines.isEmpty())
            facts << "> log: " + lines.join(" | ");
        return facts;
    }
    void next() {
        for (auto& [name, client] : clients)
            client->take();
        m_linesFrom = log.entries().size();
    }
    QString logLines() {
        const QStringList lines = snapshot().filter(QStringLiteral("> log"));
        next();
        return lines.join('\n');
    }

    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    EventLog log;
    SessionServer server;
    std::map<QString, std::unique_ptr<Client>> clients;
    size_t m_linesFrom = 0;
};

} // namespace

class TestSession final : public QObject {
    Q_OBJECT

private slots:
    // A client that ends its side is let go at once and its session freed by the next sweep; the
    // refused client is read, so that its end is seen too. Every byte comes back as it was sent.
    void servesClientsOfSeveralComputers() {
        Fixture f(3);
        f.server.tmrMain().setInterval(3600 * 1000); // the script sweeps
        QByteArray bytes;
        for (int byte = 0x80; byte <= 0xFF; ++byte)
            bytes.append(char(byte));
        QStringList script{
            R"(connect ana 127.0.0.1; send ana ALMACEN1; send ana USER=ana; connect luis 127.0.0.1; send luis CAJA; send luis USER=luis; connect pedro 127.0.0.2; send pedro OFICINA; send pedro USER=pedro
> log: 2 Recibiendo petición de conexión... | 1 Conexión aceptada. Esperando inicio de sesión... | 1 Inicio de sesión para [ALMACEN1] completado. | 2 Validado usuario [ana] en [ALMACEN1]. | 2 Recibiendo petición de conexión... | 1 Conexión aceptada. Esperando inicio de sesión... | 1 Inicio de sesión para [CAJA] completado. | 2 Validado usuario [luis] en [CAJA]. | 2 Recibiendo petición de conexión... | 1 Conexión aceptada. Esperando inicio de sesión... | 1 Inicio de sesión para [OFICINA] completado. | 2 Validado usuario [pedro] en [OFICINA].
> replies: ana CONNECTEDUSER_OK | luis CONNECTEDUSER_OK | pedro CONNECTEDUSER_OK
clients: ana open | luis open | pedro open
counts: 46 | 0 bytes recibidos | gauge 2
rows: 127.0.0.1  [ana] en [ALMACEN1] | 127.0.0.1  [luis] en [CAJA] | 127.0.0.2  [pedro] en [OFICINA])",
            R"(send pedro NOTE:<bytes>-ana
> replies: ana NOTE:<characters>
counts: 183 | 0 bytes recibidos | gauge 3)",
            R"(connect eva 127.0.0.3; fin eva
> log: 2 Recibiendo petición de conexión... | 3 No se permiten más conexiones.
> replies: eva MAX_USERS_RAISED
clients: ana open | eva closed | luis open | pedro open)",
            R"(sweep
> replies: ana CHECK | luis CHECK | pedro CHECK
counts: 183 | 183 bytes recibidos | gauge 3)",
            R"(fin luis; sweep
> log: 3 Usuario no encontrado. Eliminando...
> replies: ana CHECK | pedro CHECK
clients: ana open | eva closed | luis closed | pedro open
counts: 183 | 183 bytes recibidos | gauge 2
rows: 127.0.0.1  [ana] en [ALMACEN1] | 127.0.0.2  [pedro] en [OFICINA])",
            R"(disconnect 0; send pedro CHECK
> log: 3 Usuario [ana] en [ALMACEN1] desconectado manualmente.
clients: ana closed | eva closed | luis closed | pedro open
counts: 188 | 183 bytes recibidos | gauge 1
rows: 127.0.0.2  [pedro] en [OFICINA])"};
        script.replaceInStrings(QStringLiteral("<bytes>"), QString::fromLatin1(bytes.toPercentEncoding()))
            .replaceInStrings(QStringLiteral("<characters>"), AnsiCodec::decode(bytes));
        playScript(f, script);
    }

    // What one client can make the server hold is bounded: an arrival is read in pieces of at most
    // 64 KiB, and a client that reads nothing is given up once 1 MiB waits for it.
    void boundsWhatOneClientCanMakeItHold() {
        Fixture f;
        Client& burst = f.connect("burst", "127.0.0.1");
        QVERIFY(f.say(burst, QByteArray(1024 * 1024, 'x')));
        QVERIFY(f.server.tag(1).size() > 0 && f.server.tag(1).size() <= 65536);

        const quint16 port = f.server.listeningPort();
        const auto ana = servedClient(f.server, port, QStringLiteral("127.0.0.2"), "ALMACEN1", "ana");
        const auto luis = servedClient(f.server, port, QStringLiteral("127.0.0.3"), "CAJA", "luis");
        QVERIFY(ana && luis);
        ana->disconnect(&ana->socket, nullptr, nullptr, nullptr);
        ana->socket.setReadBufferSize(16);
        const QByteArray note = "NOTE:" + QByteArray(60000, 'n') + "-ana";
        (void)f.logLines();
        int sent = 0;
        for (; sent < 400 && f.log.entries().back().kind != LogKind::Error; ++sent)
            QVERIFY(f.say(*luis, note));
        QTRY_VERIFY((f.server.sweep(), f.server.lstUsers().count() == 1));
        QVERIFY(f.say(*luis, "USER_AVAILABLE=ana"));
        QTRY_VERIFY(luis->received.endsWith("USER_OK")); // after the sweeps' probes
        OSK_COMPARE_SNAPSHOT(
            f.logLines(), QStringLiteral("> log: 3 WSock_DataArrival: No hay espacio de búfer disponible | "
                                         "3 Usuario no encontrado. Eliminando..."));
    }

    // A connection whose first message has arrived has spoken, whether or not the server has read
    // it yet: the next connection, handled first, neither takes its slot nor escapes the maximum.
    void keepsTheSlotOfAClientWhoseTextWaitsUnread() {
        Fixture f(2);
        f.server.tmrMain().setInterval(3600 * 1000);
        Client& a = f.connect("a", "127.0.0.2");
        // Nothing below lets the server's event loop run: each connection waits in the system's
        // queue with the texts sent before it unread.
        a.send("ALMACEN1");
        Client b(f.server.listeningPort(), QStringLiteral("127.0.0.3"));
        QVERIFY(b.socket.waitForConnected(5000));
        b.send("CAJA");
        Client c(f.server.listeningPort(), QStringLiteral("127.0.0.4"));
        QVERIFY(c.socket.waitForConnected(5000));
        QVERIFY(receives(c, "MAX_USERS_RAISED") && receives(b, "CONNECTED"));
        QVERIFY(f.say(a, "USER=ana") && f.say(b, "USER=luis") && receives(b, "USER_OK"));
        // Which of a slot's text and a request the server sees first is the system's choice.
        QStringList lines = f.snapshot(), logged = lines.takeLast().mid(7).split(QStringLiteral(" | "));
        std::sort(logged.begin(), logged.end());
        OSK_COMPARE_SNAPSHOT((lines << logged.join(QStringLiteral(" | "))).join('\n'),
                             QStringLiteral(R"(clients: a open
rows: 127.0.0.2  [ana] en [ALMACEN1] | 127.0.0.3  [luis] en [CAJA]
counts: 29 | 0 bytes recibidos | gauge 0
> replies: a CONNECTEDUSER_OK
1 Conexión aceptada. Esperando inicio de sesión... | 1 Conexión aceptada. Esperando inicio de sesión... | 1 Inicio de sesión para [ALMACEN1] completado. | 1 Inicio de sesión para [CAJA] completado. | 2 Recibiendo petición de conexión... | 2 Recibiendo petición de conexión... | 2 Recibiendo petición de conexión... | 2 Validado usuario [ana] en [ALMACEN1]. | 2 Validado usuario [luis] en [CAJA]. | 3 No se permiten más conexiones.)"));
    }

    // A client that comes while the server has no descriptor left waits in the system's queue and
    // is served once descriptors are free again: the server does not give up accepting, and says
    // so once.
    void servesAClientThatCameWhileDescriptorsRanOut() {
        Fixture f;
        Client waiting(f.server.listeningPort(), QStringLiteral("127.0.0.2"));
        {
            DescriptorsRunOut none;
            QVERIFY(none.set());
            QTest::qWait(300);
            QCOMPARE(waiting.received, QByteArray());
        }
        QVERIFY(receives(waiting, "CONNECTED"));
        QCOMPARE(f.server.remoteAddress(1), QStringLiteral("127.0.0.2"));
        OSK_COMPARE_SNAPSHOT(
            f.logLines(),
            QStringLiteral("> log: 3 WSock_ConnectionRequest: No quedan descriptores de archivo "
                           "libres; se reintentará | 2 Recibiendo petición de conexión... | "
                           "1 Conexión aceptada. Esperando inicio de sesión..."));
    }

    // A session start enables the sweep without putting its countdown back, or a client that
    // keeps starting sessions would hold off every probe.
    void probesEveryFiveSecondsWhateverTheClientsDo() {
        Fixture f;
        Client& a = f.connect("a", "127.0.0.1");
        QVERIFY(!f.server.tmrMain().isActive());
        QVERIFY(f.say(a, "ALMACEN1"));
        QTRY_VERIFY(f.server.tmrMain().remainingTime() < 4000);
        Client& b = f.connect("b", "127.0.0.2");
        QVERIFY(f.say(b, "CAJA"));
        QVERIFY(f.server.tmrMain().remainingTime() < 4000);
        QVERIFY(receives(a, "CONNECTEDCHECK") && receives(b, "CONNECTEDCHECK"));
    }

    void scripts_data() {
        QTest::addColumn<QStringList>("script");
        // ana and luis share a computer (a terminal server), pedro has his own: availability, notes, a
        // first question answered USER_DUPLICATE, a user taken on another computer, following (one
        // window for names that differ in case), a change of user, a sweep, the operator's disconnection,
        // a followed session's end and the stop.
        QTest::newRow("three users on two computers") << QStringList{
            R"(connect ana 127.0.0.1; send ana ALMACEN1; send ana USER=ana; connect luis 127.0.0.1; send luis CAJA; send luis USER=luis; connect pedro 127.0.0.2; send pedro OFICINA; send pedro USER=pedro
> log: 1 Conexión aceptada. Esperando inicio de sesión... | 1 Inicio de sesión para [ALMACEN1] completado. | 2 Validado usuario [ana] en [ALMACEN1]. | 1 Conexión aceptada. Esperando inicio de sesión... | 1 Inicio de sesión para [CAJA] completado. | 2 Validado usuario [luis] en [CAJA]. | 1 Conexión aceptada. Esperando inicio de sesión... | 1 Inicio de sesión para [OFICINA] completado. | 2 Validado usuario [pedro] en [OFICINA].
> seen: ana <- CONNECTED | ana <- USER_OK | luis <- CONNECTED | luis <- USER_OK | pedro <- CONNECTED | pedro <- USER_OK
clients: ana 1 | luis 2 | pedro 3
gauge: 2
rows: 127.0.0.1  [ana] en [ALMACEN1] | 127.0.0.1  [luis] en [CAJA] | 127.0.0.2  [pedro] en [OFICINA]
windows: )",
            R"(send ana USER_AVAILABLE=ana; send luis USER_AVAILABLE=ana; send luis USER_AVAILABLE=ana~Compras; send luis USER_AVAILABLE=ANA
> seen: ana <- USER_OK | luis <- USER_DUPLICATE | luis <- USER_OK | luis <- USER_OK
gauge: 3)",
            R"(connect idle 127.0.0.3; send pedro NOTE:Llámame-luis; send pedro NOTE:a-b-ana; send pedro NOTE:ana; send pedro NOTE:hola-
> log: 1 Conexión aceptada. Esperando inicio de sesión...
> seen: idle <- CONNECTED | luis <- NOTE:Llámame | ana <- NOTE: | idle <- NOTE:hola
clients: ana 1 | idle 4 | luis 2 | pedro 3)",
            R"(connect eva 127.0.0.3; send eva USER_AVAILABLE=ana; send eva USER_AVAILABLE=eva
> log: 1 Conexión aceptada. Esperando inicio de sesión... | 1 Inicio de sesión para [USER_AVAILABLE=eva] completado.
> seen: idle closed | eva <- CONNECTED | eva <- USER_DUPLICATE | eva <- USER_OK
clients: ana 1 | eva 4 | idle closed | luis 2 | pedro 3)",
            R"(connect otra 127.0.0.3; send otra X; send otra USER=ana~Ventas; send otra USER=PEDRO
> log: 1 Conexión aceptada. Esperando inicio de sesión... | 1 Inicio de sesión para [X] completado. | 2 Validado usuario [PEDRO] en [X].
> seen: otra <- CONNECTED | otra <- USER_DUPLICATE | otra <- USER_OK
clients: ana 1 | eva 4 | idle closed | luis 2 | otra 5 | pedro 3
rows: 127.0.0.1  [ana] en [ALMACEN1] | 127.0.0.1  [luis] en [CAJA] | 127.0.0.2  [pedro] en [OFICINA] | 127.0.0.3  [PEDRO] en [X])",
            R"(send pedro LOG:antes; follow 2; follow 2; send pedro LOG|Abre pedidos; send otra LOG:Cierra caja; send ana LOG:x
> seen: pedro <- LOG | pedro <- LOG | focus [pedro] | [pedro] [09:05:17]  Abre pedidos | [pedro] [09:05:17]  Cierra caja
gauge: 4
windows: [pedro])",
            R"(send luis USER=ana~Caja 2; send ana USER_AVAILABLE=ana
> log: 1 Cambiado usuario a [ana] en [CAJA].
> seen: ana <- USER_DUPLICATE
rows: 127.0.0.1  [ana] en [ALMACEN1] | 127.0.0.1  [ana]en [CAJA] [Caja 2] | 127.0.0.2  [pedro] en [OFICINA] | 127.0.0.3  [PEDRO] en [X])",
            R"(vanish luis; vanish eva; sweep
> log: 3 Usuario no encontrado. Eliminando...
> seen: ana <- CHECK | luis closed | pedro <- CHECK | eva closed | otra <- CHECK
clients: ana 1 | eva closed | idle closed | luis closed | otra 5 | pedro 3
gauge: 3
rows: 127.0.0.1  [ana] en [ALMACEN1] | 127.0.0.2  [pedro] en [OFICINA] | 127.0.0.3  [PEDRO] en [X])",
            R"(disconnect 1
> log: 3 Usuario [pedro] en [OFICINA] desconectado manualmente.
> seen: pedro closed
clients: ana 1 | eva closed | idle closed | luis closed | otra 5 | pedro closed
rows: 127.0.0.1  [ana] en [ALMACEN1] | 127.0.0.3  [PEDRO] en [X])",
            R"(follow 0; send ana CLOSE ; send ana CLOSE
> log: 1 Sesion cerrada para [ana].
> seen: ana <- LOG | ana <- CLOSED | ana <- NOLOG
gauge: 1
rows: 127.0.0.3  [PEDRO] en [X])",
            R"(stop
> seen: ana closed | otra <- CLOSED | otra closed
clients: ana closed | eva closed | idle closed | luis closed | otra closed | pedro closed
rows: )",
        };
        // A '|' in a session text makes it look validated; USER first validates without a session; the
        // maximum counts started sessions, a connection that has not spoken loses its slot to a newcomer.
        QTest::newRow("message forms, the maximum, slots taken") << QStringList{
            R"(max 3; connect a 127.0.0.1; send a A|B|C; connect b 127.0.0.2; connect c 127.0.0.3; send c USER=x~Compras~z
> log: 1 Conexión aceptada. Esperando inicio de sesión... | 1 Inicio de sesión para [A|B|C] completado. | 1 Conexión aceptada. Esperando inicio de sesión... | 1 Conexión aceptada. Esperando inicio de sesión... | 2 Validado usuario [x] en [].
> seen: a <- CONNECTED | b <- CONNECTED | b closed | c <- CONNECTED | c <- USER_OK
clients: a 1 | b closed | c 2
gauge: 0
rows: 127.0.0.3  [x] en [] [Compras]
windows: )",
            R"(send c NOTE:y-B|C; send a NOTEx-a=b; send c NOTE:a=b; send a USERX=q=r
> log: 1 Cambiado usuario a [q=r] en [A]. | 3 WSock_DataArrival: Index out of bounds
> seen: a <- NOTE:y
gauge: 1)",
            R"(connect d 127.0.0.3; send d D; connect e 127.0.0.4
> log: 1 Conexión aceptada. Esperando inicio de sesión... | 1 Inicio de sesión para [D] completado.
> seen: d <- CONNECTED
clients: a 1 | b closed | c 2 | d 3 | e refused)",
            R"(send a CLOSE; send d CLOSE; connect f 127.0.0.4; connect g 127.0.0.5; send g user=x
> log: 1 Conexión aceptada. Esperando inicio de sesión... | 1 Conexión aceptada. Esperando inicio de sesión... | 1 Inicio de sesión para [user=x] completado.
> seen: a <- CLOSED | d <- CLOSED | d closed | f <- CONNECTED | f closed | g <- CONNECTED
clients: a 1 | b closed | c 2 | d closed | e refused | f closed | g 3)",
            R"(sweep
> seen: c <- CHECK | g <- CHECK)",
        };
        // Control characters are blanks in log lines and client text is cut at 1,024 characters with a
        // mark; the rows keep what was sent (shown here as %XX).
        QTest::newRow("client text in log lines") << QStringList{
            R"(connect ana 127.0.0.1; send ana ALMACEN1%0D%0A[END 08/12/2026]%0D%0A%1B[2J%09x%85; send ana USER=lu%0Dis%9D%7F%00
> log: 1 Conexión aceptada. Esperando inicio de sesión... | 1 Inicio de sesión para [ALMACEN1  [END 08/12/2026]   [2J x…] completado. | 2 Validado usuario [lu is   ] en [ALMACEN1  [END 08/12/2026]   [2J x…].
> seen: ana <- CONNECTED | ana <- USER_OK
clients: ana 1
gauge: 0
rows: 127.0.0.1  [lu%0Dis%9D%7F%00] en [ALMACEN1%0D%0A[END 08/12/2026]%0D%0A%1B[2J%09x…]
windows: )",
            R"(connect luis 127.0.0.2; send luis CAJA; send luis USER=<n*1025>; send ana USER=<a*1024>
> log: 1 Conexión aceptada. Esperando inicio de sesión... | 1 Inicio de sesión para [CAJA] completado. | 2 Validado usuario [<n*1024>…(cortado)] en [CAJA]. | 1 Cambiado usuario a [<a*1024>] en [ALMACEN1  [END 08/12/2026]   [2J x…].
> seen: luis <- CONNECTED | luis <- USER_OK
clients: ana 1 | luis 2
gauge: 1
rows: 127.0.0.1  [<a*1024>]en [ALMACEN1%0D%0A[END 08/12/2026]%0D%0A%1B[2J%09x…] | 127.0.0.2  [<n*1025>] en [CAJA])",
            R"(send luis CLOSE; disconnect 0
> log: 1 Sesion cerrada para [<n*1024>…(cortado)]. | 3 Usuario [<a*1024>] en [ALMACEN1  [END 08/12/2026]   [2J x…] desconectado manualmente.
> seen: luis <- CLOSED | ana closed
clients: ana closed | luis 2
rows: )",
        };
    }
    void scripts() {
        QFETCH(QStringList, script);
        SessionScript s;
        script.replaceInStrings(QStringLiteral("<n*1025>"), QString(1025, u'n'))
            .replaceInStrings(QStringLiteral("<n*1024>"), QString(1024, u'n'))
            .replaceInStrings(QStringLiteral("<a*1024>"), QString(1024, u'a'));
        playScript(s, script);
    }

    // What one client sends is held as the event log holds it: its text cut after 1,024
    // characters, and only the last 10,000 lines; the file is what is held.
    void savesTheActivityFile() {
        FakeClock clock;
        UserLog log(clock, QStringLiteral("ana"), 3);
        QVERIFY(!log.canSave());
        for (int i = 0; i <= 10000; ++i)
            log.AddMessage(i == 0 ? QStringLiteral("perdida") : QStringLiteral("a"));
        clock.advanceSeconds(61);
        log.AddMessage(QStringLiteral("Facturación ") + QString(1100, u'x'));
        QVERIFY(log.canSave());
        TempProgramFolder folder;
        const QString path = folder.file(QStringLiteral("actividad.txt"));
        QVERIFY(writeFileBytes(path, QByteArray(200, 'x')) && log.saveTo(path).ok());
        QCOMPARE(readFileBytes(path),
                 "[04/12/2026]\r\n--------------\r\n\r\n" + QByteArray("[09:05:17]  a\r\n").repeated(9999) +
                     "[09:06:18]  Facturaci\xf3n " + QByteArray(1012, 'x') + "\x85(cortado)\r\n");
    }

    // A handler that lets pending events run (the event log's save does) does not see its own
    // timer fire again inside it.
    void aRunningTimerIsNotFiredByANestedLoop() {
        QTimer timer;
        int depth = 0, deepest = 0, ticks = 0;
        connect(&timer, &QTimer::timeout, [&] {
            ++ticks;
            deepest = std::max(deepest, ++depth);
            QElapsedTimer spin;
            spin.start();
            while (spin.elapsed() < 30)
                QCoreApplication::processEvents();
            --depth;
        });
        timer.start(5);
        QTRY_VERIFY_WITH_TIMEOUT(ticks >= 3, 2000);
        QCOMPARE(deepest, 1);
    }

    // A descriptor closed while its notifier is still registered leaves the epoll set; the next
    // socket gets the same number, and its notifier must be watched all the same.
    void aReusedDescriptorIsWatched() {
        int first[2], second[2];
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, first) == 0);
        auto stale = std::make_unique<QSocketNotifier>(first[1], QSocketNotifier::Read);
        ::close(first[0]);
        ::close(first[1]);
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, second) == 0);
        const int reused = second[0] == first[1] ? 0 : 1;
        QCOMPARE(second[reused], first[1]);
        // The new connection's notifier comes first, the old one goes after it (deleted later).
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("a second notifier of the same type"));
        QSocketNotifier fresh(second[reused], QSocketNotifier::Read);
        stale.reset();
        int reads = 0;
        connect(&fresh, &QSocketNotifier::activated, [&] {
            char byte;
            reads += ::read(second[reused], &byte, 1) == 1 ? 1 : 0;
        });
        QCOMPARE(::write(second[1 - reused], "x", 1), ssize_t(1));
        QTRY_COMPARE_WITH_TIMEOUT(reads, 1, 2000);
        ::close(second[0]);
        ::close(second[1]);
    }
};

// On the service's own event loop, which the session server's sockets run on in the service.
int main(int argc, char* argv[]) {
    QCoreApplication::setEventDispatcher(new EpollEventDispatcher);
    QCoreApplication app(argc, argv);
    TestSession test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_session.moc"
