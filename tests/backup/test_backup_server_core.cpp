#include "app/server_core.h"
#include "backup_fakes.h"
#include "session/session_server.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QTest>
#include <memory>

using namespace osk;
using namespace osk::test;

namespace {

constexpr int kWaitMs = 10000;

// FakeClock's time, 09:05, on a Friday.
const QByteArray kDailyAt0905 = "[Backup1]\r\nType=1\r\nDataBase=osk1\r\nOutPutFile=C:\\Copias\\osk1.bak\r\n"
                                "Day=0\r\nHour=09:05\r\n";

} // namespace

class TestBackupServerCore final : public QObject {
    Q_OBJECT

private slots:
    void exitDuringABackupCancelsItAndSavesItsOutcome();
};

// The backup runs beside the session service, and the program's end does not wait it out.
void TestBackupServerCore::exitDuringABackupCancelsItAndSavesItsOutcome() {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    const quint16 port = freePort();
    QVERIFY(port != 0);
    QVERIFY(writeFileBytes(folder.file(QStringLiteral("OskServer.INI")), portSettings(port) + kDailyAt0905));
    auto fake = std::make_unique<FakeEngine>();
    FakeEngine& engine = *fake;
    engine.hold = true;
    // Whatever fails, the core's end stops the engine's backup, which lets the held one go.
    ServerCore core(folder.path(), std::move(fake), clock, op);
    QVERIFY(core.AbreConexion().ok());
    core.load();
    if (core.localAddress().isEmpty())
        QSKIP("This computer has no IPv4 address at all");
    engine.host = core.localAddress();
    QVERIFY(core.startService());
    QCOMPARE(core.tmrBackup().interval(), 59999);

    QVERIFY(QMetaObject::invokeMethod(&core.tmrBackup(), "timeout"));
    QVERIFY(engine.waitUntilEntered(kWaitMs));
    QCOMPARE(engine.backupCalls(), QStringList{"osk1>C:\\Copias\\osk1.bak"});
    Client client(port, QStringLiteral("127.0.0.2"));
    QTRY_COMPARE_WITH_TIMEOUT(client.received, QByteArray("CONNECTED"), kWaitMs);
    client.take();
    client.send("PC2");
    QTRY_COMPARE_WITH_TIMEOUT(core.session().CuentaConexiones(), 1, kWaitMs);
    QVERIFY(core.backups().isRunning());

    core.stopService();
    QVERIFY(core.saveLogAtExit().ok());

    QVERIFY(!core.backups().isRunning());
    QVERIFY(
        readFileBytes(folder.file(QStringLiteral("Log/04122026.log")))
            .contains("  Copia de seguridad programada cancelada al cerrar Osk Server; no se ha generado el "
                      "archivo.\r\n"));
}

QTEST_GUILESS_MAIN(TestBackupServerCore)
#include "test_backup_server_core.moc"
