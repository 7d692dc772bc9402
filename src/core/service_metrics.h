#pragma once

#include "session/session_dispatcher.h"

#include <QByteArray>
#include <QObject>
#include <QtGlobal>
#include <array>

namespace osk {

class BackupScheduler;
class Clock;
class EventLog;
class SessionServer;
struct LogEntry;

// Where an administrator's request came in.
enum class AdminTransport { Control, Web };

// The service's counts for a monitoring system that scrapes them, in the text format such systems
// read. The counts follow the subsystems' signals, so the session path pays one signal per session
// start and end and nothing per message; the gauges are read from the session server when asked.
// Counters count from the program's start and never go down: a stop and start of the service
// leaves them as they are. Lives as long as the subsystems it is given.
class ServiceMetrics final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ServiceMetrics)

public:
    // What an HTTP reply of exposition() says it holds.
    static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

    ServiceMetrics(SessionServer& session, BackupScheduler& backups, EventLog& log, const Clock& clock,
                   QObject* parent = nullptr);

    // One request of an administrator that its transport has parsed, whatever came of it.
    void countCommand(AdminTransport transport);

    // Every metric, each with its HELP and TYPE lines before its samples, every label value of a
    // labelled metric present (0 when nothing was counted), ending with a newline.
    QByteArray exposition() const;

private:
    void onSessionRemoved(SessionEnd how);
    void onBackupFinished(bool ok);
    void onEntryAdded(const LogEntry& entry);

    SessionServer& m_session;
    const Clock& m_clock;
    qint64 m_sessionsStarted = 0;
    std::array<qint64, 4> m_sessionsRemoved{}; // by SessionEnd
    qint64 m_connectionsRefused = 0;
    qint64 m_backupsOk = 0;
    qint64 m_backupsFailed = 0;
    qint64 m_lastBackupSuccess = 0;          // Unix time; 0 while no backup has succeeded
    std::array<qint64, 3> m_logLines{};      // by LogKind, from Done
    std::array<qint64, 2> m_adminCommands{}; // by AdminTransport
};

} // namespace osk
