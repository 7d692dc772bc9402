// The session rules without sockets, as scripts of steps: clients on several computers (two users
// sharing one), their messages, vanished peers, sweeps and the operator's commands, with what every
// party saw compared whole after each step. A message's bytes are percent-encoded in its step.

#include "support/simulated_host.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QTest>

using namespace osk;
using namespace osk::test;

class TestSessionRules final : public QObject {
    Q_OBJECT

private slots:
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

    void savesTheActivityFile() {
        FakeClock clock;
        UserLog log(clock, QStringLiteral("ana"), 3);
        QVERIFY(!log.canSave());
        log.AddMessage(QStringLiteral("a"));
        clock.advanceSeconds(61);
        log.AddMessage(QStringLiteral("Facturación"));
        QVERIFY(log.canSave());
        TempProgramFolder folder;
        const QString path = folder.file(QStringLiteral("actividad.txt"));
        QVERIFY(writeFileBytes(path, QByteArray(200, 'x')) && log.saveTo(path).ok());
        QCOMPARE(readFileBytes(path), QByteArray("[04/12/2026]\r\n--------------\r\n\r\n[09:05:17]  a\r\n"
                                                 "[09:06:18]  Facturaci\xf3n\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestSessionRules)
#include "test_session_rules.moc"
