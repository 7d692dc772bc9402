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

// One week, Monday to Sunday.
const QDate kMonday(2026, 12, 7);

QDateTime at(const QDate& date, int hour, int minute, int second = 0) {
    return QDateTime(date, QTime(hour, minute, second));
}

QByteArray section(int number, const QByteArray& type, const QByteArray& day, const QByteArray& hour) {
    return "[Backup" + QByteArray::number(number) + "]\r\nType=" + type + "\r\nDataBase=osk" +
           QByteArray::number(number) + "\r\nOutPutFile=C:\\Copias\\osk" + QByteArray::number(number) +
           ".bak\r\nDay=" + day + "\r\nHour=" + hour + "\r\n";
}

struct Fixture {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    EventLog log{clock, op, folder.path()};
    FakeEngine engine;
    RecordingWaitDialog dialog;
    BackupScheduler scheduler{engine, log, clock, dialog};

    bool load(const QByteArray& settings) {
        const QString path = folder.file(QStringLiteral("OskServer.INI"));
        if (!writeFileBytes(path, settings))
            return false;
        scheduler.load(ProfileFile(path), true, op);
        return op.messages.empty();
    }

    // One tick of tmrBackup at the given time, waiting for the backup it starts to end: the
    // databases backed up so far.
    QStringList tickAt(const QDateTime& now) {
        clock.set(now);
        QSignalSpy finished(&scheduler, &BackupScheduler::backupFinished);
        scheduler.check();
        if (scheduler.isRunning() && !finished.wait(kWaitMs))
            return {QStringLiteral("the backup never ended")};
        return databases();
    }

    QStringList databases() const {
        QStringList names;
        for (const BackupCall& call : engine.backupCalls())
            names << call.database;
        return names;
    }

    // The lines logged, as "text|kind", without their time.
    QStringList logLines() const {
        QStringList lines;
        for (const LogEntry& entry : log.entries())
            lines << entry.text.section(QStringLiteral("]  "), 1) + QLatin1Char('|') +
                         QString::number(int(entry.kind));
        return lines;
    }
};

} // namespace

class TestBackupScheduler final : public QObject {
    Q_OBJECT

private slots:
    void dueScheduleRuns_data();
    void dueScheduleRuns();
    void weeklyRunsOnItsDayOnly_data();
    void weeklyRunsOnItsDayOnly();
    void dailyRunsOnceADay();
    void secondTickInTheSameMinuteRunsNothing();
    void clockWithoutTimeIsLogged();
    void runnerShowsWaitDialogAndLogsFailure_data();
    void runnerShowsWaitDialogAndLogsFailure();
    void nothingStartsWhileABackupRuns();
    void stopForExitCancelsAndLogs_data();
    void stopForExitCancelsAndLogs();
};

void TestBackupScheduler::dueScheduleRuns_data() {
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QStringList>("run");

    const QByteArray daily = section(1, "1", "0", "02:30");
    const QDate friday = kMonday.addDays(4);
    QTest::newRow("daily, a minute early") << daily << at(friday, 2, 29, 59) << QStringList();
    QTest::newRow("daily, on its minute") << daily << at(friday, 2, 30, 0) << QStringList{"osk1"};
    QTest::newRow("daily, end of its minute") << daily << at(friday, 2, 30, 59) << QStringList{"osk1"};
    QTest::newRow("daily, a minute late") << daily << at(friday, 2, 31, 0) << QStringList();
    QTest::newRow("daily, 14:30") << daily << at(friday, 14, 30) << QStringList();
    QTest::newRow("daily ignores Day")
        << section(1, "1", "6", "02:30") << at(friday, 2, 30) << QStringList{"osk1"};
    QTest::newRow("Type 0 never runs") << section(1, "0", "4", "02:30") << at(friday, 2, 30) << QStringList();
    QTest::newRow("midnight") << section(1, "1", "0", "00:00") << at(friday, 0, 0, 30) << QStringList{"osk1"};
    QTest::newRow("same minute: the lower one")
        << section(1, "0", "0", "02:30") + section(2, "1", "0", "02:30") + section(3, "2", "4", "02:30")
        << at(friday, 2, 30) << QStringList{"osk2"};
    QTest::newRow("the first due one, not the first active one")
        << section(1, "2", "0", "02:30") + section(2, "2", "4", "02:30") + section(3, "1", "0", "02:30")
        << at(friday, 2, 30) << QStringList{"osk2"};
    QTest::newRow("another minute for each") << section(1, "1", "0", "02:30") + section(2, "1", "0", "02:31")
                                             << at(friday, 2, 31) << QStringList{"osk2"};
}

void TestBackupScheduler::dueScheduleRuns() {
    QFETCH(QByteArray, settings);
    QFETCH(QDateTime, now);
    QFETCH(QStringList, run);

    Fixture f;
    QVERIFY(f.load(settings));

    QCOMPARE(f.tickAt(now), run);
    QCOMPARE(f.logLines(), QStringList());
}

void TestBackupScheduler::weeklyRunsOnItsDayOnly_data() {
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("day");
    QTest::addColumn<int>("runsOn"); // days after Monday; -1 for never

    QTest::newRow("Day 0, Monday") << QByteArray("2") << QByteArray("0") << 0;
    QTest::newRow("Day 3, Thursday") << QByteArray("2") << QByteArray("3") << 3;
    QTest::newRow("Day 6, Sunday") << QByteArray("2") << QByteArray("6") << 6;
    QTest::newRow("Type 3 is weekly") << QByteArray("3") << QByteArray("6") << 6;
    QTest::newRow("negative Type is weekly") << QByteArray("-2") << QByteArray("1") << 1;
    QTest::newRow("Day 7 never") << QByteArray("2") << QByteArray("7") << -1;
}

void TestBackupScheduler::weeklyRunsOnItsDayOnly() {
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, day);
    QFETCH(int, runsOn);

    Fixture f;
    QVERIFY(f.load(section(1, type, day, "21:45")));

    QList<int> ranOn;
    for (int offset = 0; offset < 7; ++offset) {
        const qsizetype before = f.databases().size();
        if (f.tickAt(at(kMonday.addDays(offset), 21, 45, 10)).size() > before)
            ranOn << offset;
    }
    QCOMPARE(ranOn, runsOn < 0 ? QList<int>() : QList<int>{runsOn});
}

void TestBackupScheduler::dailyRunsOnceADay() {
    Fixture f;
    QVERIFY(f.load(section(1, "1", "0", "02:30")));

    // tmrBackup's ticks, 59.999 s apart, around the schedule's minute on two days.
    for (const QDate& date : {kMonday, kMonday.addDays(1)}) {
        QDateTime now = at(date, 2, 27, 30);
        for (int tick = 0; tick < 6; ++tick, now = now.addMSecs(59999))
            f.tickAt(now);
    }
    QCOMPARE(f.databases(), (QStringList{"osk1", "osk1"}));
}

void TestBackupScheduler::secondTickInTheSameMinuteRunsNothing() {
    Fixture f;
    QVERIFY(f.load(section(1, "1", "0", "02:30") + section(2, "1", "0", "02:30")));

    QCOMPARE(f.tickAt(at(kMonday, 2, 30, 0)), QStringList{"osk1"});
    // A tick just under a minute later can fall into the same minute; the failed or finished backup
    // is not started again, and the other schedule of that minute does not take its place.
    f.engine.failBackupsWith(QStringLiteral("disco lleno"));
    QCOMPARE(f.tickAt(at(kMonday, 2, 30, 59)), QStringList{"osk1"});
    QCOMPARE(f.tickAt(at(kMonday.addDays(1), 2, 30, 0)), (QStringList{"osk1", "osk1"}));
}

void TestBackupScheduler::clockWithoutTimeIsLogged() {
    Fixture f;
    QVERIFY(f.load(section(1, "1", "0", "00:00")));

    QCOMPARE(f.tickAt(QDateTime()), QStringList());
    QCOMPARE(f.logLines(),
             QStringList{QStringLiteral("Imposible comprobar copias de seguridad programadas.|3")});
    // The next tick checks again.
    QCOMPARE(f.tickAt(at(kMonday, 0, 0)), QStringList{"osk1"});
}

void TestBackupScheduler::runnerShowsWaitDialogAndLogsFailure_data() {
    QTest::addColumn<bool>("fail");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QStringList>("logged");

    QTest::newRow("success") << false << QString() << QStringList();
    QTest::newRow("failure") << true << QStringLiteral("Operating system error 5 (Acceso denegado.).")
                             << QStringList{
                                    QStringLiteral("Imposible realizar copia de seguridad programada. "
                                                   "Operating system error 5 (Acceso denegado.).|3")};
    QTest::newRow("failure without a description")
        << true << QString()
        << QStringList{QStringLiteral("Imposible realizar copia de seguridad programada.|3")};
}

void TestBackupScheduler::runnerShowsWaitDialogAndLogsFailure() {
    QFETCH(bool, fail);
    QFETCH(QString, description);
    QFETCH(QStringList, logged);

    Fixture f;
    if (fail)
        f.engine.failBackupsWith(description);
    QSignalSpy finished(&f.scheduler, &BackupScheduler::backupFinished);
    // The names go to the engine as they are: quoting them for a statement is the engine's work.
    const QString file = QStringLiteral("C:\\Copias de O'Brien\\osk.bak");
    const QString database = QStringLiteral("osk'Central");

    QVERIFY(f.scheduler.run(file, database));
    QVERIFY(finished.wait(kWaitMs));

    QCOMPARE(f.engine.backupCalls(), (std::vector<BackupCall>{{database, file}}));
    QCOMPARE(f.dialog.events,
             (QStringList{QStringLiteral("show:Espere...\r\nGenerando copia de seguriad en '") + file +
                              QStringLiteral("'..."),
                          QStringLiteral("hide")}));
    QCOMPARE(f.logLines(), logged);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished[0][0].toBool(), !fail);
    QVERIFY(!f.scheduler.isRunning());
    QVERIFY(f.op.messages.empty());
}

void TestBackupScheduler::nothingStartsWhileABackupRuns() {
    Fixture f;
    QVERIFY(f.load(section(1, "1", "0", "02:30") + section(2, "1", "0", "02:31")));
    f.engine.holdBackups();
    // Let a held backup go even when a check fails, or the scheduler would wait for it forever.
    const auto releaseOnExit = qScopeGuard([&f] { f.engine.release(); });
    QSignalSpy finished(&f.scheduler, &BackupScheduler::backupFinished);

    f.clock.set(at(kMonday, 2, 30));
    f.scheduler.check();
    QVERIFY(f.engine.entered().tryAcquire(1, kWaitMs));
    QVERIFY(f.scheduler.isRunning());
    // The dialog stays up while the engine works.
    QCOMPARE(f.dialog.events.size(), 1);
    QVERIFY(f.dialog.events[0].startsWith(QStringLiteral("show:")));

    // The second schedule's minute comes while the first backup still runs.
    f.clock.set(at(kMonday, 2, 31));
    f.scheduler.check();
    QVERIFY(!f.scheduler.run(QStringLiteral("C:\\otra.bak"), QStringLiteral("osk9")));

    f.engine.release();
    QVERIFY(finished.wait(kWaitMs));
    QCOMPARE(f.databases(), QStringList{"osk1"});
    QCOMPARE(f.dialog.events.size(), 2);
    QCOMPARE(f.dialog.events[1], QStringLiteral("hide"));
    QCOMPARE(finished.size(), 1);
}

void TestBackupScheduler::stopForExitCancelsAndLogs_data() {
    QTest::addColumn<bool>("engineStops");
    QTest::addColumn<QString>("line");
    QTest::newRow("the engine stops") << true
                                      << "Copia de seguridad programada cancelada al cerrar Osk Server; no "
                                         "se ha generado el archivo.|3";
    QTest::newRow("the engine does not stop") << false
                                              << "La copia de seguridad programada no se ha detenido a "
                                                 "tiempo; Osk Server se cierra sin esperarla.|3";
}

// The program's end does not wait out a backup: the engine is told to stop, the wait is bounded,
// and the outcome is logged before the log is saved.
void TestBackupScheduler::stopForExitCancelsAndLogs() {
    QFETCH(bool, engineStops);
    QFETCH(QString, line);
    Fixture f;
    QVERIFY(f.load(section(1, "1", "0", "02:30")));
    f.engine.holdBackups();
    if (!engineStops)
        f.engine.ignoreStops();
    // The abandoned worker is let go and waited for, so that it never outlives the engine.
    const auto releaseOnExit = qScopeGuard([&f] {
        f.engine.release();
        f.engine.left().tryAcquire(1, kWaitMs);
    });

    f.clock.set(at(kMonday, 2, 30));
    f.scheduler.check();
    QVERIFY(f.engine.entered().tryAcquire(1, kWaitMs));

    QCOMPARE(f.scheduler.stopForExit(std::chrono::milliseconds(engineStops ? kWaitMs : 200)), engineStops);
    QCOMPARE(f.scheduler.hasAbandonedWorker(), !engineStops);
    QCOMPARE(f.logLines(), QStringList{line});
    QCOMPARE(f.dialog.events.size(), 2);
    QCOMPARE(f.dialog.events[1], QStringLiteral("hide"));
    QVERIFY(!f.scheduler.isRunning());
    // A late queued end from the worker changes nothing.
    QCoreApplication::processEvents();
    QCOMPARE(f.logLines().size(), 1);
}

QTEST_GUILESS_MAIN(TestBackupScheduler)
#include "test_backup_scheduler.moc"
