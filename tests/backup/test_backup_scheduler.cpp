#include "backup/backup_scheduler.h"
#include "backup_fakes.h"
#include "config/profile_file.h"
#include "eventlog/event_log.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

using namespace osk;
using namespace osk::test;

namespace {

constexpr int kWaitMs = 10000;

QDateTime at(int day, int hour, int minute, int second = 0) {
    return QDateTime(QDate(2026, 12, day), QTime(hour, minute, second));
}

const QByteArray kTwoDailyAt0230 =
    "[Backup1]\r\nType=1\r\nDataBase=osk1\r\nOutPutFile=C:\\Copias\\osk1.bak\r\n"
    "Day=0\r\nHour=02:30\r\n"
    "[Backup2]\r\nType=1\r\nDataBase=osk2\r\nOutPutFile=C:\\Copias\\osk2.bak\r\n"
    "Day=0\r\nHour=02:30\r\n";
const QString kWait =
    QStringLiteral("show:Espere...\r\nGenerando copia de seguriad en 'C:\\Copias\\osk1.bak'...");

struct Fixture {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    EventLog log{clock, op, folder.path()};
    FakeEngine engine;
    RecordingWaitDialog dialog;
    BackupScheduler scheduler{engine, log, clock, dialog};

    Fixture() {
        const QString path = folder.file(QStringLiteral("OskServer.INI"));
        if (writeFileBytes(path, kTwoDailyAt0230))
            scheduler.load(ProfileFile(path), true, op);
    }

    // One tick of tmrBackup, waiting for the backup it starts to end.
    void tickAt(const QDateTime& now) {
        clock.set(now);
        QSignalSpy finished(&scheduler, &BackupScheduler::backupFinished);
        scheduler.check();
        if (scheduler.isRunning())
            finished.wait(kWaitMs);
    }

    // The lines logged, as "text|kind", without their time.
    QStringList logLines() const {
        QStringList lines;
        for (const LogEntry& entry : log.entries())
            lines << entry.text.mid(12) + QLatin1Char('|') + QString::number(int(entry.kind));
        return lines;
    }
};

} // namespace

class TestBackupScheduler final : public QObject {
    Q_OBJECT

private slots:
    void dueScheduleRunsOnceInItsMinute();
    void backupThatWillNotStopIsLeftAtTheEnd();
};

// tmrBackup ticks every 59.999 s, so two ticks may fall into one minute.
void TestBackupScheduler::dueScheduleRunsOnceInItsMinute() {
    Fixture f;
    QVERIFY(f.op.messages.empty());

    f.tickAt(at(7, 2, 30, 0));
    QCOMPARE(f.engine.backupCalls(), QStringList{"osk1>C:\\Copias\\osk1.bak"});
    QCOMPARE(f.dialog.events, (QStringList{kWait, QStringLiteral("hide")}));
    QCOMPARE(f.logLines(), QStringList());

    // Neither the finished schedule nor the other one of the same minute starts again.
    f.engine.failure = QStringLiteral("Operating system error 5 (Acceso denegado.).");
    f.tickAt(at(7, 2, 30, 59));
    QCOMPARE(f.engine.backupCalls().size(), 1);

    f.tickAt(at(8, 2, 30, 0));
    QCOMPARE(f.engine.backupCalls().size(), 2);
    QCOMPARE(f.logLines(), QStringList{"Imposible realizar copia de seguridad programada. "
                                       "Operating system error 5 (Acceso denegado.).|3"});
}

// The program's end waits a bounded time for a backup; one that goes on is said and left to run.
void TestBackupScheduler::backupThatWillNotStopIsLeftAtTheEnd() {
    Fixture f;
    f.engine.hold = true;
    f.engine.deaf = true;
    // An abandoned worker is let go and waited for, so that it never outlives the engine.
    const auto releaseOnExit = qScopeGuard([&f] {
        f.engine.release();
        f.engine.waitUntilLeft(kWaitMs);
    });
    f.clock.set(at(7, 2, 30));
    f.scheduler.check();
    QVERIFY(f.engine.waitUntilEntered(kWaitMs));
    QVERIFY(!f.scheduler.run(QStringLiteral("C:\\otra.bak"), QStringLiteral("osk9")));

    QVERIFY(!f.scheduler.stopForExit(std::chrono::milliseconds(200)));

    QVERIFY(f.scheduler.hasAbandonedWorker());
    QCOMPARE(f.logLines(),
             QStringList{"La copia de seguridad programada no se ha detenido a tiempo; Osk Server "
                         "se cierra sin esperarla.|3"});
    QCOMPARE(f.dialog.events, (QStringList{kWait, QStringLiteral("hide")}));
}

QTEST_GUILESS_MAIN(TestBackupScheduler)
#include "test_backup_scheduler.moc"
