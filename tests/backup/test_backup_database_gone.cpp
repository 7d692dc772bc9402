#include "app/server_core.h"
#include "database/embedded_engine.h"
#include "session/session_server.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <memory>
#include <sqlite3.h>

using namespace osk;
using namespace osk::test;

namespace {

constexpr int kWaitMs = 10000;

// The service of a program folder whose embedded engine holds the product database osk1, with a
// daily backup of it at FakeClock's 09:05 into the folder.
struct RunningService {
    RunningService() {
        EmbeddedEngine setup(folder.file(QStringLiteral("Data")));
        created = setup.openPrincipal().ok() && setup.createProductDatabase(QStringLiteral("osk1")).ok();
        port = freePort();
        const QByteArray backup =
            "[Backup1]\r\nType=1\r\nDataBase=osk1\r\nOutPutFile=" + backupFile().toUtf8() +
            "\r\nDay=0\r\nHour=09:05\r\n";
        written = writeFileBytes(folder.file(QStringLiteral("OskServer.INI")), portSettings(port) + backup);
        core = std::make_unique<ServerCore>(
            folder.path(), std::make_unique<EmbeddedEngine>(folder.file(QStringLiteral("Data"))), clock, op);
    }

    QString databaseFile() const { return folder.file(QStringLiteral("Data/osk1.db")); }
    QString backupFile() const { return folder.file(QStringLiteral("osk1.bak")); }

    // A client with a validated user.
    std::unique_ptr<Client> validatedClient(const QByteArray& user) {
        auto client = std::make_unique<Client>(port);
        const int sessions = core->session().CuentaConexiones();
        if (!QTest::qWaitFor([&] { return client->received == "CONNECTED"; }, kWaitMs))
            return nullptr;
        client->take();
        client->send("PC-" + user);
        if (!QTest::qWaitFor([&] { return core->session().CuentaConexiones() == sessions + 1; }, kWaitMs))
            return nullptr;
        client->send("USER=" + user);
        if (!QTest::qWaitFor([&] { return client->received == "USER_OK"; }, kWaitMs))
            return nullptr;
        client->take();
        return client;
    }

    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    quint16 port = 0;
    bool created = false;
    bool written = false;
    std::unique_ptr<ServerCore> core;
};

} // namespace

// The embedded database going away under a running service, at the scheduled backup: the backup
// fails or waits, and the sessions are served all the while.
class TestBackupDatabaseGone final : public QObject {
    Q_OBJECT

private slots:
    void aRemovedDatabaseFailsTheBackupAndSessionsGoOn();
    void aLockedDatabaseIsWaitedForWhileSessionsGoOn();
};

void TestBackupDatabaseGone::aRemovedDatabaseFailsTheBackupAndSessionsGoOn() {
    RunningService s;
    QVERIFY(s.created && s.written && s.port != 0);
    QVERIFY(s.core->AbreConexion().ok());
    s.core->load();
    if (s.core->localAddress().isEmpty())
        QSKIP("This computer has no IPv4 address at all");
    QVERIFY(s.core->startService());
    std::unique_ptr<Client> ana = s.validatedClient("ana");
    QVERIFY(ana);

    QVERIFY(QFile::remove(s.databaseFile()));
    QSignalSpy finished(&s.core->backups(), &BackupScheduler::backupFinished);
    QVERIFY(QMetaObject::invokeMethod(&s.core->tmrBackup(), "timeout"));
    QVERIFY(finished.wait(kWaitMs) || finished.count() == 1);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    bool logged = false;
    for (const LogEntry& entry : s.core->eventLog().entries())
        logged =
            logged || (entry.kind == LogKind::Error &&
                       entry.text.endsWith(QStringLiteral(
                           "Imposible realizar copia de seguridad programada. No se puede hacer la copia "
                           "de seguridad de la base de datos 'osk1' porque no existe.")));
    QVERIFY(logged);
    QVERIFY(!QFile::exists(s.backupFile()));
    QVERIFY(s.op.messages.empty());

    // The service goes on: ana is still probed, and a new user validates.
    QTRY_VERIFY_WITH_TIMEOUT(ana->received.contains("CHECK"), SessionServer::kSweepIntervalMs + kWaitMs);
    QVERIFY(s.validatedClient("eva"));
    QCOMPARE(s.core->session().lstUsers().count(), 2);
}

void TestBackupDatabaseGone::aLockedDatabaseIsWaitedForWhileSessionsGoOn() {
    RunningService s;
    QVERIFY(s.created && s.written && s.port != 0);
    QVERIFY(s.core->AbreConexion().ok());
    s.core->load();
    if (s.core->localAddress().isEmpty())
        QSKIP("This computer has no IPv4 address at all");
    QVERIFY(s.core->startService());

    // Another program holds the database with an exclusive lock: nobody may read it.
    sqlite3* holder = nullptr;
    QCOMPARE(sqlite3_open(s.databaseFile().toUtf8().constData(), &holder), SQLITE_OK);
    auto closeHolder = qScopeGuard([&] { sqlite3_close(holder); });
    QCOMPARE(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    QSignalSpy finished(&s.core->backups(), &BackupScheduler::backupFinished);
    QVERIFY(QMetaObject::invokeMethod(&s.core->tmrBackup(), "timeout"));
    QVERIFY(s.core->backups().isRunning());
    QVERIFY(s.validatedClient("ana"));
    QVERIFY2(s.core->backups().isRunning(), "the backup did not wait for the lock");
    QCOMPARE(finished.count(), 0);

    QCOMPARE(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    QVERIFY(finished.wait(kWaitMs) || finished.count() == 1);
    QCOMPARE(finished.at(0).at(0).toBool(), true);
    QVERIFY(QFile::exists(s.backupFile()));
}

QTEST_GUILESS_MAIN(TestBackupDatabaseGone)
#include "test_backup_database_gone.moc"
