#pragma once

#include "common/result.h"
#include "session/activity_tracking.h"
#include "session/session_dispatcher.h"
#include "session/users_list.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTimer>
#include <memory>
#include <vector>

namespace osk {

class Clock;
class EventLog;
class ClientConnection;
class ConnectionAcceptor;

// The session server: the listening socket (slot 0 of WSock), the client slots 1 and up, the spare
// socket WSockT that answers refused requests, the users list, the liveness sweep on tmrMain and
// the received-bytes counter. Every handler runs to completion on the event loop; errors met while
// handling client traffic go to the event log, never to a dialog. The sockets are kept here; what
// each event does to the slots' Tags and the users list is the dispatcher's.
class SessionServer final : public QObject, private SessionHost {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SessionServer)

public:
    static constexpr int kSweepIntervalMs = 5000;
    // One arrival reads at most this much; what waits beyond it is the next arrival.
    static constexpr qint64 kMaxArrivalBytes = 64 * 1024;
    // At most this much waits in the server for a client that is slow to read what it is sent
    // (beyond what the system buffers); a send past it fails and the sweep removes the session.
    static constexpr qint64 kMaxQueuedBytes = 1024 * 1024;
    // A peer that vanishes without closing is given up after this long without an acknowledgement.
    // The first unacknowledged probe may leave up to one sweep after the peer vanished, the system
    // gives up only at a retransmission after the time-out, and the failure is acted on at the next
    // sweep: 5 + 10 + (a few seconds) + 5 s keeps the drop within 30 s with room to spare.
    static constexpr int kVanishedPeerTimeoutMs = 10000;

    enum class ListenOutcome { Listening, AddressInUse, Failed };

    SessionServer(const Clock& clock, EventLog& log, int maxUsers, QObject* parent = nullptr);
    ~SessionServer() override;

    int maxUsers() const { return m_maxUsers; }

    // Slot 0 listens on every IPv4 address of this computer.
    ListenOutcome listen(int port);
    QString listenError() const { return m_listenError; }
    int listenErrorNumber() const { return m_listenErrorNumber; }
    bool isListening() const;
    quint16 listeningPort() const;
    // The stop's work on the sockets: "CLOSED" to every client with a session, every socket closed,
    // every Tag emptied, the users list emptied. Slots are kept for the next start.
    void closeAll();

    // WSock as the rest of the program sees it.
    int slotCount() const { return m_dispatcher.slotCount(); }
    QByteArray tag(int slot) const;
    QString remoteAddress(int slot) const;
    bool isConnected(int slot) const;
    int CuentaConexiones() const;

    UsersList& lstUsers() { return m_users; }
    ActivityTracking& tracking() { return m_tracking; }
    QTimer& tmrMain() { return m_tmrMain; }

    // The users gauge: the number of users rows, as last brought up to date.
    int gaugeValue() const { return m_dispatcher.gaugeValue(); }
    qint64 receivedBytes() const { return m_receivedBytes; }
    QString bytesLabel() const { return m_bytesLabel; }
    void resetBytesLabel();

    // The operator's commands on a row of the users list.
    void disconnectRow(int row);
    Status openTracking(int row);
    // Tells the client on a slot to stop reporting its activity; errors are ignored.
    void CloseLog(int slot);

    // One liveness sweep, as tmrMain runs it.
    void sweep();

signals:
    void gaugeChanged(int value);
    void bytesLabelChanged(const QString& text);
    // Once per session, never per message: the service's counts follow them.
    void sessionOpened();
    void sessionRemoved(osk::SessionEnd how);
    // A connection turned away because the maximum of users is reached.
    void connectionRefused();

private:
    // The socket of one element of WSock; its Tag and remote address are the dispatcher's.
    struct Connection {
        std::unique_ptr<ClientConnection> socket;
    };

    void onConnectionRequest(qintptr descriptor, const QString& peerAddress);
    void accept(int slot, std::unique_ptr<ClientConnection> socket);
    void refuse(std::unique_ptr<ClientConnection> socket);
    int slotForNewConnection();
    void onDataArrival(int slot);
    // One read of what waits on the slot, handled as one arrival; false when nothing was read.
    bool readArrival(int slot);

    Status send(int slot, QByteArrayView message) override;
    void close(int slot) override;
    void sessionStarted() override;
    void sessionEnded(SessionEnd how) override;
    void showGauge(int value) override;
    void setBytesLabel(const QString& text);

    const Clock& m_clock;
    EventLog& m_log;
    const int m_maxUsers;
    std::unique_ptr<QTcpServer> m_listener; // slot 0: binds the port
    std::unique_ptr<ConnectionAcceptor> m_acceptor;
    // Indexed as the dispatcher's slots; grown with them.
    std::vector<Connection> m_connections;
    std::unique_ptr<ClientConnection> m_refusal; // WSockT
    UsersList m_users;
    ActivityTracking m_tracking;
    SessionDispatcher m_dispatcher;
    QTimer m_tmrMain;
    qint64 m_receivedBytes = 0;
    QString m_bytesLabel;
    QString m_listenError;
    int m_listenErrorNumber = 0;
    QByteArray m_readBuffer;
};

} // namespace osk
