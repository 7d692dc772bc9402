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
#include <utility>
#include <vector>

namespace osk::test {

// The sockets of the session server, simulated: a connection is open until the server closes it
// and alive until its peer goes away; a send succeeds only on an alive connection.
class SimulatedHost final : public SessionHost {
public:
    Status send(int slot, QByteArrayView message) override {
        if (!alive.contains(slot))
            return Status::failure(QStringLiteral("no connection"));
        seen.emplace_back(slot, message.toByteArray());
        return {};
    }
    void close(int slot) override {
        if (open.remove(slot))
            seen.emplace_back(slot, QByteArray());
        alive.remove(slot);
    }
    void sessionStarted() override {}
    void showGauge(int value) override { gauge = value; }

    QSet<int> open, alive;
    // Every send, and every close of an open connection (an empty message), in order.
    std::vector<std::pair<int, QByteArray>> seen;
    int gauge = 0;
};

// The session rules driven without sockets, one event at a time:
//   "max N"                    the maximum of users, before the first connection (255 otherwise)
//   "connect NAME ADDRESS"     the client program NAME asks to connect from the computer ADDRESS
//   "send NAME MESSAGE"        one arrival: the rest of the event, blanks included
//   "vanish NAME"              NAME's peer is gone; the server has not noticed yet
//   "sweep", "stop"            a tick of tmrMain; the service's stop
//   "disconnect ROW", "follow ROW"   the operator's commands on a users row
//   "--"                       the end of the set-up: transcript and log lines start again
// The transcript is what the clients and the operator saw, in order: "ana@1" (accepted on slot 1),
// "eva refused", "ana<-USER_OK", "ana closed", "gauge 2", "window [ana]", "focus [ana]",
// "closed [ana]" and "[ana] [09:05:17]  line" for a line shown in a tracking window.
class SessionScript {
public:
    SessionScript() {
        QObject::connect(&tracking, &ActivityTracking::opened, [this](UserLog* log) {
            note(QStringLiteral("window ") + log->caption());
            m_windows.insert(log);
            QObject::connect(log, &UserLog::lineAdded, [this, log](const QString& line) {
                note(log->caption() + QLatin1Char(' ') + line);
            });
        });
        QObject::connect(&tracking, &ActivityTracking::focusRequested,
                         [this](UserLog* log) { note(QStringLiteral("focus ") + log->caption()); });
        // The window closes with its log and asks for that same close once, as the console's does.
        QObject::connect(&tracking, &ActivityTracking::closing, [this](UserLog* log) {
            note(QStringLiteral("closed ") + log->caption());
            if (m_windows.remove(log))
                tracking.closeLog(log);
        });
    }

    SessionDispatcher& dispatcher() {
        if (!m_dispatcher)
            m_dispatcher = std::make_unique<SessionDispatcher>(m_maxUsers, log, users, tracking, host);
        return *m_dispatcher;
    }

    void run(const QStringList& events) {
        for (const QString& event : events) {
            const QString verb = event.section(QLatin1Char(' '), 0, 0);
            const QString name = event.section(QLatin1Char(' '), 1, 1);
            const QString rest = event.section(QLatin1Char(' '), 2);
            if (verb == QLatin1String("--")) {
                host.seen.clear();
                transcript.clear();
                m_linesFrom = log.entries().size();
            } else if (verb == QLatin1String("max")) {
                m_maxUsers = name.toInt();
            } else if (verb == QLatin1String("connect")) {
                connectClient(name, rest);
            } else if (verb == QLatin1String("send") && m_nameOf.value(slotOf(name)) == name) {
                dispatcher().handleArrival(slotOf(name), AnsiCodec::encode(rest));
            } else if (verb == QLatin1String("vanish")) {
                host.alive.remove(slotOf(name));
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
                transcript << QStringLiteral("unknown event ") + event;
            }
            note({});
        }
    }

    int slotOf(const QString& name) const { return m_slotOf.value(name); }
    QStringList rows() const {
        QStringList texts;
        for (int row = 0; row < users.count(); ++row)
            texts << users.row(row).text;
        return texts;
    }
    // "kind text" for every event-log line since the set-up.
    QStringList logLines() const {
        QStringList lines;
        for (size_t i = m_linesFrom; i < log.entries().size(); ++i)
            lines << QString::number(int(log.entries()[i].kind)) + QLatin1Char(' ') +
                         log.entries()[i].text.section(QStringLiteral("]  "), 1);
        return lines;
    }

    FakeClock clock;
    ScriptedOperator op;
    EventLog log{clock, op, QStringLiteral("/nonexistent/osk-session")};
    UsersList users;
    SimulatedHost host;
    ActivityTracking tracking{clock, [this](int slot) {
                                  (void)host.send(slot, "NOLOG");
                              }};
    QStringList transcript;

private:
    void connectClient(const QString& name, const QString& address) {
        const int slot = dispatcher().slotForNewConnection();
        if (slot == 0) {
            transcript << name + QStringLiteral(" refused");
            return;
        }
        host.close(slot); // what the slot still held is dropped
        note(name + QLatin1Char('@') + QString::number(slot));
        m_slotOf[name] = slot;
        m_nameOf[slot] = name;
        host.open.insert(slot);
        host.alive.insert(slot);
        dispatcher().accepted(slot, address);
    }

    // What the host saw so far goes first, then the text, if any; then a new gauge value.
    void note(const QString& text) {
        for (const auto& [slot, message] : host.seen)
            transcript << m_nameOf.value(slot) + (message.isEmpty()
                                                      ? QStringLiteral(" closed")
                                                      : QStringLiteral("<-") + AnsiCodec::decode(message));
        host.seen.clear();
        if (!text.isEmpty())
            transcript << text;
        if (host.gauge != m_gauge)
            transcript << QStringLiteral("gauge ") + QString::number(m_gauge = host.gauge);
    }

    int m_maxUsers = 255;
    std::unique_ptr<SessionDispatcher> m_dispatcher;
    QMap<QString, int> m_slotOf;
    QMap<int, QString> m_nameOf;
    QSet<UserLog*> m_windows;
    size_t m_linesFrom = 0;
    int m_gauge = 0;
};

} // namespace osk::test
