#pragma once

#include "common/ansi_codec.h"
#include "eventlog/event_log.h"
#include "session/activity_tracking.h"
#include "session/session_dispatcher.h"
#include "session/user_log.h"
#include "session/users_list.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"

#include <QMap>
#include <QSet>
#include <QStringList>
#include <memory>

namespace osk::test {

// The session rules driven without sockets, over a simulated host: a connection is open until the
// server closes it and alive until its peer goes away; a send succeeds only on an alive connection.
// A step is events joined by "; ":
//   "max N"                   the maximum of users, before the first connection (255 otherwise)
//   "connect NAME ADDRESS"    the client program NAME asks to connect from the computer ADDRESS
//   "send NAME MESSAGE"       one arrival: the rest of the event, blanks included, %XX a byte
//   "vanish NAME"             NAME's peer is gone; the server has not noticed yet
//   "sweep", "stop"           a tick of tmrMain; the service's stop
//   "disconnect ROW", "follow ROW"   the operator's commands on a users row
// snapshot() is what every party can see, for playScript: each client's slot (or "closed",
// "refused"), the users rows, the tracking windows open, the gauge; and since the last step, in
// order, what was seen ("NAME <- REPLY", "NAME closed", "[USER] LINE" shown in its window,
// "focus [USER]") and the event-log lines ("KIND TEXT").
class SessionScript final : public SessionHost {
public:
    SessionScript() {
        QObject::connect(&tracking, &ActivityTracking::opened, [this](UserLog* log) {
            m_windows.insert(log);
            QObject::connect(log, &UserLog::lineAdded,
                             [this, log](const QString& line) { m_events << log->caption() + ' ' + line; });
        });
        QObject::connect(&tracking, &ActivityTracking::focusRequested,
                         [this](UserLog* log) { m_events << "focus " + log->caption(); });
        // The window closes with its log and asks for that same close once, as the console's does.
        QObject::connect(&tracking, &ActivityTracking::closing, [this](UserLog* log) {
            if (m_windows.remove(log))
                tracking.closeLog(log);
        });
    }

    Status send(int slot, QByteArrayView message) override {
        if (!alive.contains(slot))
            return Status::failure(QStringLiteral("no connection"));
        m_events << m_nameOf.value(slot) + " <- " + AnsiCodec::decode(message);
        return {};
    }
    void close(int slot) override {
        if (open.remove(slot)) {
            m_events << m_nameOf.value(slot) + " closed";
            m_state[m_nameOf.value(slot)] = QStringLiteral("closed");
        }
        alive.remove(slot);
    }
    void sessionStarted() override {}
    void sessionEnded(SessionEnd) override {}
    void showGauge(int value) override { gauge = value; }

    SessionDispatcher& dispatcher() {
        if (!m_dispatcher)
            m_dispatcher = std::make_unique<SessionDispatcher>(m_maxUsers, log, users, tracking, *this);
        return *m_dispatcher;
    }
    void run(const QString& step) {
        for (const QString& one : step.split(QStringLiteral("; ")))
            event(one);
    }
    void event(const QString& event) {
        const QString verb = event.section(' ', 0, 0), name = event.section(' ', 1, 1);
        const int slot = m_slotOf.value(name);
        if (verb == QLatin1String("max")) {
            m_maxUsers = name.toInt();
        } else if (verb == QLatin1String("connect")) {
            const int free = dispatcher().slotForNewConnection();
            m_state[name] = free > 0 ? QStringLiteral("open") : QStringLiteral("refused");
            if (free > 0) {
                close(free); // what the slot still held is dropped
                m_slotOf[name] = free;
                m_nameOf[free] = name;
                open.insert(free);
                alive.insert(free);
                dispatcher().accepted(free, event.section(' ', 2));
            }
        } else if (verb == QLatin1String("send") && m_nameOf.value(slot) == name) {
            dispatcher().handleArrival(
                slot, QByteArray::fromPercentEncoding(AnsiCodec::encode(event.section(' ', 2))));
        } else if (verb == QLatin1String("vanish")) {
            alive.remove(slot);
        } else if (verb == QLatin1String("sweep")) {
            dispatcher().probeAll();
            dispatcher().updateGauge();
        } else if (verb == QLatin1String("stop")) {
            dispatcher().closeAll();
        } else if (verb == QLatin1String("disconnect")) {
            dispatcher().disconnectRow(name.toInt());
        } else if (verb == QLatin1String("follow")) {
            (void)dispatcher().openTracking(name.toInt());
        } else if (verb != QLatin1String("send")) {
            m_events << "unknown event " + event; // a script's typo fails its step
        }
    }

    QStringList snapshot() {
        QStringList clients, rows, windows, lines;
        for (auto it = m_state.cbegin(); it != m_state.cend(); ++it)
            clients << it.key() + ' ' +
                           (it.value() == "open" ? QString::number(m_slotOf[it.key()]) : it.value());
        for (int row = 0; row < users.count(); ++row)
            rows << escaped(users.row(row).text);
        for (const UserLog* window : std::as_const(m_windows))
            windows << window->caption();
        for (size_t i = m_linesFrom; i < log.entries().size(); ++i)
            lines << QString::number(int(log.entries()[i].kind)) + ' ' +
                         log.entries()[i].text.section(QStringLiteral("]  "), 1);
        windows.sort();
        QStringList facts{"clients: " + clients.join(" | "), "rows: " + rows.join(" | "),
                          "windows: " + windows.join(' '), QStringLiteral("gauge: %1").arg(gauge)};
        if (!m_events.isEmpty())
            facts << "> seen: " + m_events.join(" | ");
        if (!lines.isEmpty())
            facts << "> log: " + lines.join(" | ");
        return facts;
    }
    void next() {
        m_events.clear();
        m_linesFrom = log.entries().size();
    }

    // Control characters as %XX, so that a snapshot's line stays one line.
    static QString escaped(QString text) {
        for (qsizetype i = text.size() - 1; i >= 0; --i)
            if (text[i].category() == QChar::Other_Control)
                text.replace(i, 1,
                             QStringLiteral("%%1").arg(text[i].unicode(), 2, 16, QLatin1Char('0')).toUpper());
        return text;
    }

    FakeClock clock;
    ScriptedOperator op;
    EventLog log{clock, op, QStringLiteral("/nonexistent/osk-session")};
    UsersList users;
    ActivityTracking tracking{clock, [this](int slot) {
                                  (void)send(slot, "NOLOG");
                              }};
    QSet<int> open, alive;
    int gauge = 0;

private:
    int m_maxUsers = 255;
    std::unique_ptr<SessionDispatcher> m_dispatcher;
    QMap<QString, int> m_slotOf;
    QMap<int, QString> m_nameOf;
    QMap<QString, QString> m_state;
    QSet<UserLog*> m_windows;
    QStringList m_events;
    size_t m_linesFrom = 0;
};

} // namespace osk::test
