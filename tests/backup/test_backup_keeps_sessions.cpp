#include "app/server_core.h"
#include "backup_fakes.h"
#include "database/embedded_engine.h"
#include "session/session_server.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <memory>

using namespace osk;
using namespace osk::test;

namespace {

// Bounds, not expectations: every wait ends as soon as its condition holds.
constexpr int kWaitMs = 10000;
// A probe is due one sweep interval after the session started; the rest is room for a busy machine.
constexpr int kProbeWaitMs = SessionServer::kSweepIntervalMs + 10000;

// FakeClock's time, 09:05, on a Friday.
const QByteArray kDailyAt0905 = "[Backup1]\r\nType=1\r\nDataBase=osk1\r\nOutPutFile=C:\\Copias\\osk1.bak\r\n"
                                "Day=0\r\nHour=09:05\r\n";

} // namespace

// A backup that takes as long as the engine wants must not stop the session service: clients are
// still greeted, validated and probed while the engine is inside its backup.
class TestBackupKeepsSessions final : public QObject {
    Q_OBJECT

private slots:
    void clientsAreServedAndProbedWhileABackupRuns();
};

void TestBackupKeepsSessions::clientsAreServedAndProbedWhileABackupRuns() {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    const quint16 port = freePort();
    QVERIFY(port != 0);
    QVERIFY(writeFileBytes(folder.file(QStringLiteral("OskServer.INI")), portSettings(port) + kDailyAt0905));
    auto fake =
        std::make_unique<FakeEngine>(std::make_unique<EmbeddedEngine>(folder.file(QStringLiteral("Data"))));
    FakeEngine& engine = *fake;
    engine.holdBackups();
    ServerCore core(folder.path(), std::move(fake), clock, op);
    QVERIFY(core.AbreConexion().ok());
    core.load();
    if (core.localAddress().isEmpty())
        QSKIP("This computer has no IPv4 address at all");
    QVERIFY(core.startService());

    QSignalSpy finished(&core.backups(), &BackupScheduler::backupFinished);
    QVERIFY(QMetaObject::invokeMethod(&core.tmrBackup(), "timeout"));
    QVERIFY(engine.entered().tryAcquire(1, kWaitMs));
    // Whatever fails below, the engine's worker must be let go before the core is destroyed.
    auto releaseBackup = qScopeGuard([&] { engine.release(); });
    QVERIFY(core.backups().isRunning());

    Client client(port);
    QTRY_COMPARE_WITH_TIMEOUT(client.received, QByteArray("CONNECTED"), kWaitMs);
    client.take();
    client.send("PC1");
    QTRY_COMPARE_WITH_TIMEOUT(core.session().CuentaConexiones(), 1, kWaitMs);
    client.send("USER=ana");
    QTRY_COMPARE_WITH_TIMEOUT(client.received, QByteArray("USER_OK"), kWaitMs);
    client.take();

    // Two probes in a row: the sweep goes on, not just one tick that was already due.
    for (int probe = 0; probe < 2; ++probe) {
        QTRY_VERIFY_WITH_TIMEOUT(client.received.contains("CHECK"), kProbeWaitMs);
        client.take();
        QVERIFY2(core.backups().isRunning(), "the backup ended before the probe came");
    }
    QCOMPARE(finished.count(), 0);

    releaseBackup.dismiss();
    engine.release();
    QVERIFY(finished.wait(kWaitMs) || finished.count() == 1);
    QCOMPARE(finished.at(0).at(0).toBool(), true);
    core.stopService();
    QTRY_VERIFY_WITH_TIMEOUT(client.received.contains("CLOSED"), kWaitMs);
}

QTEST_GUILESS_MAIN(TestBackupKeepsSessions)
#include "test_backup_keeps_sessions.moc"
