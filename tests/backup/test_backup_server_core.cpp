#include "app/server_core.h"
#include "backup_fakes.h"
#include "database/embedded_engine.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QSignalSpy>
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
    void tickWhileServiceRunsBacksUp();
    void scheduleLoadsWhereTheServerIs_data();
    void scheduleLoadsWhereTheServerIs();
};

void TestBackupServerCore::tickWhileServiceRunsBacksUp() {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    const quint16 port = freePort();
    QVERIFY(port != 0);
    QVERIFY(writeFileBytes(folder.file(QStringLiteral("OskServer.INI")), portSettings(port) + kDailyAt0905));
    auto fake =
        std::make_unique<FakeEngine>(std::make_unique<EmbeddedEngine>(folder.file(QStringLiteral("Data"))));
    FakeEngine& engine = *fake;
    ServerCore core(folder.path(), std::move(fake), clock, op);
    QVERIFY(core.AbreConexion().ok());
    core.load();
    QVERIFY2(op.messages.empty(), op.messages.empty() ? "" : qPrintable(op.messages[0].text));
    QCOMPARE(core.schedules()[0].DataBase, QStringLiteral("osk1"));
    if (core.localAddress().isEmpty())
        QSKIP("This computer has no IPv4 address at all");

    QVERIFY(core.startService());
    QVERIFY(core.tmrBackup().isActive());
    QCOMPARE(core.tmrBackup().interval(), 59999);

    // tmrBackup's tick, without waiting a minute for it.
    QSignalSpy finished(&core.backups(), &BackupScheduler::backupFinished);
    QVERIFY(QMetaObject::invokeMethod(&core.tmrBackup(), "timeout"));
    QVERIFY(finished.wait(kWaitMs));
    QCOMPARE(engine.backupCalls(),
             (std::vector<BackupCall>{{QStringLiteral("osk1"), QStringLiteral("C:\\Copias\\osk1.bak")}}));

    core.stopService();
    QVERIFY(!core.tmrBackup().isActive());

    // The editor's reload reads the file as it is now.
    QVERIFY(writeFileBytes(folder.file(QStringLiteral("OskServer.INI")), portSettings(port)));
    core.reloadSchedules();
    QCOMPARE(core.schedules()[0].Type, 0);
    QCOMPARE(core.schedules()[0].DataBase, QString());
}

void TestBackupServerCore::scheduleLoadsWhereTheServerIs_data() {
    QTest::addColumn<QByteArray>("main");
    QTest::addColumn<bool>("loaded");

    QTest::newRow("embedded engine") << QByteArray() << true;
    QTest::newRow("embedded engine, a server named elsewhere")
        << QByteArray("Engine=Embedded\r\nSQLServer=OTRO-EQUIPO\r\n") << true;
    QTest::newRow("SQL Server (local)") << QByteArray("SQLServer=(local)\r\n") << true;
    QTest::newRow("SQL Server named as this computer") << QByteArray("SQLServer=%computer%\r\n") << true;
    QTest::newRow("SQL Server elsewhere") << QByteArray("SQLServer=OTRO-EQUIPO\r\n") << false;
}

void TestBackupServerCore::scheduleLoadsWhereTheServerIs() {
    QFETCH(QByteArray, main);
    QFETCH(bool, loaded);

    const QString computer = computerName();
    if (main.contains("%computer%")) {
        if (computer.isEmpty())
            QSKIP("This computer has no name");
        main.replace("%computer%", computer.toLower().toLatin1());
    }
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    QVERIFY(writeFileBytes(folder.file(QStringLiteral("OskServer.INI")),
                           "[Main]\r\nPort=1033\r\n" + main + kDailyAt0905));
    // The settings choose the engine; a SQL Server cannot be reached here, which the load reports
    // on its own, so only the schedule is looked at.
    ServerCore core(folder.path(), clock, op);
    core.load();

    QCOMPARE(core.schedules()[0].Type, loaded ? 1 : 0);
    QCOMPARE(core.schedules()[0].OutputFile, loaded ? QStringLiteral("C:\\Copias\\osk1.bak") : QString());
    for (const ShownMessage& message : op.messages)
        QVERIFY2(!message.text.startsWith(QStringLiteral("Imposible cargar")), qPrintable(message.text));
}

QTEST_GUILESS_MAIN(TestBackupServerCore)
#include "test_backup_server_core.moc"
