#include "backup/backup_scheduler.h"

#include "backup/wait_dialog.h"
#include "common/clock.h"
#include "database/engine.h"
#include "eventlog/event_log.h"

namespace osk {

namespace {

const QString kCheckError = QStringLiteral("Imposible comprobar copias de seguridad programadas.");
const QString kRunError = QStringLiteral("Imposible realizar copia de seguridad programada.");

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
    if (m_worker.joinable())
        m_worker.join();
}

void BackupScheduler::load(const ProfileFile& file, bool serverIsLocal, Operator& op) {
    m_schedules = loadBackupSchedules(file, serverIsLocal, op);
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
    m_waitDialog->show(waitMessage(outputFile));
    m_outcome = Status();
    // A plain thread, joined before its outcome is read: the join is what makes the outcome
    // visible here, and a thread sanitizer sees it (QThread's own wait goes through Qt's mutexes,
    // which it cannot see into).
    m_worker = std::thread([this, outputFile, database] {
        m_outcome = m_engine.backupDatabase(database, outputFile);
        QMetaObject::invokeMethod(this, &BackupScheduler::finishRun, Qt::QueuedConnection);
    });
    return true;
}

void BackupScheduler::finishRun() {
    m_worker.join();
    m_waitDialog->hide();
    if (!m_outcome)
        m_log.AddLog(runErrorText(m_outcome.error()), LogKind::Error);
    emit backupFinished(m_outcome.ok());
}

} // namespace osk
