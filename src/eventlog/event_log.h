#pragma once

#include "common/result.h"

#include <QObject>
#include <QString>
#include <memory>
#include <vector>

namespace osk {

class Clock;
class Operator;
class RecoveryJournal;

// The kinds of event-log line: their icons tell success, progress and error apart.
enum class LogKind { Done = 1, Info = 2, Error = 3 };

struct LogEntry {
    QString text; // "[HH:MM:SS]  " + the caller's text, as shown
    LogKind kind;
};

// The event log: timestamped lines kept in memory for the whole run (never cleared) and appended
// to the daily file Log/DDMMYYYY.log of the program folder on every save. With its recovery
// journal open, every line is also on disk at once, so that the lines a crash kept from being saved
// reach the daily file at the next start.
class EventLog final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EventLog)

public:
    EventLog(const Clock& clock, Operator& op, QString programFolder, QObject* parent = nullptr);
    ~EventLog() override;

    // To be called once, before the first AddLog. Appends what the journal holds from a run that
    // did not end cleanly to the daily file of its first line's date as a block of its own, says so
    // with a kind-3 line, and from then on journals every line. A journal that cannot be used is
    // reported with a kind-3 line and the log carries on without one.
    void openJournal();
    QString journalPath() const;

    void AddLog(const QString& text, LogKind kind);

    const std::vector<LogEntry>& entries() const { return m_entries; }
    QString logFolder() const;

    // Appends the whole list as one BEGIN/END block to today's file. On failure the operator is
    // told "No se ha podido guardar el registro." with the reason, and the reason is returned. A
    // save asked for while one runs follows it.
    Status save();
    // The save at the end of the run. After a good save the journal is emptied and closed: only the
    // save's own report is logged after the block, and the end of a run never saves that line. A
    // failed save leaves the journal for the next start to recover.
    Status saveAtExit();

signals:
    void entryAdded(const osk::LogEntry& entry);

private:
    Status saveOnce();
    Status writeBlock(const QString& path, const QString& date);
    void recover();
    // Closes the journal after a failure and says so.
    void dropJournal(const QString& reason);

    const Clock& m_clock;
    Operator& m_operator;
    QString m_programFolder;
    std::vector<LogEntry> m_entries;
    std::unique_ptr<RecoveryJournal> m_journal; // none until opened, or after it failed
    bool m_saving = false;
    bool m_saveAgain = false; // asked for while a save ran
};

} // namespace osk
