#pragma once

#include "common/result.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTime>
#include <array>
#include <cstdint>
#include <optional>

namespace osk {

class Engine;
class Operator;
class ProfileFile;

// One scheduled backup, as section "Backup1".."Backup3" of the settings file holds it.
struct BackupSchedule {
    QString DataBase;
    // 0 inactive, 1 daily; every other value is weekly.
    int32_t Type = 0;
    // The weekday of a weekly schedule, 0 = Monday .. 6 = Sunday.
    uint8_t Day = 0;
    // Only hour and minute matter.
    QTime Hour = QTime(0, 0);
    QString OutputFile;
};

inline constexpr int kBackupScheduleCount = 3;
using BackupSchedules = std::array<BackupSchedule, kBackupScheduleCount>;

// The settings section of schedule i (0-based): "Backup1".."Backup3".
QString backupSection(int index);

// The name rule for a SQL Server on this computer: its name is "(LOCAL)" in any case, or this
// computer's name in any case.
bool isLocalSqlServerName(const QString& sqlServerName, const QString& computerName);

// Loads the three schedules. Backup files name the SQL Server machine's own disk, so nothing is
// read unless serverIsLocal: the caller decides it from the engine (the embedded engine counts as
// a SQL Server on this computer) and the name rule above. A section without "Type" stays inactive.
// A value that does not convert shows the operator "Imposible cargar parámetros." with the reason
// and ends the load: schedules already read keep their values, the one being read keeps the
// fields read before the failing one ("Type", "DataBase", "OutputFile", "Day", "Hour" in that
// order), later ones stay inactive.
BackupSchedules loadBackupSchedules(const ProfileFile& file, bool serverIsLocal, Operator& op);

// Writes the three schedules into their sections, keys "Type", "DataBase", "OutPutFile", "Day",
// "Hour" in that order; an inactive schedule is written as "0", "", "", "0", "00:00" whatever its
// record holds. The three sections are written in one replacement of the file: all of it, or
// nothing when the file cannot be written.
Status saveBackupSchedules(ProfileFile& file, const BackupSchedules& schedules);

// One line for each active schedule whose backup file this program cannot write, naming the
// schedule and the folder, or saying that it names no file. The backup makes a new file beside the output
// file and renames it into place, so its folder must exist and take new files. A service confined by its unit
// sees every folder but its own read-only, and learns it from this rather than from a backup that fails at
// night. Only for an engine that writes backup files itself.
QStringList outputFolderProblems(const BackupSchedules& schedules);

// The output file as the settings file gives it back once stored: the blanks around it dropped,
// then one pair of quotes around it, then cut to what a value holds. What the editor stores and
// checks, so that the check judges the file a backup will write.
QString storedOutputFile(const QString& text);

// Refuses, with the reason naming the file as written, an output file that would replace one of
// the server's own files: a database of the engine (or a file SQLite keeps beside one), the
// settings file at settingsPath (its name in any case), the instance lock and the control socket
// (this process's and the program folder's own), the event log's journal or a daily log in the
// folder Log beside it. Each is compared as written and resolved against the output as written and
// resolved, so a link to one of them, and the target of a settings file that is a link, are
// refused too. An output that exists and is no regular file (a folder, a link, a FIFO, a device)
// is refused too: the backup would replace it. A missing one is fine.
Status checkBackupOutput(const QString& outputFile, const Engine& engine, const QString& settingsPath);

// The schedule due at `now`: the lowest-numbered active one whose "HH:MM" is now's "HH:MM" and,
// when weekly, whose Day + 1 is today's weekday counted from Monday = 1.
std::optional<int> dueBackupSchedule(const BackupSchedules& schedules, const QDateTime& now);

} // namespace osk
