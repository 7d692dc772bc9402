#include "session_fixture.h"

#include <QElapsedTimer>
#include <QTest>

using namespace osk;
using namespace osk::test;

namespace {

constexpr int kWaitMs = 10000;
// The system gives up on a peer that keeps its window shut past the server's user time-out; the
// sweep acts on it at its next tick. Beyond that, room for a busy machine.
constexpr int kRemovalBoundMs =
    SessionServer::kVanishedPeerTimeoutMs + 3 * SessionServer::kSweepIntervalMs + 30000;
const QByteArray kNote = "NOTE:" + QByteArray(60000, 'x') + "-ana";

} // namespace

// A client that stops reading while the server keeps writing to it (here, notes relayed from
// another user): once its buffers and the server's are full, its window stays shut.
class TestUnreadClient final : public QObject {
    Q_OBJECT

private slots:
    void aClientThatNeverReadsIsDroppedAndOthersAreServed();
};

void TestUnreadClient::aClientThatNeverReadsIsDroppedAndOthersAreServed() {
    SessionFixture f;
    QVERIFY(f.server.isListening());

    // The reader validates "ana", then reads nothing more: Qt's own buffer takes a few bytes and
    // leaves the rest to the system.
    QTcpSocket reader;
    reader.setReadBufferSize(16);
    reader.connectToHost(QHostAddress::LocalHost, f.server.listeningPort());
    QByteArray greeting;
    QTRY_VERIFY_WITH_TIMEOUT((greeting += reader.readAll()) == "CONNECTED", kWaitMs);
    reader.write("PC1");
    QTRY_COMPARE_WITH_TIMEOUT(f.server.CuentaConexiones(), 1, kWaitMs);
    reader.write("USER=ana");
    QByteArray answer;
    QTRY_VERIFY_WITH_TIMEOUT((answer += reader.readAll()) == "USER_OK", kWaitMs);

    Client& writer = f.connectClient();
    writer.send("PC2");
    QTRY_COMPARE_WITH_TIMEOUT(f.server.CuentaConexiones(), 2, kWaitMs);

    // Notes to ana, each read by the server before the next is sent, until the server gives ana up.
    QElapsedTimer elapsed;
    elapsed.start();
    int notes = 0;
    while (f.countLogged(QStringLiteral("Usuario no encontrado. Eliminando...")) == 0 &&
           elapsed.elapsed() < kRemovalBoundMs) {
        const qint64 before = f.server.receivedBytes();
        writer.send(kNote);
        QTRY_VERIFY_WITH_TIMEOUT(f.server.receivedBytes() >= before + kNote.size(), kWaitMs);
        ++notes;
    }
    QVERIFY2(f.countLogged(QStringLiteral("Usuario no encontrado. Eliminando...")) == 1,
             qPrintable(QStringLiteral("ana still has a session after %1 notes").arg(notes)));
    qInfo("ana given up %lld ms after the first note, after %d notes of %lld bytes", elapsed.elapsed(), notes,
          qint64(kNote.size()));
    // Given up for what waited in the server, not for the system's time-out on the shut window.
    QVERIFY(
        f.logged(QStringLiteral("WSock_DataArrival: No hay espacio de búfer disponible"), LogKind::Error));
    QCOMPARE(f.server.lstUsers().count(), 0);
    QCOMPARE(f.server.CuentaConexiones(), 1);

    // The writer was served all along and still is: the name is free again.
    writer.take();
    writer.send("USER_AVAILABLE=ana");
    QTRY_VERIFY_WITH_TIMEOUT(writer.received.contains("USER_OK"), kWaitMs);
}

QTEST_GUILESS_MAIN(TestUnreadClient)
#include "test_unread_client.moc"
