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
//
// The journal and the daily files are the program's own (OwnedFile): a symbolic link, a FIFO, a
// device or a folder in their place is refused with a message that names it, never written through
// nor waited on. A write that fails (a full disk) is taken back whole and says the system's reason;
// the lines stay in memory for the next save. A journal that fails is said once and tried again, at
// most once every kJournalRetrySeconds, on the next line logged after that, and after every good
// save; back, it holds every line not yet in a day's file, and none that is.
class EventLog final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EventLog)

public:
    static constexpr size_t kMaxHeldLines = 50000;
    static constexpr qsizetype kMaxHeldCharacters = 4 * 1024 * 1024;
    static constexpr int kJournalRetrySeconds = 60;

    EventLog(const Clock& clock, Operator& op, QString programFolder, QObject* parent = nullptr);
    ~EventLog() override;

    // To be called once, before the first AddLog. Appends what the journal holds from a run that
    // did not end cleanly to the daily file of its first line's date as a block of its own, says so
    // with a kind-3 line, and from then on journals every line. A journal that cannot be used is
    // reported with a kind-3 line and the log carries on without one until it can be used again
    // (tried as the class comment says); lines it could not recover stay in it for a later try.
    void openJournal();
    QString journalPath() const;

    void AddLog(const QString& text, LogKind kind);

    // The lines since the last midnight (or the start of the run, or the last block saved for the
    // bound).
    const std::vector<LogEntry>& entries() const { return m_entries; }
    QString logFolder() const;
    // Log/DDMMYYYY.log: where the lines of that day are saved.
    QString dayFilePath(const QDate& day) const;

    // Appends the whole list as one BEGIN/END block to today's file. On failure the operator is
    // told "No se ha podido guardar el registro." with the reason, and the reason is returned. A
    // save asked for while one runs follows it.
    Status save();
    // The save at the end of the run. After a good save the journal is emptied and closed: only the
    // save's own report is logged after the block, and the end of a run never saves that line. A
    // failed save leaves the journal for the next start to recover (an earlier run's lines not yet
    // recovered stay in it after a good save too).
    Status saveAtExit();

    enum class PendingEvents { Run, Wait };
    // Saves the lines in memory of days before `today`, each day's to its own file, and lets them
    // go; `pending` says whether events may run between the lines. Runs by itself at midnight,
    // before the first line of a new day and before a save; fails as the first day's save did.
    Status rollOver(const QDate& today, PendingEvents pending = PendingEvents::Run);

signals:
    void entryAdded(const osk::LogEntry& entry);

private:
    void armMidnightTimer();
    Status saveDay(const QDate& day, PendingEvents pending);
    Status saveOnce();
    Status writeBlock(const QString& path, const QString& date, size_t count, PendingEvents pending);
    bool holdsTooMuch() const;
    void saveHeldLines();

    enum class JournalState {
        NotOpened, // openJournal not called: no line is journaled
        Up,        // every line logged is appended to it
        Down,      // failed or refused: tried again as the class comment says
        Closed,    // emptied at the end of the run
    };
    // Opens the journal, then writes an earlier run's lines found in it to their day's file, then
    // makes it hold the lines not yet in a day's file. `first`: at the start, where a failure is
    // said; a later try says nothing unless it brings the journal back.
    void bringJournalUp(bool first);
    Status openJournalFile();
    Status recoverLeftover();
    // After a block reached its day's file: the journal lets go of its lines, or comes back.
    void journalAfterSave();
    bool journalRetryDue(const QDateTime& now) const;
    // What the journal is to hold: the lines in memory not yet in a day's file.
    QByteArray unsavedLines() const;
    // Stops journaling after a failure and says so, once; the descriptor, if any, is kept for the
    // next try, so that the lines the journal holds stay there meanwhile.
    void dropJournal(const QString& reason);

    const Clock& m_clock;
    Operator& m_operator;
    QString m_programFolder;
    std::vector<LogEntry> m_entries;
    std::vector<QDate> m_dates; // the date each line in m_entries was logged on, as journaled
    // The lines before it are in the day's file already: an operator's save keeps them in memory.
    size_t m_unsaved = 0;
    std::unique_ptr<RecoveryJournal> m_journal; // none until opened, or while it cannot be opened
    JournalState m_journalState = JournalState::NotOpened;
    bool m_leftoverPending = false; // the journal holds an earlier run's lines, not yet recovered
    QDateTime m_journalTried;       // by the program's clock: when the journal last failed or was tried
    bool m_saving = false;
    bool m_saveAgain = false;      // asked for while a save ran
    QDate m_day;                   // the date of the first line in memory
    bool m_rollOverFailed = false; // until the timer tries again, lines stay in memory
    qsizetype m_heldCharacters = 0;
    QTimer m_midnight;
    QTimer m_saveHeld; // the block saved for the bound, from the event loop
};

} // namespace osk
