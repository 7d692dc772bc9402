#pragma once

#include "common/program_files.h"
#include "control/control_commands.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <memory>
#include <vector>

class QLocalSocket;

namespace osk {

class ConnectionAcceptor;
class ServerCore;

// The control socket: a local socket, read and written by the program's user and group only, that
// takes one JSON request per line and answers one JSON object per line. Everything runs in the
// event loop, and a caller is never waited for: replies are queued in the socket, so a caller that
// does not read can only fill its own buffer, and its connection is dropped past a limit. The
// socket is accepted on here rather than by Qt, whose local server stops listening for good on the
// first accept that fails (out of descriptors, say); here a failed accept is logged and tried again.
class ControlServer final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ControlServer)

public:
    // A caller that has not read this much of what it was sent is cut off.
    static constexpr qint64 kMaxUnreadBytes = 4 * 1024 * 1024;
    // At most this many callers at once; more are turned away, except root and the program's own
    // user, for whom another caller always makes room (the one idle longest, if any is).
    static constexpr int kMaxConnections = 32;
    // A reply too large to queue (the lines of log) holds the lines it is to send until the caller
    // has read them: at most this many at once, each dropped when nothing of it is read in the
    // request time.
    static constexpr int kMaxPacedReplies = 4;

    explicit ControlServer(ServerCore& core, QObject* parent = nullptr);
    // A caller must send a whole request within this time (10 s unless changed) of connecting, or
    // of its last reply, or it is told and let go: a caller that says nothing, or stops half-way,
    // must not hold a connection for ever.
    void setRequestTimeout(std::chrono::milliseconds timeout) { m_requestTimeout = timeout; }
    ~ControlServer() override;

    // Takes the socket over from a run that ended without removing it. False, with the reason in
    // the event log, when the socket cannot be made, or something other than a socket is in its
    // place (a link or a file is never removed or written through).
    bool listen(const QString& path);
    QString path() const { return m_path; }
    int connectionCount() const { return int(m_connections.size()); }

private:
    class Connection;
    void onAccepted(qintptr descriptor);
    bool makeRoomFor(bool privileged);
    void turnAway(std::unique_ptr<QLocalSocket> socket, const QString& reason);
    int pacedCount() const;
    void remove(Connection* connection);
    void closeListener();

    ServerCore& m_core;
    ControlCommands m_commands;
    int m_listener = -1;
    quint64 m_listenerInode = 0;
    std::unique_ptr<ConnectionAcceptor> m_acceptor;
    std::vector<std::unique_ptr<Connection>> m_connections;
    quint64 m_connectionsMade = 0;
    int m_turnedAway = 0; // callers told to go, waiting for their close
    QString m_path;
    std::chrono::milliseconds m_requestTimeout{10000};
};

} // namespace osk
