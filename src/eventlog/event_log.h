#pragma once

#include "common/result.h"

#include <QDate>
#include <QObject>
#include <QString>
#include <QTimer>
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

// The event log: timestamped lines kept in memory and appended to the daily file Log/DDMMYYYY.log
// of the program folder on every save. At local midnight the day's lines are saved to that day's
// file and leave memory, so that a service running for months keeps flat memory and one file per
// day. With its recovery journal open, every line is also on disk at once, so that the lines a crash
// kept from being saved reach the daily file at the next start. What clients do decides how many
// lines a day has, so the lines held are bounded too: past kMaxHeldLines lines or
// kMaxHeldCharacters characters (8 MiB as held) they are saved to the day's file as a block of
// their own, as at midnight, and leave memory.
class EventLog final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EventLog)

public:
    static constexpr size_t kMaxHeldLines = 50000;
    static constexpr qsizetype kMaxHeldCharacters = 4 * 1024 * 1024;

    EventLog(const Clock& clock, Operator& op, QString programFolder, QObject* parent = nullptr);
    ~EventLog() override;

    // To be called once, before the first AddLog. Appends what the journal holds from a run that
    // did not end cleanly to the daily file of its first line's date as a block of its own, says so
    // with a kind-3 line, and from then on journals every line. A journal that cannot be used is
    // reported with a kind-3 line and the log carries on without one.
    void openJournal();
    QString journalPath() const;

    void AddLog(const QString& text, LogKind kind);

    // The lines since the last midnight (or the start of the run, or the last block saved for the
    // bound).
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

    enum class PendingEvents { Run, Wait };
    // When the lines in memory are of an earlier day than `today`, saves them to their day's file
    // and lets them go; `pending` says whether events may run between the lines. Runs by itself at
    // midnight and before the first line of a new day.
    void rollOver(const QDate& today, PendingEvents pending = PendingEvents::Run);

signals:
    void entryAdded(const osk::LogEntry& entry);

private:
    void armMidnightTimer();
    Status saveDay(const QDate& day, PendingEvents pending);
    Status saveOnce();
    Status writeBlock(const QString& path, const QString& date, PendingEvents pending);
    bool holdsTooMuch() const;
    void saveHeldLines();
    void recover();
    // Closes the journal after a failure and says so.
    void dropJournal(const QString& reason);

    const Clock& m_clock;
    Operator& m_operator;
    QString m_programFolder;
    std::vector<LogEntry> m_entries;
    std::unique_ptr<RecoveryJournal> m_journal; // none until opened, or after it failed
    bool m_saving = false;
    bool m_saveAgain = false;      // asked for while a save ran
    QDate m_day;                   // the date of the first line in memory
    bool m_rollOverFailed = false; // until the timer tries again, lines stay in memory
    qsizetype m_heldCharacters = 0;
    QTimer m_midnight;
    QTimer m_saveHeld; // the block saved for the bound, from the event loop
};

} // namespace osk
