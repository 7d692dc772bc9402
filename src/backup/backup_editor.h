#pragma once

#include "backup/backup_schedule.h"

#include <QObject>
#include <QString>
#include <QStringList>

namespace osk {

class Engine;
class Operator;
class ProfileFile;

// What the schedule editor's controls show. Indexes are list entries, -1 for no selection.
struct BackupEditorControls {
    int backup = -1;             // cboBackup: the schedule shown
    int type = 0;                // cboType: 0 "Inactiva", 1 "Diaria", 2 "Semanal"
    int database = -1;           // cboDB
    bool dayListFilled = false;  // cboDay holds the seven day names
    int day = -1;                // cboDay
    QString hour;                // txtHour
    QString minute;              // txtMinute
    QString file;                // txtFile
    bool detailsEnabled = false; // cboDB, txtHour, txtMinute, txtFile and cmdFile
    bool dayEnabled = false;     // cboDay
};

// frmAutoBackup without its widgets: its own copy of the three schedules, read from the settings
// file by load() and written back only by accept(), and the state of every control, which the
// dialog mirrors. Every operator action is a method; controlsChanged() tells the dialog to
// refresh.
//
// Two cases the records allow but the type list cannot show:
// - A "Type" other than 0, 1 or 2 is shown as "Semanal", which is how the check runs it; it is
//   written back unchanged unless the operator stores that schedule, which makes it 2.
// - A schedule that names no database entry (the list is empty because it could not be filled)
//   may still be made active: no database is selected, and storing keeps the database the record
//   had, so a failed list never wipes the stored names. A "Day" beyond Sunday is treated the
//   same way: no weekday is selected and storing keeps it.
class BackupEditor final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BackupEditor)

public:
    static constexpr int kInactive = 0;
    static constexpr int kDaily = 1;
    static constexpr int kWeekly = 2;

    static const QStringList& backupNames();
    static const QStringList& typeNames();
    static const QStringList& dayNames();

    BackupEditor(Engine& engine, ProfileFile& settings, Operator& op, QObject* parent = nullptr);

    // The dialog's load: the database list, the three sections, then schedule 0 on screen.
    void load();

    const BackupSchedules& schedules() const { return m_schedules; }
    // The schedule the controls show; -1 before load().
    int shownIndex() const { return m_shown; }
    const QStringList& databases() const { return m_databases; }
    const BackupEditorControls& controls() const { return m_controls; }

    // cboBackup: shows another schedule once the one on screen is stored. Refused, the old one
    // staying on screen, when its hour or minute does not validate or when it is active without
    // a file or with a file the backup must not replace (checkBackupOutput), the file judged as
    // the settings file will hold it (storedOutputFile).
    void selectBackup(int index);
    // cboType.
    void selectType(int index);
    void selectDatabase(int index);
    void selectDay(int index);
    void setHourText(const QString& text);
    void setMinuteText(const QString& text);
    void setFileText(const QString& text);

    // The checks of txtHour and txtMinute; a failure has told the operator.
    bool validateHour();
    bool validateMinute();

    // cmdFile: the save dialog; a cancelled dialog leaves the file text as it was.
    void chooseFile();

    // cmdAceptar: false when the hour or minute or the file on screen was refused and the dialog
    // stays open; otherwise
    // the schedules have been written (or the failure told) and the dialog is to close.
    bool accept();
    // What the last accept() that got to the save made of it: a failure names the file and why.
    const Status& lastSave() const { return m_lastSave; }

signals:
    void controlsChanged();

private:
    void fillDatabases();
    void applyType(int type);
    void storeControls(int index);
    void showSchedule(int index);
    bool validateTime();
    bool outputRefused();
    void warnAboutOutputFolders();

    Engine& m_engine;
    ProfileFile& m_settings;
    Operator& m_operator;
    BackupSchedules m_schedules{};
    int m_shown = -1;
    QStringList m_databases;
    BackupEditorControls m_controls;
    Status m_lastSave;
};

} // namespace osk
