// What only real sockets show: the bare texts over TCP from two computers, the refusal beyond the
// maximum, peers that leave, accepting when descriptors run out, and the sweep's rhythm. The rules
// themselves are tested on the dispatcher (test_session_rules).

#include "eventlog/event_log.h"
#include "session/session_server.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/served_client.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QLocale>
#include <QTest>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace osk;
using namespace osk::test;

namespace {

const QString kNoRoom = QStringLiteral("WSock_DataArrival: No hay espacio de búfer disponible");

struct Fixture {
    explicit Fixture(int maxUsers = 255)
        : log(clock, op, folder.path())
        , server(clock, log, maxUsers) {
        for (int attempt = 0; attempt < 5 && !server.isListening(); ++attempt)
            server.listen(freePort());
    }
    Client& connect(const char* from) {
        clients.push_back(std::make_unique<Client>(server.listeningPort(), QString::fromLatin1(from)));
        return *clients.back();
    }
    // Sends one message and waits until the server has read it.
    bool say(Client& client, QByteArrayView message) {
        const qint64 expected = server.receivedBytes() + message.size();
        client.send(message);
        return QTest::qWaitFor([&] { return server.receivedBytes() >= expected; }, 5000);
    }
    int logged(const QString& text, LogKind kind) const {
        int count = 0;
        for (const LogEntry& entry : log.entries())
            count += entry.kind == kind && entry.text.endsWith(QStringLiteral("]  ") + text) ? 1 : 0;
        return count;
    }

    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    EventLog log;
    SessionServer server;
    std::vector<std::unique_ptr<Client>> clients;
};

} // namespace

class TestSessionServer final : public QObject {
    Q_OBJECT

private slots:
    void servesClientsOfTwoComputersWithBareTexts() {
        Fixture f;
        QVERIFY(f.server.isListening());
        // A connection holds its slot from its session's start: each starts one before the next comes.
        const auto a =
            servedClient(f.server, f.server.listeningPort(), QStringLiteral("127.0.0.1"), "ALMACEN1", "ana");
        const auto b =
            servedClient(f.server, f.server.listeningPort(), QStringLiteral("127.0.0.2"), "CAJA", "luis");
        QVERIFY(a && b);
        QCOMPARE(f.logged(QStringLiteral("Recibiendo petición de conexión..."), LogKind::Info), 2);
        QCOMPARE(f.server.lstUsers().count(), 2);
        QCOMPARE(f.server.lstUsers().row(0).text, QStringLiteral("127.0.0.1  [ana] en [ALMACEN1]"));
        QCOMPARE(f.server.lstUsers().row(1).text, QStringLiteral("127.0.0.2  [luis] en [CAJA]"));

        // Every byte comes back as it was sent, with nothing added.
        QByteArray note;
        for (int byte = 0x80; byte <= 0xFF; ++byte)
            note.append(char(byte));
        QVERIFY(f.say(*b, "NOTE:" + note + "-ana") && receives(*a, "NOTE:" + note));
        QVERIFY(f.say(*b, "LOG:" + QByteArray(996, 'x')));
        f.server.sweep(); // 8 + 8 + 4 + 9 + 137 + 1000 bytes so far
        QCOMPARE(f.server.bytesLabel(), " 1" + QLocale::system().groupSeparator() + "166 bytes recibidos");
        QVERIFY(receives(*a, "CHECK") && receives(*b, "CHECK"));
    }

    // A client that ends its side is let go at once (it sees the server's close) and its session
    // is freed by the next sweep; a refused client is read, so that its end is seen too.
    void refusesBeyondTheMaximumAndLetsGoOfClientsThatLeave() {
        Fixture f(1);
        Client& a = f.connect("127.0.0.1");
        QVERIFY(receives(a, "CONNECTED") && f.say(a, "ALMACEN1"));
        Client& refused = f.connect("127.0.0.2");
        QVERIFY(receives(refused, "MAX_USERS_RAISED"));
        QCOMPARE(f.logged(QStringLiteral("No se permiten más conexiones."), LogKind::Error), 1);
        QCOMPARE(f.server.slotCount(), 2);

        ::shutdown(int(refused.socket.socketDescriptor()), SHUT_WR);
        QTRY_COMPARE(refused.socket.state(), QAbstractSocket::UnconnectedState);
        ::shutdown(int(a.socket.socketDescriptor()), SHUT_WR);
        QTRY_COMPARE(a.socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(f.server.CuentaConexiones(), 1);
        f.server.sweep();
        QCOMPARE(f.server.CuentaConexiones(), 0);

        Client& c = f.connect("127.0.0.3");
        QVERIFY(receives(c, "CONNECTED") && f.say(c, "PUESTO"));
        c.reset();
        QTRY_VERIFY((f.server.sweep(), f.server.CuentaConexiones() == 0));
        QCOMPARE(f.server.slotCount(), 2);
    }

    // What one client can make the server hold is bounded: an arrival is read in pieces of at most
    // 64 KiB, and a client that reads nothing is given up once 1 MiB waits for it.
    void boundsWhatOneClientCanMakeItHold() {
        Fixture f;
        Client& burst = f.connect("127.0.0.1");
        QVERIFY(receives(burst, "CONNECTED") && f.say(burst, QByteArray(1024 * 1024, 'x')));
        QVERIFY(f.server.tag(1).size() > 0 && f.server.tag(1).size() <= 65536);

        const quint16 port = f.server.listeningPort();
        const auto ana = servedClient(f.server, port, QStringLiteral("127.0.0.2"), "ALMACEN1", "ana");
        const auto luis = servedClient(f.server, port, QStringLiteral("127.0.0.3"), "CAJA", "luis");
        QVERIFY(ana && luis);
        ana->disconnect(&ana->socket, nullptr, nullptr, nullptr);
        ana->socket.setReadBufferSize(16);
        const QByteArray note = "NOTE:" + QByteArray(60000, 'n') + "-ana";
        int sent = 0;
        for (; sent < 400 && f.logged(kNoRoom, LogKind::Error) == 0; ++sent)
            QVERIFY(f.say(*luis, note));
        qInfo("ana given up after %d notes", sent);
        QCOMPARE(f.logged(kNoRoom, LogKind::Error), 1);
        QTRY_VERIFY((f.server.sweep(), f.server.lstUsers().count() == 1));
        QVERIFY(f.say(*luis, "USER_AVAILABLE=ana"));
        QTRY_VERIFY(luis->received.endsWith("USER_OK")); // after the sweeps' probes
    }

    // A connection whose first message has arrived has spoken, whether or not the server has read
    // it yet: the next connection, handled first, neither takes its slot nor escapes the maximum.
    void keepsTheSlotOfAClientWhoseTextWaitsUnread() {
        Fixture f(2);
        Client& a = f.connect("127.0.0.2");
        QVERIFY(receives(a, "CONNECTED"));
        // Nothing below lets the server's event loop run: each connection waits in the system's
        // queue with the texts sent before it unread.
        a.send("ALMACEN1");
        Client& b = f.connect("127.0.0.3");
        QVERIFY(b.socket.waitForConnected(5000));
        b.send("CAJA");
        Client& c = f.connect("127.0.0.4");
        QVERIFY(c.socket.waitForConnected(5000));

        QVERIFY(receives(b, "CONNECTED"));
        QVERIFY(receives(c, "MAX_USERS_RAISED"));
        QCOMPARE(f.server.tag(1), QByteArray("ALMACEN1"));
        QCOMPARE(f.server.tag(2), QByteArray("CAJA"));
        QVERIFY(f.say(a, "USER=ana") && receives(a, "USER_OK"));
        QVERIFY(f.say(b, "USER=luis") && receives(b, "USER_OK"));
        QCOMPARE(f.server.lstUsers().row(0).text, QStringLiteral("127.0.0.2  [ana] en [ALMACEN1]"));
        QCOMPARE(f.server.lstUsers().row(1).text, QStringLiteral("127.0.0.3  [luis] en [CAJA]"));
    }

    // What a client writes into the log is a bounded part of one line: line breaks and escapes in
    // its names are blanks and a long name is cut with a mark, while the wire keeps every byte.
    void logsWhatClientsSendAsBoundedSingleLines() {
        Fixture f;
        const quint16 port = f.server.listeningPort();
        const auto ana = servedClient(f.server, port, QStringLiteral("127.0.0.2"),
                                      "ALMACEN1\r\n[END 08/12/2026]\r\n\x1b[2J", "ana");
        const auto luis = servedClient(f.server, port, QStringLiteral("127.0.0.3"), "CAJA", "lu\ris\x9d");
        QVERIFY(ana && luis);
        QVERIFY(f.say(*luis, "USER=" + QByteArray(1030, 'n')));
        QVERIFY(f.say(*ana, "USER=" + QByteArray(1024, 'a')));
        QVERIFY(f.say(*luis, "NOTE:\x1b]0;x\a-" + QByteArray(1024, 'a')) &&
                receives(*ana, "NOTE:\x1b]0;x\a"));
        QVERIFY(f.say(*luis, "CLOSE") && receives(*luis, "CLOSED"));
        f.server.disconnectRow(0);

        const QString session = QStringLiteral("ALMACEN1  [END 08/12/2026]   [2J");
        const QString cut = QString(1024, u'n') + QStringLiteral("…(cortado)");
        const QStringList expected{
            QStringLiteral("Inicio de sesión para [%1] completado.").arg(session),
            QStringLiteral("Validado usuario [ana] en [%1].").arg(session),
            QStringLiteral("Inicio de sesión para [CAJA] completado."),
            QStringLiteral("Validado usuario [lu is ] en [CAJA]."),
            QStringLiteral("Cambiado usuario a [%1] en [CAJA].").arg(cut),
            QStringLiteral("Cambiado usuario a [%1] en [%2].").arg(QString(1024, u'a'), session),
            QStringLiteral("Sesion cerrada para [%1].").arg(cut),
            QStringLiteral("Usuario [%1] en [%2] desconectado manualmente.")
                .arg(QString(1024, u'a'), session),
        };
        QStringList sessionLines;
        for (const LogEntry& entry : f.log.entries()) {
            const QString text = entry.text.mid(12);
            if (!text.startsWith(QStringLiteral("Recibiendo")) &&
                !text.startsWith(QStringLiteral("Conexión")))
                sessionLines << text;
        }
        QCOMPARE(sessionLines, expected);
        QCOMPARE(f.server.tag(1), QByteArray());
        QCOMPARE(f.server.lstUsers().count(), 0);
    }

    // A client that comes while the server has no descriptor left waits in the system's queue and
    // is served once descriptors are free again: the server does not give up accepting.
    void servesAClientThatCameWhileDescriptorsRanOut() {
        Fixture f;
        Client& waiting = f.connect("127.0.0.2");
        QByteArray early;
        {
            DescriptorsRunOut none;
            QVERIFY(none.lowered());
            QTest::qWait(300);
            early = waiting.received;
        }
        QCOMPARE(early, QByteArray());
        QVERIFY(receives(waiting, "CONNECTED"));
        QCOMPARE(f.server.remoteAddress(1), QStringLiteral("127.0.0.2"));
    }

    // A session start enables the sweep without putting its countdown back, or a client that
    // keeps starting sessions would hold off every probe.
    void probesEveryFiveSecondsWhateverTheClientsDo() {
        Fixture f;
        QCOMPARE(f.server.tmrMain().interval(), 5000);
        Client& a = f.connect("127.0.0.1");
        QVERIFY(receives(a, "CONNECTED"));
        QVERIFY(!f.server.tmrMain().isActive());
        QVERIFY(f.say(a, "ALMACEN1"));
        QTRY_VERIFY(f.server.tmrMain().remainingTime() < 4000);
        Client& b = f.connect("127.0.0.2");
        QVERIFY(receives(b, "CONNECTED") && f.say(b, "CAJA"));
        QVERIFY(f.server.tmrMain().remainingTime() < 4000);
        QVERIFY(receives(a, "CHECK") && receives(b, "CHECK"));
    }
};

QTEST_GUILESS_MAIN(TestSessionServer)
#include "test_session_server.moc"
