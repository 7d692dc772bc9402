#include "backup/backup_scheduler.h"

#include "backup/wait_dialog.h"
#include "common/clock.h"
#include "config/profile_file.h"
#include "database/engine.h"
#include "eventlog/event_log.h"

namespace osk {

namespace {

const QString kCheckError = QStringLiteral("Imposible comprobar copias de seguridad programadas.");
const QString kRunError = QStringLiteral("Imposible realizar copia de seguridad programada.");
const QString kCancelledAtExit = QStringLiteral(
    "Copia de seguridad programada cancelada al cerrar Osk Server; no se ha generado el archivo.");
const QString kNotStoppedAtExit = QStringLiteral(
    "La copia de seguridad programada no se ha detenido a tiempo; Osk Server se cierra sin esperarla.");

QString waitMessage(const QString& outputFile) {
    // "seguriad" is how the program has always spelt it on this dialog.
    return QStringLiteral("Espere...\r\nGenerando copia de seguriad en '") + outputFile +
           QStringLiteral("'...");
}

// An engine that fails without saying why still gets its line; the sentence then stands alone.
QString runErrorText(const QString& description) {
    return description.isEmpty() ? kRunError : kRunError + QLatin1Char(' ') + description;
}

} // namespace

BackupScheduler::BackupScheduler(Engine& engine, EventLog& log, const Clock& clock, WaitDialog& waitDialog,
                                 QObject* parent)
    : QObject(parent)
    , m_engine(engine)
    , m_log(log)
    , m_clock(clock)
    , m_waitDialog(&waitDialog) {}

BackupScheduler::~BackupScheduler() {
    if (m_worker.joinable()) {
        m_engine.stopBackups();
        m_worker.join();
    }
}

void BackupScheduler::load(const ProfileFile& file, bool serverIsLocal, Operator& op) {
    m_schedules = loadBackupSchedules(file, serverIsLocal, op);
    m_settingsPath = file.path();
}

void BackupScheduler::check() {
    if (isRunning())
        return;
    const QDateTime now = m_clock.now();
    if (!now.isValid()) {
        m_log.AddLog(kCheckError, LogKind::Error);
        return;
    }
    const std::optional<int> due = dueBackupSchedule(m_schedules, now);
    if (!due)
        return;
    const QDateTime minute(now.date(), QTime(now.time().hour(), now.time().minute()));
    if (minute == m_lastStartMinute)
        return;
    m_lastStartMinute = minute;
    const BackupSchedule& schedule = m_schedules[size_t(*due)];
    run(schedule.OutputFile, schedule.DataBase);
}

bool BackupScheduler::run(const QString& outputFile, const QString& database) {
    if (isRunning())
        return false;
    Status refused = checkBackupOutput(outputFile, m_engine, m_settingsPath);
    m_waitDialog->show(waitMessage(outputFile));
    m_run = std::make_shared<RunState>();
    m_cancelled = false;
    // The worker holds the engine and the shared state, never this object past an abandonment. A
    // refusal goes through it too, so that it ends as every failed backup ends.
    m_worker = std::thread(
        [this, &engine = m_engine, state = m_run, outputFile, database, refused = std::move(refused)] {
            Status outcome = refused ? engine.backupDatabase(database, outputFile) : refused;
            const std::lock_guard lock(state->mutex);
            state->outcome = std::move(outcome);
            state->done = true;
            state->ended.notify_all();
            if (!state->abandoned)
                QMetaObject::invokeMethod(this, &BackupScheduler::finishRun, Qt::QueuedConnection);
        });
    return true;
}

bool BackupScheduler::stopForExit(std::chrono::milliseconds bound) {
    if (!m_worker.joinable()) {
        m_engine.stopBackups();
        return true;
    }
    {
        std::unique_lock lock(m_run->mutex);
        // A backup that had ended by itself keeps its own outcome. Decided before the engine is
        // told to stop, which may end the backup before this thread looks again.
        m_cancelled = !m_run->done;
        lock.unlock();
        m_engine.stopBackups();
        lock.lock();
        if (!m_run->ended.wait_for(lock, bound, [this] { return m_run->done; })) {
            m_run->abandoned = true;
            lock.unlock();
            m_worker.detach();
            m_abandoned = true;
            m_waitDialog->hide();
            m_log.AddLog(kNotStoppedAtExit, LogKind::Error);
            return false;
        }
    }
    finishRun();
    return true;
}

void BackupScheduler::finishRun() {
    // Already finished by stopForExit(), whose queued call from the worker may still arrive.
    if (!m_worker.joinable())
        return;
    m_worker.join();
    m_waitDialog->hide();
    Status outcome;
    {
        const std::lock_guard lock(m_run->mutex);
        outcome = m_run->outcome;
    }
    if (!outcome)
        m_log.AddLog(m_cancelled ? kCancelledAtExit : runErrorText(outcome.error()), LogKind::Error);
    emit backupFinished(outcome.ok());
}

} // namespace osk
