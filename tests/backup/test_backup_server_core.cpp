#include "app/server_core.h"
#include "backup_fakes.h"
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

constexpr int kWaitMs = 10000;

// Two daily schedules at FakeClock's 09:05.
const QByteArray kTwoDailyAt0905 =
    "[Backup1]\r\nType=1\r\nDataBase=osk1\r\nOutPutFile=C:\\Copias\\osk1.bak\r\n"
    "Day=0\r\nHour=09:05\r\n"
    "[Backup2]\r\nType=1\r\nDataBase=osk2\r\nOutPutFile=C:\\Copias\\osk2.bak\r\n"
    "Day=0\r\nHour=09:05\r\n";
const QString kWait =
    QStringLiteral("show:Espere...\r\nGenerando copia de seguriad en 'C:\\Copias\\osk1.bak'...");

QDateTime at(int day, int hour, int minute, int second = 0) {
    return QDateTime(QDate(2026, 12, day), QTime(hour, minute, second));
}

// The backup lines of a log, as "text|kind", without their time.
QStringList backupLines(const EventLog& log) {
    QStringList lines;
    for (const LogEntry& entry : log.entries()) {
        if (entry.text.contains(QStringLiteral("copia de seguridad programada"), Qt::CaseInsensitive))
            lines << entry.text.mid(12) + QLatin1Char('|') + QString::number(int(entry.kind));
    }
    return lines;
}

struct Service {
    Service() {
        ok = port != 0 && writeFileBytes(folder.file(QStringLiteral("OskServer.INI")),
                                         portSettings(port) + kTwoDailyAt0905);
        core.backups().setWaitDialog(dialog);
        ok = ok && core.AbreConexion().ok();
        core.load();
        engine.host = core.localAddress();
    }
    // One tick of tmrBackup at `now`, waiting for the backup it starts to end.
    void tickAt(const QDateTime& now) {
        clock.set(now);
        QSignalSpy finished(&core.backups(), &BackupScheduler::backupFinished);
        QMetaObject::invokeMethod(&core.tmrBackup(), "timeout");
        if (core.backups().isRunning())
            finished.wait(kWaitMs);
    }

    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    quint16 port = freePort();
    std::unique_ptr<FakeEngine> owned = std::make_unique<FakeEngine>();
    FakeEngine& engine = *owned;
    RecordingWaitDialog dialog;
    ServerCore core{folder.path(), std::move(owned), clock, op};
    bool ok = false;
};

} // namespace

class TestBackupServerCore final : public QObject {
    Q_OBJECT

private slots:
    void dueScheduleRunsOnceInItsMinute();
    void exitDuringABackupCancelsItAndSavesItsOutcome();
    void backupThatWillNotStopIsLeftAtTheEnd();
    void serverFilesAreNeverBackedUpInto();
};

// tmrBackup ticks every 59.999 s, so two ticks may fall into one minute.
void TestBackupServerCore::dueScheduleRunsOnceInItsMinute() {
    Service s;
    QVERIFY(s.ok);
    QCOMPARE(s.core.tmrBackup().interval(), 59999);

    s.tickAt(at(4, 9, 5, 0));
    QCOMPARE(s.engine.backupCalls(), QStringList{"osk1>C:\\Copias\\osk1.bak"});
    QCOMPARE(s.dialog.events, (QStringList{kWait, QStringLiteral("hide")}));
    QCOMPARE(backupLines(s.core.eventLog()), QStringList());

    // Neither the finished schedule nor the other one of the same minute starts again.
    s.engine.failure = QStringLiteral("Operating system error 5 (Acceso denegado.).");
    s.tickAt(at(4, 9, 5, 59));
    QCOMPARE(s.engine.backupCalls().size(), 1);

    s.tickAt(at(5, 9, 5, 0));
    QCOMPARE(s.engine.backupCalls().size(), 2);
    QCOMPARE(backupLines(s.core.eventLog()), QStringList{"Imposible realizar copia de seguridad programada. "
                                                         "Operating system error 5 (Acceso denegado.).|3"});
}

// The backup runs beside the session service, and the program's end cancels it: its outcome is in
// the saved log.
void TestBackupServerCore::exitDuringABackupCancelsItAndSavesItsOutcome() {
    Service s;
    QVERIFY(s.ok);
    s.engine.hold = true;
    if (s.core.localAddress().isEmpty())
        QSKIP("This computer has no IPv4 address at all");
    QVERIFY(s.core.startService());
    // Whatever fails, the core's end stops the engine's backup, which lets the held one go.
    QVERIFY(QMetaObject::invokeMethod(&s.core.tmrBackup(), "timeout"));
    QVERIFY(s.engine.waitUntilEntered(kWaitMs));
    QVERIFY(!s.core.backups().run(QStringLiteral("C:\\otra.bak"), QStringLiteral("osk9")));

    Client client(s.port, QStringLiteral("127.0.0.2"));
    QTRY_COMPARE_WITH_TIMEOUT(client.received, QByteArray("CONNECTED"), kWaitMs);
    client.send("PC2");
    QTRY_COMPARE_WITH_TIMEOUT(s.core.session().CuentaConexiones(), 1, kWaitMs);
    QVERIFY(s.core.backups().isRunning());

    s.core.stopService();
    QVERIFY(s.core.saveLogAtExit().ok());

    QVERIFY(!s.core.backups().isRunning());
    QVERIFY(
        readFileBytes(s.folder.file(QStringLiteral("Log/04122026.log")))
            .contains("  Copia de seguridad programada cancelada al cerrar Osk Server; no se ha generado el "
                      "archivo.\r\n"));
    QCOMPARE(s.engine.backupCalls().size(), 1);
}

// The wait at the end is bounded; a backup that goes on is said and left to the process's end.
void TestBackupServerCore::backupThatWillNotStopIsLeftAtTheEnd() {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    EventLog log(clock, op, folder.path());
    FakeEngine engine;
    engine.hold = true;
    engine.deaf = true;
    RecordingWaitDialog dialog;
    BackupScheduler scheduler(engine, log, clock, dialog);
    // The abandoned worker is let go and waited for, so that it never outlives the engine.
    const auto releaseOnExit = qScopeGuard([&engine] {
        engine.release();
        engine.waitUntilLeft(kWaitMs);
    });
    QVERIFY(scheduler.run(QStringLiteral("C:\\Copias\\osk1.bak"), QStringLiteral("osk1")));
    QVERIFY(engine.waitUntilEntered(kWaitMs));

    QVERIFY(!scheduler.stopForExit(std::chrono::milliseconds(200)));

    QVERIFY(scheduler.hasAbandonedWorker());
    QCOMPARE(backupLines(log), QStringList{"La copia de seguridad programada no se ha detenido a tiempo; Osk "
                                           "Server se cierra sin esperarla.|3"});
    QCOMPARE(dialog.events, (QStringList{kWait, QStringLiteral("hide")}));
}

// A schedule stored before the editor refused the program's files, or whose file has become one the
// backup would replace, is refused when it runs.
void TestBackupServerCore::serverFilesAreNeverBackedUpInto() {
    Service s;
    QVERIFY(s.ok);
    const QByteArray before = readFileBytes(s.folder.file(QStringLiteral("OskServer.INI")));
    QVERIFY(QDir().mkpath(s.folder.file(QStringLiteral("Copias"))));
    QSignalSpy finished(&s.core.backups(), &BackupScheduler::backupFinished);
    for (const char* name : {"OSKSERVER.ini", "Copias"}) {
        QVERIFY(s.core.backups().run(s.folder.file(QString::fromUtf8(name)), QStringLiteral("osk1")));
        QVERIFY(finished.wait(kWaitMs));
    }
    QCOMPARE(finished.size(), 2);
    QCOMPARE(finished.at(0).at(0).toBool() || finished.at(1).at(0).toBool(), false);
    QCOMPARE(s.engine.backupCalls(), QStringList());
    const QString failed =
        QStringLiteral("Imposible realizar copia de seguridad programada. El archivo de copia %1 ");
    QCOMPARE(backupLines(s.core.eventLog()),
             (QStringList{failed.arg(s.folder.file(QStringLiteral("OSKSERVER.ini"))) +
                              QStringLiteral("es un archivo del servidor.|3"),
                          failed.arg(s.folder.file(QStringLiteral("Copias"))) +
                              QStringLiteral("es una carpeta.|3")}));
    QCOMPARE(readFileBytes(s.folder.file(QStringLiteral("OskServer.INI"))), before);
}

QTEST_GUILESS_MAIN(TestBackupServerCore)
#include "test_backup_server_core.moc"
