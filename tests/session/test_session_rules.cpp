// The session rules without sockets: scripts of clients on several computers, their messages,
// vanished peers, sweeps and the operator's commands, with what every party saw as the result.

#include "support/simulated_host.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QTest>

using namespace osk;
using namespace osk::test;

namespace {

// Events, transcript entries, users rows and log lines are written one after another, each ended
// or separated by ';' (a trailing blank is part of its event).
QStringList items(const QString& joined) {
    return joined.split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

// Two computers: ana and luis on one (a terminal server), pedro on another.
const QString kThreeUsers = QStringLiteral(
    "connect ana 10.0.0.1;send ana ALMACEN1;send ana USER=ana;connect luis 10.0.0.1;send luis CAJA;"
    "send luis USER=luis;connect pedro 10.0.0.2;send pedro OFICINA;send pedro USER=pedro;send ana CHECK;--;");
const QString kAna = QStringLiteral("10.0.0.1  [ana] en [ALMACEN1];");
const QString kLuis = QStringLiteral("10.0.0.1  [luis] en [CAJA];");
const QString kPedro = QStringLiteral("10.0.0.2  [pedro] en [OFICINA];");
const QString kThreeRows = kAna + kLuis + kPedro;
const QString kAccepted = QStringLiteral("1 Conexión aceptada. Esperando inicio de sesión...;");
QString started(const char* session) {
    return kAccepted +
           QStringLiteral("1 Inicio de sesión para [%1] completado.;").arg(QLatin1String(session));
}

} // namespace

class TestSessionRules final : public QObject {
    Q_OBJECT

private slots:
    void scripts_data() {
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("transcript");
        QTest::addColumn<QString>("rows");
        QTest::addColumn<QString>("lines");

        QTest::newRow("session start, then validation with an extra field")
            << "connect ana 10.0.0.1;send ana ALMACEN1;send ana USER=ana~Compras~x"
            << "ana@1;ana<-CONNECTED;ana<-USER_OK"
            << "10.0.0.1  [ana] en [ALMACEN1] [Compras]"
            << started("ALMACEN1") + "2 Validado usuario [ana] en [ALMACEN1].";
        QTest::newRow("USER first validates without a session; CLOSE first is a session text")
            << "connect ana 10.0.0.1;send ana USER=ana;connect eva 10.0.0.2;send eva CLOSE"
            << "ana@1;ana<-CONNECTED;ana<-USER_OK;eva@2;eva<-CONNECTED;gauge 1"
            << "10.0.0.1  [ana] en []" << kAccepted + "2 Validado usuario [ana] en [].;" + started("CLOSE");
        // USERX is a USER message and only its first "=" counts; a "|" in a session text makes the
        // Tag's user part start inside it; NOTE without ":" is cut from its first character.
        QTest::newRow("message forms taken as they come")
            << "connect eva 10.0.0.3;send eva user=x;send eva USERX=a=b;connect rosa 10.0.0.4;"
               "send rosa A|B|C;send rosa NOTEx-a=b;send eva NOTE:y-B|C"
            << "eva@1;eva<-CONNECTED;eva<-USER_OK;rosa@2;rosa<-CONNECTED;gauge 1;eva<-NOTE:NOTEx;rosa<-NOTE:y"
            << "10.0.0.3  [a=b] en [user=x]"
            << started("user=x") + "2 Validado usuario [a=b] en [user=x].;" + started("A|B|C");
        QTest::newRow("availability: free to its holder, taken for others, not split at ~")
            << kThreeUsers + "send ana USER_AVAILABLE=ana;send luis USER_AVAILABLE=ana;"
                             "send luis USER_AVAILABLE=ana~Compras;send luis USER_AVAILABLE=ANA"
            << "ana<-USER_OK;luis<-USER_DUPLICATE;luis<-USER_OK;luis<-USER_OK" << kThreeRows << "";
        QTest::newRow("a first question answered USER_DUPLICATE starts no session")
            << kThreeUsers + "connect eva 10.0.0.3;send eva USER_AVAILABLE=ana;send eva USER_AVAILABLE=eva"
            << "eva@4;eva<-CONNECTED;eva<-USER_DUPLICATE;eva<-USER_OK" << kThreeRows
            << started("USER_AVAILABLE=eva");
        QTest::newRow("a user taken on another computer is refused; ANA is another user")
            << kThreeUsers + "connect otra 10.0.0.3;send otra X;send otra USER=ana~Ventas;send otra USER=ANA"
            << "otra@4;otra<-CONNECTED;otra<-USER_DUPLICATE;otra<-USER_OK"
            << kThreeRows + "10.0.0.3  [ANA] en [X]" << started("X") + "2 Validado usuario [ANA] en [X].";
        QTest::newRow("a change of user rewrites its own row in place, without a reply")
            << kThreeUsers + "send luis USER=ana~Caja 2;send ana USER_AVAILABLE=ana"
            << "ana<-USER_DUPLICATE" << kAna + "10.0.0.1  [ana]en [CAJA] [Caja 2];" + kPedro
            << "1 Cambiado usuario a [ana] en [CAJA].";
        QTest::newRow("CLOSE with a blank is no CLOSE; a session without user ends silently")
            << kThreeUsers + "connect eva 10.0.0.3;send eva PUESTO;--;send eva CLOSE ;send eva CLOSE"
            << "eva<-CLOSED" << kThreeRows << "";
        QTest::newRow("notes go to the addressee's session, cut at the first -")
            << kThreeUsers + "connect idle 10.0.0.3;send pedro NOTE:Llámame-luis;send pedro NOTE:a-b-ana;"
                             "send pedro NOTE:ana;send pedro NOTE:hola-"
            << "idle@4;idle<-CONNECTED;luis<-NOTE:Llámame;ana<-NOTE:;idle<-NOTE:hola" << kThreeRows
            << kAccepted;
        QTest::newRow("a dead session takes its own row and tracking; waiting ones are not probed")
            << kThreeUsers + "follow 1;connect eva 10.0.0.3;send eva PUESTO;connect idle 10.0.0.1;--;"
                             "vanish luis;vanish eva;sweep;vanish pedro;follow 1"
            << "ana<-CHECK;luis closed;closed [luis];pedro<-CHECK;eva closed;gauge 2" << kAna + kPedro
            << "3 Usuario no encontrado. Eliminando...";
        QTest::newRow("the stop tells every session and closes every connection")
            << kThreeUsers + "connect idle 10.0.0.3;--;stop"
            << "ana<-CLOSED;ana closed;luis<-CLOSED;luis closed;pedro<-CLOSED;pedro closed;idle closed"
            << ""
            << "";
        QTest::newRow("the operator disconnects the chosen row and leaves its tracking open")
            << kThreeUsers + "follow 1;--;disconnect 1;send ana CHECK"
            << "luis closed;gauge 2" << kAna + kPedro
            << "3 Usuario [luis] en [CAJA] desconectado manualmente.";
        QTest::newRow("the maximum counts started sessions; a CLOSE frees its slot")
            << "max 2;connect a 10.0.0.1;send a A;connect b 10.0.0.2;connect c 10.0.0.3;send c C;"
               "connect d 10.0.0.4;send a CLOSE;connect e 10.0.0.5"
            << "a@1;a<-CONNECTED;b@2;b<-CONNECTED;b closed;c@2;c<-CONNECTED;d refused;a<-CLOSED;a closed;"
               "e@1;e<-CONNECTED"
            << "" << started("A") + kAccepted + started("C") + kAccepted;
        QTest::newRow("a newcomer takes the free slot with the highest index, else a new one")
            << kThreeUsers + "send ana CLOSE;send pedro CLOSE;--;connect eva 10.0.0.3;send eva PUESTO;"
                             "connect rosa 10.0.0.3;connect juan 10.0.0.4;send juan J;connect mar 10.0.0.4"
            << "pedro closed;eva@3;eva<-CONNECTED;ana closed;rosa@1;rosa<-CONNECTED;rosa closed;juan@1;"
               "juan<-CONNECTED;mar@4;mar<-CONNECTED"
            << kLuis << started("PUESTO") + kAccepted + started("J") + kAccepted;
        QTest::newRow("following: LOG, one window for names that differ in case, its lines")
            << kThreeUsers + "connect otra 10.0.0.3;send otra X;send otra USER=LUIS;--;send luis LOG:antes;"
                             "follow 1;follow 1;send luis LOG|Abre pedidos;send otra LOG:Cierra caja;"
                             "send ana LOG:x"
            << "gauge 4;luis<-LOG;window [luis];luis<-LOG;focus [luis];[luis] [09:05:17]  Abre pedidos;"
               "[luis] [09:05:17]  Cierra caja"
            << kThreeRows + "10.0.0.3  [LUIS] en [X]"
            << "";
        QTest::newRow("a followed session that ends closes its window, telling its client once")
            << kThreeUsers + "follow 1;--;send luis CLOSE"
            << "luis<-CLOSED;luis<-NOLOG;closed [luis];gauge 2" << kAna + kPedro
            << "1 Sesion cerrada para [luis].";
    }
    void scripts() {
        QFETCH(QString, events);
        QFETCH(QString, transcript);
        QFETCH(QString, rows);
        QFETCH(QString, lines);
        SessionScript s;
        s.run(items(events));
        QCOMPARE(s.transcript, items(transcript));
        QCOMPARE(s.rows(), items(rows));
        QCOMPARE(s.logLines(), items(lines));
        // Every row still names the slot of the session it shows.
        for (int row = 0; row < s.users.count(); ++row) {
            const QByteArray tag = s.dispatcher().tag(s.users.row(row).slot);
            QVERIFY2(s.users.row(row).text.contains('[' + tag.mid(tag.indexOf('|') + 1) + ']'),
                     tag.constData());
        }
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
        QVERIFY(writeFileBytes(path, QByteArray(200, 'x')));
        QVERIFY(log.saveTo(path).ok());
        QCOMPARE(readFileBytes(path), QByteArray("[04/12/2026]\r\n--------------\r\n\r\n[09:05:17]  a\r\n"
                                                 "[09:06:18]  Facturaci\xf3n\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestSessionRules)
#include "test_session_rules.moc"
