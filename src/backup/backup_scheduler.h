#pragma once

#include "backup/backup_schedule.h"
#include "common/result.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace osk {

class Clock;
class Engine;
class EventLog;
class Operator;
class ProfileFile;
class WaitDialog;

// The scheduled backups: the three schedules, the once-a-minute check that tmrBackup drives and
// the runner.
//
// A backup runs on a worker thread of its own, so that the session service goes on answering
// clients while the engine writes the file (which may take up to the engine's backup time-out).
// The worker only calls Engine::backupDatabase, which works on a connection of the engine's own
// and shares no state with the rest of the engine; everything else, the wait dialog and the event
// log included, stays on this object's thread. While a backup runs the check does nothing, as no
// second backup may start, and a second run is refused. At the program's end stopForExit() cancels
// a running backup and waits a bounded time for it, so that its outcome reaches the saved log and a
// service manager's stop time-out is kept; the destructor stops and waits likewise, since the engine
// must outlive its statement.
class BackupScheduler final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BackupScheduler)

public:
    BackupScheduler(Engine& engine, EventLog& log, const Clock& clock, WaitDialog& waitDialog,
                    QObject* parent = nullptr);
    ~BackupScheduler() override;

    const BackupSchedules& schedules() const { return m_schedules; }
    // Replaces the schedules with what the settings file holds now (see loadBackupSchedules). The
    // file's folder is the program folder, whose files no backup may replace.
    void load(const ProfileFile& file, bool serverIsLocal, Operator& op);

    // The tick of tmrBackup: runs the schedule due this minute, if any. A schedule that has started
    // in this minute does not start again at a second tick within it.
    void check();

    // Starts a backup of database into outputFile behind the wait dialog; backupFinished tells its
    // end. False, and nothing done, while another backup runs. An output file that is one of the
    // server's own files (checkBackupOutput; a schedule may have been stored before that check)
    // fails like a backup that failed, with the reason, and the engine is not called.
    bool run(const QString& outputFile, const QString& database);
    bool isRunning() const { return m_worker.joinable(); }

    // For the program's end: no backup starts any more, a running one is cancelled and waited for
    // up to `bound`, and its outcome is logged. False when it did not end in time: it is then left
    // to the process's end (see hasAbandonedWorker()).
    bool stopForExit(std::chrono::milliseconds bound);
    // A backup that would not stop is still running on the engine, which must then never be freed.
    bool hasAbandonedWorker() const { return m_abandoned; }

    // The console replaces the headless dialog with its own; it must outlive this object's use of it.
    void setWaitDialog(WaitDialog& dialog) { m_waitDialog = &dialog; }

signals:
    // A backup started by run() has ended, after the dialog is hidden and any failure logged.
    void backupFinished(bool ok);

private:
    // What the worker hands back, shared with it so that an abandoned worker touches nothing else.
    struct RunState {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;      // guarded by mutex
        bool abandoned = false; // guarded by mutex
        Status outcome;         // guarded by mutex
    };

    void finishRun();

    Engine& m_engine;
    EventLog& m_log;
    const Clock& m_clock;
    WaitDialog* m_waitDialog;
    BackupSchedules m_schedules{};
    QString m_settingsPath;
    QDateTime m_lastStartMinute;
    std::thread m_worker;
    std::shared_ptr<RunState> m_run;
    bool m_cancelled = false;
    bool m_abandoned = false;
};

} // namespace osk
