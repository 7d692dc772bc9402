#include "session/session_server.h"

#include "common/vb.h"
#include "eventlog/event_log.h"
#include "session/protocol.h"
#include "session/socket_io.h"

#include <QHostAddress>
#include <QTcpServer>

namespace osk {

namespace {
// The description the original socket layer gave for a send on a slot with no connection.
const QString kWrongState =
    QStringLiteral("Protocolo o estado de conexión incorrecto para la transacción o solicitud pedida");
// Its description of a send that found the connection's buffers full.
const QString kNoBufferSpace = QStringLiteral("No hay espacio de búfer disponible");
// The error number a port outside 1 to 65535 is reported with.
constexpr int kInvalidPropertyValue = 380;
// Room for every client of a full server to be connecting at the same moment.
constexpr int kListenBacklog = 512;

// Closes the connection now and deletes it after the handler that is running returns, which may
// be its own.
void dispose(std::unique_ptr<ClientConnection>& socket) {
    if (!socket)
        return;
    socket->close();
    socket.release()->deleteLater();
}
} // namespace

SessionServer::SessionServer(const Clock& clock, EventLog& log, int maxUsers, QObject* parent)
    : QObject(parent)
    , m_clock(clock)
    , m_log(log)
    , m_maxUsers(maxUsers)
    , m_tracking(clock, [this](int slot) { CloseLog(slot); })
    , m_dispatcher(maxUsers, log, m_users, m_tracking, *this)
    , m_readBuffer(int(kMaxArrivalBytes), Qt::Uninitialized) {
    m_connections.resize(1); // slot 0, the listening socket, never carries a client
    m_tmrMain.setInterval(kSweepIntervalMs);
    connect(&m_tmrMain, &QTimer::timeout, this, &SessionServer::sweep);
    resetBytesLabel();
}

SessionServer::~SessionServer() {
    // No event loop runs after this, so sockets are deleted here rather than later.
    for (Connection& connection : m_connections)
        delete connection.socket.release();
    delete m_refusal.release();
}

SessionServer::ListenOutcome SessionServer::listen(int port) {
    m_listenError.clear();
    m_listenErrorNumber = 0;
    if (port < 1 || port > 65535) {
        m_listenErrorNumber = kInvalidPropertyValue;
        m_listenError = QStringLiteral("Valor de propiedad no válido");
        return ListenOutcome::Failed;
    }
    if (!m_listener) {
        m_listener = std::make_unique<QTcpServer>();
        // Every client may come back at once (after a restart or a network cut). With Qt's
        // default queue of 50, the system dropped the rest of such a burst and the clients waited
        // seconds for their greeting (tests/soak/churn_soak).
        m_listener->setListenBacklogSize(kListenBacklog);
    }
    if (m_listener->listen(QHostAddress::AnyIPv4, quint16(port))) {
        tuneListeningSocket(m_listener->socketDescriptor(), kVanishedPeerTimeoutMs);
        // Qt binds the port and words its errors; the connections are taken here, as descriptors,
        // so that the server decides what to do with each before anything is buffered.
        m_listener->pauseAccepting();
        m_acceptor = std::make_unique<ConnectionAcceptor>(
            m_listener->socketDescriptor(),
            [this](qintptr descriptor, const QString& peer) { onConnectionRequest(descriptor, peer); },
            [this](const QString& reason) {
                m_log.AddLog(QStringLiteral("WSock_ConnectionRequest: ") + reason, LogKind::Error);
            });
        return ListenOutcome::Listening;
    }
    m_listenError = m_listener->errorString();
    m_listenErrorNumber = int(m_listener->serverError());
    return m_listener->serverError() == QAbstractSocket::AddressInUseError ? ListenOutcome::AddressInUse
                                                                           : ListenOutcome::Failed;
}

bool SessionServer::isListening() const {
    return m_listener && m_listener->isListening();
}

quint16 SessionServer::listeningPort() const {
    return isListening() ? m_listener->serverPort() : 0;
}

QByteArray SessionServer::tag(int slot) const {
    return m_dispatcher.tag(slot);
}

QString SessionServer::remoteAddress(int slot) const {
    return m_dispatcher.remoteAddress(slot);
}

bool SessionServer::isConnected(int slot) const {
    if (slot < 0 || size_t(slot) >= m_connections.size())
        return false;
    const Connection& c = m_connections[size_t(slot)];
    return c.socket && c.socket->isConnected();
}

int SessionServer::CuentaConexiones() const {
    return m_dispatcher.CuentaConexiones();
}

void SessionServer::onConnectionRequest(qintptr descriptor, const QString& peerAddress) {
    m_log.AddLog(QStringLiteral("Recibiendo petición de conexión..."), LogKind::Info);
    // Read only one arrival at a time into the server's one buffer: a client that floods the
    // server waits in the system's buffers instead of the server's memory.
    auto socket = std::make_unique<ClientConnection>(descriptor, peerAddress);
    if (const int slot = slotForNewConnection(); slot > 0)
        accept(slot, std::move(socket));
    else
        refuse(std::move(socket));
}

// A connection whose bytes have arrived has spoken, read or not: before a free slot is taken over,
// what waits on it is handled, which may start its session, and the choice is made again. A slot
// chosen again after its arrival was handled (a message that starts no session) is taken.
int SessionServer::slotForNewConnection() {
    int handled = 0;
    while (true) {
        const int slot = m_dispatcher.slotForNewConnection();
        if (slot <= 0 || slot == handled || !readArrival(slot))
            return slot;
        handled = slot;
    }
}

void SessionServer::accept(int slot, std::unique_ptr<ClientConnection> socket) {
    if (size_t(slot) >= m_connections.size())
        m_connections.resize(size_t(slot) + 1);
    close(slot); // whatever the slot still held is dropped

    Connection& connection = m_connections[size_t(slot)];
    connection.socket = std::move(socket);
    connection.socket->onReadable([this, slot] { onDataArrival(slot); });
    m_dispatcher.accepted(slot, connection.socket->peerAddress());
}

// WSockT keeps the most recently refused client until the next refusal replaces it.
void SessionServer::refuse(std::unique_ptr<ClientConnection> socket) {
    dispose(m_refusal);
    m_refusal = std::move(socket);
    // What the refused client still sends is read and dropped, so that its close is seen and its
    // descriptor let go.
    m_refusal->onReadable([this] {
        char ignored[512];
        (void)m_refusal->read(ignored, sizeof ignored);
    });
    (void)m_refusal->send(protocol::kMaxUsersRaised);
    m_log.AddLog(QStringLiteral("No se permiten más conexiones."), LogKind::Error);
    emit connectionRefused();
}

// One read per announcement: what waits beyond it is announced again on the next pass, after the
// other connections have had theirs.
void SessionServer::onDataArrival(int slot) {
    (void)readArrival(slot);
}

bool SessionServer::readArrival(int slot) {
    if (size_t(slot) >= m_connections.size())
        return false;
    ClientConnection* socket = m_connections[size_t(slot)].socket.get();
    if (!socket)
        return false;
    const qint64 read = socket->read(m_readBuffer.data(), kMaxArrivalBytes);
    if (read <= 0)
        return false;
    m_receivedBytes += read;
    m_dispatcher.handleArrival(slot, QByteArrayView(m_readBuffer.constData(), read));
    return true;
}

Status SessionServer::send(int slot, QByteArrayView message) {
    if (slot < 0 || slot >= slotCount() || !isConnected(slot))
        return Status::failure(kWrongState);
    ClientConnection& socket = *m_connections[size_t(slot)].socket;
    // What the system does not take waits here. A client that reads nothing would make the server
    // hold everything sent to it for as long as its system still answers, so past this bound the
    // connection counts as failed, as a failed send would make it.
    if (socket.bytesToWrite() + message.size() > kMaxQueuedBytes) {
        socket.markFailed(kNoBufferSpace);
        return Status::failure(kNoBufferSpace);
    }
    if (!socket.send(message))
        return Status::failure(socket.errorString());
    return {};
}

void SessionServer::close(int slot) {
    if (slot < 0 || size_t(slot) >= m_connections.size())
        return;
    dispose(m_connections[size_t(slot)].socket);
}

// Enables the sweep; a running sweep keeps its rhythm, or a client that starts sessions faster than
// the interval would hold off every probe.
void SessionServer::sessionStarted() {
    if (!m_tmrMain.isActive())
        m_tmrMain.start();
    emit sessionOpened();
}

void SessionServer::sessionEnded(SessionEnd how) {
    emit sessionRemoved(how);
}

void SessionServer::sweep() {
    m_dispatcher.probeAll();
    setBytesLabel(QLatin1Char(' ') + vb::formatThousands(m_receivedBytes) +
                  QStringLiteral(" bytes recibidos"));
    m_dispatcher.updateGauge();
}

void SessionServer::closeAll() {
    m_dispatcher.closeAll();
    m_acceptor.reset();
    if (m_listener)
        m_listener->close();
}

// Said even when the text is the same: the console shows its first caption until a start.
void SessionServer::resetBytesLabel() {
    m_bytesLabel = QStringLiteral(" 0 bytes recibidos");
    emit bytesLabelChanged(m_bytesLabel);
}

void SessionServer::disconnectRow(int row) {
    m_dispatcher.disconnectRow(row);
}

Status SessionServer::openTracking(int row) {
    return m_dispatcher.openTracking(row);
}

void SessionServer::CloseLog(int slot) {
    (void)send(slot, protocol::kNoLog);
}

void SessionServer::showGauge(int value) {
    emit gaugeChanged(value);
}

// Said on every tick, the same count included: the console shows its first caption until then.
void SessionServer::setBytesLabel(const QString& label) {
    m_bytesLabel = label;
    emit bytesLabelChanged(m_bytesLabel);
}

} // namespace osk
