#include "core/service_metrics.h"

#include "backup/backup_scheduler.h"
#include "common/clock.h"
#include "eventlog/event_log.h"
#include "session/session_server.h"

#include <QByteArrayView>
#include <initializer_list>
#include <utility>

namespace osk {

namespace {

// A HELP text escapes backslashes and line feeds; a label value escapes double quotes as well.
QByteArray escaped(QByteArrayView text, bool quoted) {
    QByteArray out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && quoted)
            out += "\\\"";
        else
            out += c;
    }
    return out;
}

// The text exposition format, one metric at a time: its HELP and TYPE lines, then its samples.
class Exposition final {
public:
    using Samples = std::initializer_list<std::pair<QByteArrayView, qint64>>;

    void gauge(QByteArrayView name, QByteArrayView help, qint64 value) {
        header(name, "gauge", help);
        sample(name, {}, {}, value);
    }
    void counter(QByteArrayView name, QByteArrayView help, qint64 value) {
        header(name, "counter", help);
        sample(name, {}, {}, value);
    }
    // Every value of the label, each with its count.
    void counter(QByteArrayView name, QByteArrayView help, QByteArrayView label, Samples samples) {
        header(name, "counter", help);
        for (const auto& [labelValue, value] : samples)
            sample(name, label, labelValue, value);
    }
    const QByteArray& text() const { return m_text; }

private:
    void header(QByteArrayView name, QByteArrayView type, QByteArrayView help) {
        m_text.append("# HELP ").append(name).append(' ').append(escaped(help, false)).append('\n');
        m_text.append("# TYPE ").append(name).append(' ').append(type).append('\n');
    }
    void sample(QByteArrayView name, QByteArrayView label, QByteArrayView labelValue, qint64 value) {
        m_text.append(name);
        if (!label.isEmpty())
            m_text.append('{').append(label).append("=\"").append(escaped(labelValue, true)).append("\"}");
        m_text.append(' ').append(QByteArray::number(value)).append('\n');
    }

    QByteArray m_text;
};

} // namespace

ServiceMetrics::ServiceMetrics(SessionServer& session, BackupScheduler& backups, EventLog& log,
                               const Clock& clock, QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_clock(clock) {
    connect(&session, &SessionServer::sessionOpened, this, [this] { ++m_sessionsStarted; });
    connect(&session, &SessionServer::sessionRemoved, this, &ServiceMetrics::onSessionRemoved);
    connect(&session, &SessionServer::connectionRefused, this, [this] { ++m_connectionsRefused; });
    connect(&backups, &BackupScheduler::backupFinished, this, &ServiceMetrics::onBackupFinished);
    connect(&log, &EventLog::entryAdded, this, &ServiceMetrics::onEntryAdded);
}

void ServiceMetrics::countCommand(AdminTransport transport) {
    ++m_adminCommands[size_t(transport)];
}

void ServiceMetrics::onSessionRemoved(SessionEnd how) {
    ++m_sessionsRemoved[size_t(how)];
}

void ServiceMetrics::onBackupFinished(bool ok) {
    if (!ok) {
        ++m_backupsFailed;
        return;
    }
    ++m_backupsOk;
    m_lastBackupSuccess = m_clock.now().toSecsSinceEpoch();
}

void ServiceMetrics::onEntryAdded(const LogEntry& entry) {
    const size_t kind = size_t(entry.kind) - size_t(LogKind::Done);
    if (kind < m_logLines.size())
        ++m_logLines[kind];
}

QByteArray ServiceMetrics::exposition() const {
    using End = SessionEnd;
    const auto removed = [this](End how) {
        return m_sessionsRemoved[size_t(how)];
    };
    const auto lines = [this](LogKind kind) {
        return m_logLines[size_t(kind) - size_t(LogKind::Done)];
    };
    const auto commands = [this](AdminTransport transport) {
        return m_adminCommands[size_t(transport)];
    };
    Exposition out;
    out.gauge("osk_up",
              "1 while the session service is started and takes clients, 0 while it is stopped (the "
              "program answers either way).",
              m_session.isListening() ? 1 : 0);
    out.gauge("osk_users", "Users connected: the sessions with a validated user.",
              m_session.lstUsers().count());
    out.gauge("osk_users_max", "The maximum of concurrent sessions; a connection beyond it is refused.",
              m_session.maxUsers());
    out.counter("osk_received_bytes_total", "Bytes received from clients.", m_session.receivedBytes());
    out.counter("osk_sessions_started_total", "Sessions started by clients.", m_sessionsStarted);
    out.counter("osk_sessions_removed_total",
                "Sessions ended: by the client's CLOSE, by the sweep dropping a dead connection, by an "
                "operator's or administrator's disconnection, by the service's stop.",
                "reason",
                {{"close", removed(End::Close)},
                 {"sweep", removed(End::Sweep)},
                 {"manual", removed(End::Manual)},
                 {"stop", removed(End::Stop)}});
    out.counter("osk_connections_refused_total",
                "Connections turned away because the maximum of concurrent sessions was reached.",
                m_connectionsRefused);
    out.counter("osk_backups_total", "Backups ended, by result; one cancelled at the program's end failed.",
                "result", {{"ok", m_backupsOk}, {"failed", m_backupsFailed}});
    out.gauge("osk_backup_last_success_timestamp_seconds",
              "Unix time at which the last good backup ended; 0 if none has since the program started.",
              m_lastBackupSuccess);
    out.counter(
        "osk_event_log_lines_total", "Lines written to the event log, by kind.", "kind",
        {{"done", lines(LogKind::Done)}, {"info", lines(LogKind::Info)}, {"error", lines(LogKind::Error)}});
    out.counter("osk_admin_commands_total",
                "Administrators' requests parsed, by where they came in: the control socket or the web "
                "console.",
                "transport",
                {{"control", commands(AdminTransport::Control)}, {"web", commands(AdminTransport::Web)}});
    return out.text();
}

} // namespace osk
