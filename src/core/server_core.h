#pragma once

#include "backup/backup_scheduler.h"
#include "backup/wait_dialog.h"
#include "common/operator.h"
#include "common/program_files.h"
#include "common/result.h"
#include "config/main_settings.h"
#include "config/profile_file.h"
#include "core/command_states.h"
#include "core/service_metrics.h"
#include "core/traffic_history.h"
#include "database/client_distribution.h"
#include "database/database_admin.h"
#include "database/external_modules.h"
#include "eventlog/event_log.h"
#include "session/session_server.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace osk {

class Clock;
class Engine;

enum class TrayImage { Stop, Start };

// The server as one object: settings, event log, database engine and list, session server, and
// the service's start and stop with the enabled state of every command they govern. The console
// binds its window to it; the headless service drives it directly. It never opens a window.
class ServerCore final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ServerCore)

public:
    static constexpr int kBackupCheckIntervalMs = 59999;
    static constexpr int kConnectionAttempts = 10;
    // How long the end of the program waits for a cancelled backup: well within the few seconds a
    // service manager grants a stop.
    static constexpr std::chrono::milliseconds kBackupStopWait{3000};

    ServerCore(QString programFolder, const Clock& clock, Operator& op, QObject* parent = nullptr);
    // With an engine of the caller's choosing instead of the one the settings name.
    ServerCore(QString programFolder, std::unique_ptr<Engine> engine, const Clock& clock, Operator& op,
               QObject* parent = nullptr);
    ~ServerCore() override;

    const QString& programFolder() const { return m_programFolder; }
    const Clock& clock() const { return m_clock; }
    OperatorRelay& operatorRelay() { return m_relay; }
    ProfileFile& settingsFile() { return m_settingsFile; }
    const MainSettings& settings() const { return m_settings; }
    EventLog& eventLog() { return m_log; }
    SessionServer& session() { return m_session; }
    DatabaseListModel& lstDB() { return m_databases; }
    CommandStates& commands() { return m_commands; }
    Engine& engine() { return *m_engine; }
    QTimer& tmrBackup() { return m_tmrBackup; }
    BackupScheduler& backups() { return m_backups; }
    ServiceMetrics& metrics() { return m_metrics; }
    const TrafficHistory& traffic() const { return m_traffic; }
    const std::array<BackupSchedule, kBackupScheduleCount>& schedules() const {
        return m_backups.schedules();
    }

    // cnPrincipal: up to ten attempts, letting pending events run between them.
    Status AbreConexion();
    // The same attempts while a stop may be asked for (a signal, the operator's Escape): each runs on
    // a thread of its own and the event loop keeps turning, so that the stop is seen at once rather
    // than after a login's time-out. Stopped, the attempt under way is left to end by itself and
    // keeps the engine: nothing may use the engine again, and the core lets it go when destroyed.
    Status AbreConexion(const std::function<bool()>& stopRequested);
    // One attempt as above; none when the stop came first.
    std::optional<Status> openPrincipalUnlessStopped(const std::function<bool()>& stopRequested);

    // The load of the main window without the window: settings, labels, database list with the
    // server data written into it, and the local address the service start needs. False when the
    // settings file could not be read: the operator has been shown why, and the load went on with
    // the settings read before (no port: nothing is written into the databases, no start).
    bool load();
    // Reads the backup schedules again, as after the schedule editor closes; needs the settings
    // that load() reads.
    void reloadSchedules();

    bool isStarted() const { return m_session.isListening(); }
    // mnuIniciarServicio: true when the service now listens.
    bool startService();
    // mnuDetenerServicio.
    void stopService();
    // mnuDBActualizar: false when the list could not be read; the operator has been told why.
    bool updateDatabases();
    // mnuDBDelete on a row of lstDB: true when the database was dropped.
    bool deleteDatabase(const QString& database);
    // mnuDBExeUpdate on a row of lstDB: what the event log says of it (stored, or no files to
    // store), or the reason when not every file was stored.
    Result<QString> updateClients(const QString& database);
    // The database whose client programs are being copied now, if any.
    const std::optional<QString>& clientsBeingUpdated() const { return m_updatingClients; }
    // Why what would wait on that copy's hold of the database is refused now; empty when no copy runs.
    QString clientsUpdateRefusal() const;
    // mnuDBBackup, mnuDBSecurity, mnuSecurity, mnuDBDownload, mnuDBUpload.
    ExternalModules& modules() { return m_modules; }
    // The console's progress window for updateClients; none by default.
    void setProgressView(ProgressView& view) { m_progress = &view; }
    ProgressView& progressView() const { return *m_progress; }

    // mnuUserClose and mnuUserLog on a row of lstUsers; a failure to ask the client for its
    // activity is shown to the operator.
    void disconnectUser(int row) { m_session.disconnectRow(row); }
    void followUser(int row);

    // mnuServicioPuerto: a new port is used from the next start and written into the databases now.
    void mnuServicioPuerto();
    // mnuSQL: another SQL Server for the next start.
    void mnuSQL();
    // mnuAutoStart and mnuMinStart: their check marks, which mirror the settings file; the flags
    // that this run's load acted on stay in settings().
    bool isAutoStartChecked() const { return m_autoStartChecked; }
    bool isMinStartChecked() const { return m_minStartChecked; }
    void mnuAutoStart();
    void mnuMinStart();

    // mnuSaveLog.
    Status saveLog() { return m_log.save(); }
    // The save at the end of the program, after which the run counts as ended cleanly. A running
    // backup is cancelled first and its outcome logged, within kBackupStopWait.
    Status saveLogAtExit();

    QString caption() const { return m_caption; }
    TrayImage trayImage() const { return m_trayImage; }
    QString localAddress() const { return m_localAddress; }
    QString portLabel() const;
    QString sqlServerLabel() const;
    QString ipLabel() const;
    QString hostLabel() const;

signals:
    void captionChanged(const QString& caption);
    void trayImageChanged(osk::TrayImage image);
    void labelsChanged();
    void checkMarksChanged();

private:
    void setCaption(const QString& caption);
    void setTrayImage(TrayImage image);
    void setStartedCommands(bool started);

    QString m_programFolder;
    const Clock& m_clock;
    // Every part of the core asks its questions through the relay, so that a control request can
    // answer them for the length of one command.
    OperatorRelay m_relay;
    Operator& m_operator = m_relay;
    ProfileFile m_settingsFile;
    MainSettings m_settings;
    EventLog m_log;
    std::unique_ptr<Engine> m_engine;
    bool m_engineHeldByAttempt = false;
    DatabaseListModel m_databases;
    DatabaseAdmin m_admin;
    SessionServer m_session;
    CommandStates m_commands;
    QTimer m_tmrBackup;
    HeadlessWaitDialog m_waitDialog;
    NoProgressView m_noProgress;
    ProgressView* m_progress = &m_noProgress;
    ProcessLauncher m_launcher;
    BackupScheduler m_backups;
    // After what it counts, so that it is there before the first line is logged.
    ServiceMetrics m_metrics;
    TrafficHistory m_traffic;
    ExternalModules m_modules;
    QString m_caption;
    TrayImage m_trayImage = TrayImage::Stop;
    QString m_localAddress;
    QString m_localHostName;
    bool m_autoStartChecked = false;
    bool m_minStartChecked = false;
    std::optional<QString> m_updatingClients;
};

// The first IPv4 address of this computer that is not a loopback address; the loopback address
// when that is all there is; empty when the computer has no IPv4 address at all.
QString localIpv4Address();

} // namespace osk
