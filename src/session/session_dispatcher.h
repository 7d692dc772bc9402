#pragma once

#include "common/result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>
#include <vector>

namespace osk {

class ActivityTracking;
class EventLog;
class UsersList;

// How a session came to its end, for the service's counts.
enum class SessionEnd {
    Close,  // the client's "CLOSE"
    Sweep,  // its connection failed a probe of the sweep
    Manual, // the operator's (or an administrator's) disconnection of its row
    Stop,   // the service's stop
};

// What the dispatcher needs of the connections and of the server around it: the sockets of the
// session server, or a simulation of them.
class SessionHost {
public:
    virtual ~SessionHost() = default;
    // One send of the bare text; fails when the slot has no live connection.
    virtual Status send(int slot, QByteArrayView message) = 0;
    // Drops the slot's connection, if it has one.
    virtual void close(int slot) = 0;
    // A session has started: the sweep must run.
    virtual void sessionStarted() = 0;
    // A session has ended: its Tag is emptied, or about to be.
    virtual void sessionEnded(SessionEnd how) = 0;
    // The users gauge shows a new value.
    virtual void showGauge(int value) = 0;
};

// WSock without its sockets: every slot's Tag and remote address, and the rules that change them,
// the users list and the event log, one event at a time. The session server owns the sockets and
// hands each event here, so the rules can be driven without a network.
class SessionDispatcher final {
public:
    SessionDispatcher(int maxUsers, EventLog& log, UsersList& users, ActivityTracking& tracking,
                      SessionHost& host);

    // Slot 0 (the listening socket) is always there and never carries a client.
    int slotCount() const { return int(m_slots.size()); }
    const QByteArray& tag(int slot) const { return m_slots.at(size_t(slot)).tag; }
    const QString& remoteAddress(int slot) const { return m_slots.at(size_t(slot)).remoteAddress; }
    int CuentaConexiones() const;
    int gaugeValue() const { return m_gauge; }

    // The slot a new connection takes (the free slot with the highest index, or a new one after
    // the last), or 0 when the maximum of users is reached.
    int slotForNewConnection();
    // The host has put a new connection on the slot: "CONNECTED" is sent and the session awaited.
    void accepted(int slot, const QString& remoteAddress);
    // One arrival on a slot, taken as one message; failures go to the event log.
    void handleArrival(int slot, QByteArrayView message);
    // Sends "CHECK" to every occupied slot and removes the sessions whose send failed.
    void probeAll();
    // The stop: "CLOSED" to every session, every connection closed, every Tag emptied.
    void closeAll();

    void disconnectRow(int row);
    // Asks the client of the row to report its activity and opens its tracking; fails when the
    // request cannot be sent.
    Status openTracking(int row);
    void updateGauge();

private:
    struct Slot {
        QByteArray tag;
        // Taken at accept time, for the text of the session's row in the users list.
        QString remoteAddress;
    };

    Status dispatch(int slot, QByteArrayView message);
    Result<bool> answerAvailability(int slot, QByteArrayView message);
    Status handleUserMessage(int slot, QByteArrayView message);
    Status changeUser(int slot, QByteArrayView message);
    Status relayNote(QByteArrayView message);
    Status endSession(int slot);
    void ValidaUsuario(int slot, QByteArrayView text);
    void dropDeadSession(int slot);

    void setTag(int slot, QByteArray tag);
    bool validatedElsewhere(int slot, QByteArrayView user) const;

    const int m_maxUsers;
    EventLog& m_log;
    UsersList& m_users;
    ActivityTracking& m_tracking;
    SessionHost& m_host;
    std::vector<Slot> m_slots;
    // How many slots have each user validated: the availability question is asked on every
    // message of some clients and must not scan every slot.
    QHash<QByteArray, int> m_validatedUsers;
    int m_gauge = 0;
};

} // namespace osk
