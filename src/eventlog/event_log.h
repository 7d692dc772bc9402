#pragma once

#include "common/result.h"

#include <QObject>
#include <QString>
#include <vector>

namespace osk {

class Clock;
class Operator;

// The kinds of event-log line: their icons tell success, progress and error apart.
enum class LogKind { Done = 1, Info = 2, Error = 3 };

struct LogEntry {
    QString text; // "[HH:MM:SS]  " + the caller's text, as shown
    LogKind kind;
};

// The event log: timestamped lines kept in memory for the whole run (never cleared) and appended
// to the daily file Log/DDMMYYYY.log of the program folder on every save.
class EventLog final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EventLog)

public:
    EventLog(const Clock& clock, Operator& op, QString programFolder, QObject* parent = nullptr);

    void AddLog(const QString& text, LogKind kind);

    const std::vector<LogEntry>& entries() const { return m_entries; }
    QString logFolder() const;

    // Appends the whole list as one BEGIN/END block to today's file. On failure the operator is
    // told "No se ha podido guardar el registro." with the reason, and the reason is returned.
    Status save();

signals:
    void entryAdded(const osk::LogEntry& entry);

private:
    Status writeBlock(const QString& path, const QString& date);

    const Clock& m_clock;
    Operator& m_operator;
    QString m_programFolder;
    std::vector<LogEntry> m_entries;
};

} // namespace osk
