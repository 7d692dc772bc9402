#include "common/vb.h"
#include "session/protocol.h"
#include "session/socket_io.h"
#include "session/user_log.h"
#include "session_fixture.h"

#include <QSignalSpy>
#include <QTest>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using namespace osk;
using namespace osk::test;

namespace {
const QString kAddress = QStringLiteral("127.0.0.1");

// The server handled everything sent so far: its byte count caught up with what was sent.
bool settled(SessionFixture& f, qint64 bytesSent) {
    return QTest::qWaitFor([&] { return f.server.receivedBytes() >= bytesSent; }, 5000);
}

struct Conversation {
    SessionFixture& f;
    qint64 sent = 0;

    void send(Client& client, QByteArrayView message) {
        client.send(message);
        sent += message.size();
        QVERIFY(settled(f, sent));
    }
    // A client with a started session and a validated user.
    Client& validated(const QByteArray& session, const QByteArray& user) {
        Client& client = f.connectClient();
        send(client, session);
        send(client, "USER=" + user);
        [&] {
            QTRY_COMPARE(client.received, QByteArray("USER_OK"));
        }();
        client.take();
        return client;
    }
};
} // namespace

class TestSessionServer final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<osk::UserLog*>(); }

    void acceptsAndGreets() {
        SessionFixture f;
        QVERIFY(f.server.isListening());
        f.connectClient();
        QCOMPARE(f.server.slotCount(), 2);
        QVERIFY(f.logged(QStringLiteral("Recibiendo petición de conexión..."), LogKind::Info));
        QVERIFY(f.logged(QStringLiteral("Conexión aceptada. Esperando inicio de sesión..."), LogKind::Done));
        QCOMPARE(f.server.tag(1), QByteArray());
        QCOMPARE(f.server.remoteAddress(1), kAddress);
    }

    void startsSessionsAndValidatesUsers() {
        SessionFixture f;
        Conversation talk{f};
        Client& a = f.connectClient();
        QVERIFY(!f.server.tmrMain().isActive());
        talk.send(a, "ALMACEN1");
        QCOMPARE(f.server.tag(1), QByteArray("ALMACEN1"));
        QVERIFY(f.logged(QStringLiteral("Inicio de sesión para [ALMACEN1] completado."), LogKind::Done));
        QVERIFY(f.server.tmrMain().isActive());
        QCOMPARE(f.server.tmrMain().interval(), 5000);

        talk.send(a, "USER=ana~Compras~ignorado");
        QTRY_COMPARE(a.received, QByteArray("USER_OK"));
        a.take();
        QCOMPARE(f.server.tag(1), QByteArray("ALMACEN1|ana"));
        QVERIFY(f.logged(QStringLiteral("Validado usuario [ana] en [ALMACEN1]."), LogKind::Info));
        QCOMPARE(f.server.lstUsers().count(), 1);
        QCOMPARE(f.server.lstUsers().row(0).text, QStringLiteral("127.0.0.1  [ana] en [ALMACEN1] [Compras]"));
        QCOMPARE(f.server.lstUsers().row(0).slot, 1);
        // The validation itself leaves the gauge alone; the next message brings it up to date.
        QCOMPARE(f.server.gaugeValue(), 0);
        talk.send(a, "CHECK");
        QCOMPARE(f.server.gaugeValue(), 1);
        QCOMPARE(a.received, QByteArray());
    }

    void firstMessagesThatAreNotPlainSessionTexts() {
        SessionFixture f;
        Conversation talk{f};
        Client& a = f.connectClient();
        talk.send(a, "USER=ana");
        QTRY_COMPARE(a.received, QByteArray("USER_OK"));
        a.take();
        QCOMPARE(f.server.tag(1), QByteArray("|ana"));
        QCOMPARE(f.countLogged(QStringLiteral("Inicio de sesión para [|ana] completado.")), 0);

        Client& b = f.connectClient();
        talk.send(b, "CLOSE");
        QCOMPARE(f.server.tag(2), QByteArray("CLOSE"));

        Client& c = f.connectClient();
        talk.send(c, "USER_AVAILABLE=luis");
        QTRY_COMPARE(c.received, QByteArray("USER_OK"));
        c.take();
        QCOMPARE(f.server.tag(3), QByteArray("USER_AVAILABLE=luis"));
        QCOMPARE(b.received, QByteArray());
    }

    void refusesDuplicateUsersCaseSensitively() {
        SessionFixture f;
        Conversation talk{f};
        Client& a = talk.validated("ALMACEN1", "ana");
        Client& b = f.connectClient();

        talk.send(b, "USER_AVAILABLE=ana");
        QTRY_COMPARE(b.received, QByteArray("USER_DUPLICATE"));
        b.take();
        QCOMPARE(f.server.tag(2), QByteArray()); // a refused question starts no session

        talk.send(b, "USER_AVAILABLE=ana~Compras"); // the question is not split at "~"
        QTRY_COMPARE(b.received, QByteArray("USER_OK"));
        b.take();
        QCOMPARE(f.server.tag(2), QByteArray("USER_AVAILABLE=ana~Compras"));

        talk.send(b, "USER=ana");
        QTRY_COMPARE(b.received, QByteArray("USER_DUPLICATE"));
        b.take();
        QCOMPARE(f.server.tag(2), QByteArray("USER_AVAILABLE=ana~Compras"));
        QCOMPARE(f.server.lstUsers().count(), 1);
        QCOMPARE(f.server.tag(1), QByteArray("ALMACEN1|ana"));

        talk.send(b, "USER=ANA");
        QTRY_COMPARE(b.received, QByteArray("USER_OK"));
        b.take();
        QCOMPARE(f.server.lstUsers().count(), 2);

        talk.send(a, "USER_AVAILABLE=ana"); // asked on its own connection
        QTRY_COMPARE(a.received, QByteArray("USER_OK"));
        a.take();
    }

    void aNameIsTakenExactlyWhileSomeSessionHoldsIt() {
        SessionFixture f;
        Conversation talk{f};
        Client& a = talk.validated("A", "ana");
        Client& b = talk.validated("B", "luis");
        Client& asker = f.connectClient();
        talk.send(asker, "PREGUNTA");
        // The reply, leaving aside the probes of the sweep that may come with it.
        const auto answerTo = [&](const QByteArray& user) {
            asker.take();
            talk.send(asker, "USER_AVAILABLE=" + user);
            [&] {
                QTRY_VERIFY(asker.received.contains("USER_"));
            }();
            return asker.take().replace("CHECK", "");
        };

        talk.send(a, "USER=luis"); // now two sessions hold luis, none holds ana
        QCOMPARE(answerTo("ana"), QByteArray("USER_OK"));
        QCOMPARE(answerTo("luis"), QByteArray("USER_DUPLICATE"));

        talk.send(b, "CLOSE"); // one of the two leaves: luis is still taken
        QCOMPARE(answerTo("luis"), QByteArray("USER_DUPLICATE"));
        talk.send(a, "CLOSE");
        QCOMPARE(answerTo("luis"), QByteArray("USER_OK"));

        talk.validated("C", "pepe"); // takes slot 2, the highest free one
        int row = 0;
        while (f.server.lstUsers().row(row).slot != 2)
            ++row;
        f.server.disconnectRow(row);
        QCOMPARE(answerTo("pepe"), QByteArray("USER_OK"));

        Client& d = talk.validated("D", "rosa");
        d.socket.abort();
        QTRY_VERIFY((f.server.sweep(), f.server.CuentaConexiones() == 1));
        QCOMPARE(answerTo("rosa"), QByteArray("USER_OK"));
    }

    void changesUserWithoutReplyKeepingTheRowInPlace() {
        SessionFixture f;
        Conversation talk{f};
        Client& a = talk.validated("ALMACEN1", "ana");
        Client& b = talk.validated("CAJA", "luis");

        talk.send(a, "USER=luis~Ventas"); // validated elsewhere: no test, no reply
        QCOMPARE(f.server.tag(1), QByteArray("ALMACEN1|luis"));
        QVERIFY(f.logged(QStringLiteral("Cambiado usuario a [luis] en [ALMACEN1]."), LogKind::Done));
        QCOMPARE(f.server.lstUsers().row(0).text, QStringLiteral("127.0.0.1  [luis]en [ALMACEN1] [Ventas]"));
        QCOMPARE(f.server.lstUsers().row(0).slot, 1);
        QCOMPARE(f.server.lstUsers().count(), 2);

        talk.send(a, "USER_AVAILABLE=nadie");
        QTRY_COMPARE(a.received, QByteArray("USER_OK"));
        a.take();
        QCOMPARE(b.received, QByteArray());
    }

    void relaysNotesByteForByte() {
        SessionFixture f;
        Conversation talk{f};
        Client& a = talk.validated("ALMACEN1", "ana");
        Client& b = talk.validated("CAJA", "luis");

        QByteArray note("\0", 1);
        for (int byte = 0x80; byte <= 0xFF; ++byte)
            note.append(char(byte));
        note.replace('-', "");
        talk.send(b, "NOTE:" + note + "-ana");
        QTRY_COMPARE(a.received, "NOTE:" + note);
        a.take();
        QCOMPARE(b.received, QByteArray());

        talk.send(b, "NOTE:hola-nadie");    // nobody by that name: dropped silently
        talk.send(b, "NOTE:Llámame-b-ana"); // the first "-" ends the note
        talk.send(a, "USER_AVAILABLE=x");
        QTRY_COMPARE(a.received, QByteArray("USER_OK"));
        a.take();
        QVERIFY(!f.logged(QStringLiteral("WSock_DataArrival: "), LogKind::Error));
    }

    void noteToAnEmptyAddresseeGoesToTheFirstSlotWithoutUser() {
        SessionFixture f;
        Conversation talk{f};
        Client& a = talk.validated("ALMACEN1", "ana");
        talk.validated("CAJA", "luis");
        Client& idle = f.connectClient(); // slot 3: no session, so its user part is empty
        talk.send(a, "NOTE:hola-");
        QTRY_COMPARE(idle.received, QByteArray("NOTE:hola"));
        idle.take();

        // Slot 2 freed by hand has no connection left: the relay now picks it and fails. The failure
        // is logged, never put in front of the operator.
        f.server.disconnectRow(1);
        talk.send(a, "NOTE:hola-");
        QCOMPARE(
            f.countLogged(QStringLiteral("WSock_DataArrival: Protocolo o estado de conexión incorrecto para "
                                         "la transacción o solicitud pedida")),
            1);
        QVERIFY(f.op.messages.empty());
        QCOMPARE(idle.received, QByteArray());
    }

    void closeEndsTheSessionButKeepsTheConnection() {
        SessionFixture f;
        Conversation talk{f};
        Client& a = talk.validated("ALMACEN1", "ana");
        QVERIFY(f.server.openTracking(0).ok());
        QTRY_COMPARE(a.received, QByteArray("LOG"));
        a.take();
        QCOMPARE(f.server.tracking().count(), 1);

        talk.send(a, "CLOSE");
        QTRY_COMPARE(a.received, QByteArray("CLOSEDNOLOG"));
        a.take();
        QVERIFY(f.logged(QStringLiteral("Sesion cerrada para [ana]."), LogKind::Done));
        QCOMPARE(f.server.lstUsers().count(), 0);
        QCOMPARE(f.server.tag(1), QByteArray());
        QCOMPARE(f.server.tracking().count(), 0);
        QCOMPARE(f.server.gaugeValue(), 0);
        QCOMPARE(a.socket.state(), QAbstractSocket::ConnectedState);

        // A session without a user: nothing to remove, nothing logged about it.
        talk.send(a, "ALMACEN2");
        talk.send(a, "CLOSE ");
        QCOMPARE(f.server.tag(1), QByteArray("ALMACEN2"));
        talk.send(a, "CLOSE");
        QTRY_COMPARE(a.received, QByteArray("CLOSED"));
        a.take();
        QCOMPARE(f.countLogged(QStringLiteral("Sesion cerrada para [ALMACEN2].")), 0);
        QCOMPARE(f.server.tag(1), QByteArray());
    }

    void tracksActivityPerUserIgnoringCase() {
        SessionFixture f;
        Conversation talk{f};
        Client& a = talk.validated("ALMACEN1", "Ana");
        Client& b = talk.validated("CAJA", "ANA");
        QSignalSpy focused(&f.server.tracking(), &ActivityTracking::focusRequested);

        talk.send(a, "LOG:antes"); // nobody follows yet: dropped
        QVERIFY(f.server.openTracking(0).ok());
        QVERIFY(f.server.openTracking(0).ok());
        QTRY_COMPARE(a.received, QByteArray("LOGLOG"));
        a.take();
        QCOMPARE(f.server.tracking().count(), 1);
        QCOMPARE(focused.count(), 1);
        UserLog* log = f.server.tracking().find(QStringLiteral("ana"));
        QVERIFY(log);
        QCOMPARE(log->slot(), 1);
        QVERIFY(!log->canSave());

        talk.send(a, "LOG:Abre pedidos");
        f.clock.advanceSeconds(1);
        talk.send(b, "LOG|Cierra caja");
        QCOMPARE(log->lines(), QStringList({QStringLiteral("[09:05:17]  Abre pedidos"),
                                            QStringLiteral("[09:05:18]  Cierra caja")}));
        QVERIFY(log->canSave());

        f.server.tracking().closeLog(log);
        QTRY_COMPARE(a.received, QByteArray("NOLOG"));
        a.take();
        QCOMPARE(f.server.tracking().count(), 0);
        talk.send(b, "USER_AVAILABLE=x");
        QTRY_COMPARE(b.received, QByteArray("USER_OK"));
        b.take();
    }

    void sweepProbesAndDropsDeadConnections() {
        SessionFixture f;
        Conversation talk{f};
        Client& a = talk.validated("ALMACEN1", "ana");
        Client& b = talk.validated("CAJA", "luis");
        Client& c = f.connectClient();
        talk.send(c, "SIN_USUARIO");
        Client& idle = f.connectClient(); // no session: never probed
        QVERIFY(f.server.openTracking(1).ok());
        QTRY_COMPARE(b.received, QByteArray("LOG"));
        b.take();

        b.socket.disconnectFromHost(); // a FIN
        // A write made before the event loop saw the close still succeeds; a later sweep catches it.
        QTRY_VERIFY((f.server.sweep(), f.server.tag(2).isEmpty()));
        // Only the dead session's row goes; the other user of that computer stays listed.
        QCOMPARE(f.server.lstUsers().count(), 1);
        QCOMPARE(f.server.lstUsers().row(0).slot, 1);
        QCOMPARE(f.countLogged(QStringLiteral("Usuario no encontrado. Eliminando...")), 1);
        QVERIFY(f.logged(QStringLiteral("Usuario no encontrado. Eliminando..."), LogKind::Error));
        QCOMPARE(f.server.tag(1), QByteArray("ALMACEN1|ana"));
        QCOMPARE(f.server.tracking().count(), 0);
        QTRY_VERIFY(a.received.startsWith("CHECK"));
        QTRY_VERIFY(c.received.startsWith("CHECK"));

        c.reset(); // an RST; no row, so nothing is logged
        QTRY_VERIFY((f.server.sweep(), f.server.tag(3).isEmpty()));
        QCOMPARE(f.countLogged(QStringLiteral("Usuario no encontrado. Eliminando...")), 1);
        QCOMPARE(f.server.tag(1), QByteArray("ALMACEN1|ana"));
        QCOMPARE(idle.received, QByteArray());
        QCOMPARE(f.server.CuentaConexiones(), 1);
    }

    // A session start enables the sweep but never puts its countdown back: a client that keeps
    // starting sessions must not hold off the probes of everyone else.
    void timerProbesEveryFiveSecondsWhateverTheClientsDo() {
        SessionFixture f;
        Conversation talk{f};
        f.server.tmrMain().start();
        QTest::qWait(50);
        const int before = f.server.tmrMain().remainingTime();
        Client& a = f.connectClient();
        talk.send(a, "ALMACEN1");
        QVERIFY(f.server.tmrMain().remainingTime() <= before);
        QTRY_COMPARE_WITH_TIMEOUT(a.received, QByteArray("CHECK"), 8000);
    }

    void sweepShowsTheBytesReceivedSinceTheProgramStarted() {
        SessionFixture f;
        Conversation talk{f};
        QCOMPARE(f.server.bytesLabel(), QStringLiteral(" 0 bytes recibidos"));
        Client& a = f.connectClient();
        talk.send(a, "ALMACEN1");
        talk.send(a, QByteArray(3000, 'x'));
        f.server.sweep();
        QCOMPARE(f.server.bytesLabel(),
                 QLatin1Char(' ') + vb::formatThousands(3008) + QStringLiteral(" bytes recibidos"));
        f.server.resetBytesLabel();
        QCOMPARE(f.server.bytesLabel(), QStringLiteral(" 0 bytes recibidos"));
        f.server.sweep(); // the counter itself was never reset
        QCOMPARE(f.server.receivedBytes(), 3008);
    }

    void readsABurstInPiecesOfAtMost64KiB() {
        SessionFixture f;
        Client& a = f.connectClient();
        const QByteArray burst(1024 * 1024, 'x');
        a.send(burst);
        QVERIFY(settled(f, burst.size()));
        QCOMPARE(f.server.receivedBytes(), burst.size());
        QVERIFY(!f.server.tag(1).isEmpty());
        QVERIFY(f.server.tag(1).size() <= SessionServer::kMaxArrivalBytes);
    }

    void refusesBeyondTheMaximum() {
        SessionFixture f(2);
        Conversation talk{f};
        Client& a = f.connectClient();
        talk.send(a, "A");
        Client& b = f.connectClient();
        talk.send(b, "B");

        f.clients.push_back(std::make_unique<Client>(f.server.listeningPort()));
        Client& refused = *f.clients.back();
        QTRY_COMPARE(refused.received, QByteArray("MAX_USERS_RAISED"));
        QVERIFY(f.logged(QStringLiteral("No se permiten más conexiones."), LogKind::Error));
        QCOMPARE(f.server.slotCount(), 3);

        // The next refusal takes the spare socket and drops the client it held.
        f.clients.push_back(std::make_unique<Client>(f.server.listeningPort()));
        Client& refusedAgain = *f.clients.back();
        QTRY_COMPARE(refusedAgain.received, QByteArray("MAX_USERS_RAISED"));
        QTRY_COMPARE(refused.socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(refusedAgain.socket.state(), QAbstractSocket::ConnectedState);

        // A session that ends frees its slot; the new client takes it and the old connection goes.
        talk.send(a, "CLOSE");
        QTRY_COMPARE(a.received, QByteArray("CLOSED"));
        a.take();
        f.connectClient();
        QCOMPARE(f.server.slotCount(), 3);
        QTRY_COMPARE(a.socket.state(), QAbstractSocket::UnconnectedState);
    }

    void refusesEveryoneWithAMaximumOfZero() {
        SessionFixture f(0);
        f.clients.push_back(std::make_unique<Client>(f.server.listeningPort()));
        QTRY_COMPARE(f.clients.back()->received, QByteArray("MAX_USERS_RAISED"));
        QCOMPARE(f.server.slotCount(), 1);
    }

    void reusesTheFreeSlotWithTheHighestIndex() {
        SessionFixture f;
        Conversation talk{f};
        std::vector<Client*> first;
        for (const char* session : {"A", "B", "C"}) {
            first.push_back(&f.connectClient());
            talk.send(*first.back(), session);
        }
        QCOMPARE(f.server.slotCount(), 4);
        for (Client* client : first) {
            talk.send(*client, "CLOSE");
            QTRY_COMPARE(client->received, QByteArray("CLOSED"));
        }

        // With slots 1 to 3 free the newcomer takes slot 3, dropping the connection still there.
        Client& d = f.connectClient();
        QTRY_COMPARE(first[2]->socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(first[1]->socket.state(), QAbstractSocket::ConnectedState);
        talk.send(d, "D");
        QCOMPARE(f.server.tag(3), QByteArray("D"));

        // An accepted client that has not started its session does not hold its slot either.
        Client& e = f.connectClient();
        Client& g = f.connectClient();
        QTRY_COMPARE(e.socket.state(), QAbstractSocket::UnconnectedState);
        talk.send(g, "G");
        QCOMPARE(f.server.tag(2), QByteArray("G"));
        talk.send(f.connectClient(), "H");
        QCOMPARE(f.server.tag(1), QByteArray("H"));

        f.connectClient(); // no free slot left: a new one after the last
        QCOMPARE(f.server.slotCount(), 5);
        QCOMPARE(f.server.CuentaConexiones(), 3);
    }

    void closeAllTellsSessionsAndClosesEverything() {
        SessionFixture f;
        Conversation talk{f};
        Client& a = talk.validated("A", "ana");
        Client& b = talk.validated("B", "luis");
        Client& c = talk.validated("C", "pepe");
        Client& waiting = f.connectClient();

        f.server.closeAll();
        for (Client* client : {&a, &b, &c}) {
            QTRY_COMPARE(client->received, QByteArray("CLOSED"));
            QTRY_COMPARE(client->socket.state(), QAbstractSocket::UnconnectedState);
        }
        QTRY_COMPARE(waiting.socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(waiting.received, QByteArray());
        QCOMPARE(f.server.lstUsers().count(), 0);
        QCOMPARE(f.server.CuentaConexiones(), 0);
        QVERIFY(!f.server.isListening());
        QCOMPARE(f.server.slotCount(), 5); // slots are kept for the next start
    }

    void disconnectsAUserByHand() {
        SessionFixture f;
        Conversation talk{f};
        Client& a = talk.validated("ALMACEN1", "ana");
        f.server.disconnectRow(0);
        QVERIFY(f.logged(QStringLiteral("Usuario [ana] en [ALMACEN1] desconectado manualmente."),
                         LogKind::Error));
        QCOMPARE(f.server.lstUsers().count(), 0);
        QCOMPARE(f.server.tag(1), QByteArray());
        QTRY_COMPARE(a.socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(a.received, QByteArray());
        f.server.disconnectRow(0); // no row: nothing
        QCOMPARE(f.countLogged(QStringLiteral("Usuario [ana] en [ALMACEN1] desconectado manualmente.")), 1);
    }

    // Set on the listening socket, the options reach every accepted one.
    void acceptedSocketsGiveUpOnVanishedPeers() {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        tuneListeningSocket(listener.socketDescriptor(), 10000);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, listener.serverPort());
        QVERIFY(listener.waitForNewConnection(5000));
        std::unique_ptr<QTcpSocket> accepted(listener.nextPendingConnection());

        const int fd = int(accepted->socketDescriptor());
        unsigned int userTimeout = 0;
        int noDelay = 0, keepAlive = 0;
        socklen_t size = sizeof userTimeout;
        QCOMPARE(getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, &size), 0);
        size = sizeof noDelay;
        QCOMPARE(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
        size = sizeof keepAlive;
        QCOMPARE(getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &size), 0);
        QCOMPARE(userTimeout, 10000u);
        QVERIFY(noDelay != 0);
        QVERIFY(keepAlive != 0);
    }
};

QTEST_GUILESS_MAIN(TestSessionServer)
#include "test_session_server.moc"
