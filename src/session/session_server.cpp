#include "session/session_server.h"

#include "common/ansi_codec.h"
#include "common/vb.h"
#include "eventlog/event_log.h"
#include "session/protocol.h"
#include "session/socket_io.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

namespace osk {

namespace {
// The description the original socket layer gave for a send on a slot with no connection.
const QString kWrongState =
    QStringLiteral("Wrong protocol or connection state for the requested transaction or request");
const QString kNoSuchRow = QStringLiteral("Index out of bounds");
// The error number a port outside 1 to 65535 is reported with.
constexpr int kInvalidPropertyValue = 380;
// Room for every client of a full server to be connecting at the same moment.
constexpr int kListenBacklog = 512;

QString text(QByteArrayView bytes) {
    return AnsiCodec::decode(bytes);
}

// Schedules the socket's deletion after the handler that is running returns.
void dispose(std::unique_ptr<QTcpSocket>& socket) {
    if (!socket)
        return;
    socket->disconnect();
    socket.release()->deleteLater();
}
} // namespace

// Slot 0 of WSock: hands each pending connection to the session server as a plain descriptor, so
// the server decides what to do with it before Qt buffers anything.
class Listener final : public QTcpServer {
public:
    explicit Listener(std::function<void(qintptr)> onRequest)
        : m_onRequest(std::move(onRequest)) {}

protected:
    void incomingConnection(qintptr descriptor) override { m_onRequest(descriptor); }

private:
    std::function<void(qintptr)> m_onRequest;
};

SessionServer::SessionServer(const Clock& clock, EventLog& log, int maxUsers, QObject* parent)
    : QObject(parent)
    , m_clock(clock)
    , m_log(log)
    , m_maxUsers(maxUsers)
    , m_tracking(clock, [this](int slot) { CloseLog(slot); })
    , m_readBuffer(int(kMaxArrivalBytes), Qt::Uninitialized) {
    m_slots.resize(1); // slot 0, the listening socket, never carries a client
    m_tmrMain.setInterval(kSweepIntervalMs);
    connect(&m_tmrMain, &QTimer::timeout, this, &SessionServer::sweep);
    resetBytesLabel();
}

SessionServer::~SessionServer() {
    // No event loop runs after this, so sockets are deleted here rather than later.
    for (Slot& slot : m_slots)
        delete slot.socket.release();
    delete m_refusal.release();
}

SessionServer::ListenOutcome SessionServer::listen(int port) {
    m_listenError.clear();
    m_listenErrorNumber = 0;
    if (port < 1 || port > 65535) {
        m_listenErrorNumber = kInvalidPropertyValue;
        m_listenError = QStringLiteral("Invalid property value");
        return ListenOutcome::Failed;
    }
    if (!m_listener) {
        m_listener =
            std::make_unique<Listener>([this](qintptr descriptor) { onConnectionRequest(descriptor); });
        // Every client may come back at once (after a restart or a network cut). With Qt's
        // default queue of 50, the system dropped the rest of such a burst and the clients waited
        // seconds for their greeting (tests/soak/churn_soak).
        m_listener->setListenBacklogSize(kListenBacklog);
    }
    if (m_listener->listen(QHostAddress::AnyIPv4, quint16(port)))
        return ListenOutcome::Listening;
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
    return m_slots.at(size_t(slot)).tag;
}

QString SessionServer::remoteAddress(int slot) const {
    return m_slots.at(size_t(slot)).remoteAddress;
}

bool SessionServer::isConnected(int slot) const {
    const Slot& s = m_slots.at(size_t(slot));
    return s.socket && !s.failed && s.socket->state() == QAbstractSocket::ConnectedState;
}

int SessionServer::CuentaConexiones() const {
    int count = 0;
    for (const Slot& slot : m_slots)
        count += slot.tag.isEmpty() ? 0 : 1;
    return count;
}

void SessionServer::onConnectionRequest(qintptr descriptor) {
    m_log.AddLog(QStringLiteral("Recibiendo petición de conexión..."), LogKind::Info);
    auto socket = std::make_unique<QTcpSocket>();
    // Opened unbuffered, which measured faster (bench/). Qt still reads through a buffer of its
    // own; it is bounded to one arrival, so a client that floods the server waits in the system's
    // buffers instead of the server's memory.
    if (!socket->setSocketDescriptor(descriptor, QAbstractSocket::ConnectedState,
                                     QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        m_log.AddLog(QStringLiteral("WSock_ConnectionRequest: ") + socket->errorString(), LogKind::Error);
        return;
    }
    tuneAcceptedSocket(*socket, kVanishedPeerTimeoutMs);
    socket->setReadBufferSize(kMaxArrivalBytes);
    if (CuentaConexiones() < m_maxUsers)
        accept(std::move(socket));
    else
        refuse(std::move(socket));
}

void SessionServer::accept(std::unique_ptr<QTcpSocket> socket) {
    // The free slot with the highest index, or a new one after the last.
    int chosen = 0;
    for (int i = 1; i < slotCount(); ++i) {
        if (m_slots[size_t(i)].tag.isEmpty())
            chosen = i;
    }
    if (chosen == 0) {
        chosen = slotCount();
        m_slots.emplace_back();
    }
    closeSlot(chosen); // whatever the slot still held is dropped

    Slot& slot = m_slots[size_t(chosen)];
    slot.socket = std::move(socket);
    setTag(chosen, {});
    slot.failed = false;
    slot.remoteAddress = slot.socket->peerAddress().toString();
    connect(slot.socket.get(), &QTcpSocket::readyRead, this, [this, chosen] { onDataArrival(chosen); });
    connect(slot.socket.get(), &QTcpSocket::errorOccurred, this,
            [this, chosen] { m_slots[size_t(chosen)].failed = true; });

    if (Status sent = send(chosen, protocol::kConnected); !sent) {
        m_log.AddLog(QStringLiteral("WSock_ConnectionRequest: ") + sent.error(), LogKind::Error);
        return;
    }
    m_log.AddLog(QStringLiteral("Conexión aceptada. Esperando inicio de sesión..."), LogKind::Done);
}

// WSockT keeps the most recently refused client until the next refusal replaces it.
void SessionServer::refuse(std::unique_ptr<QTcpSocket> socket) {
    if (m_refusal)
        m_refusal->abort();
    dispose(m_refusal);
    m_refusal = std::move(socket);
    m_refusal->write(protocol::kMaxUsersRaised.data(), protocol::kMaxUsersRaised.size());
    m_refusal->flush();
    m_log.AddLog(QStringLiteral("No se permiten más conexiones."), LogKind::Error);
}

void SessionServer::onDataArrival(int slot) {
    QTcpSocket* socket = m_slots[size_t(slot)].socket.get();
    if (!socket)
        return;
    const qint64 read = socket->read(m_readBuffer.data(), kMaxArrivalBytes);
    if (read <= 0)
        return;
    if (read == kMaxArrivalBytes) {
        // More may be waiting, and the socket will not announce it again: the next arrival is
        // read once this one has been handled.
        QMetaObject::invokeMethod(
            this,
            [this, slot, guard = QPointer<QTcpSocket>(socket)] {
                if (guard && m_slots[size_t(slot)].socket.get() == guard)
                    onDataArrival(slot);
            },
            Qt::QueuedConnection);
    }
    m_receivedBytes += read;
    if (Status handled = dispatch(slot, QByteArrayView(m_readBuffer.constData(), read)); !handled)
        m_log.AddLog(QStringLiteral("WSock_DataArrival: ") + handled.error(), LogKind::Error);
}

// One message: first by its prefix, then by the connection's Tag.
Status SessionServer::dispatch(int slot, QByteArrayView message) {
    using protocol::MessageType;
    switch (protocol::classify(message)) {
    case MessageType::UserAvailable: {
        const Result<bool> duplicate = answerAvailability(slot, message);
        if (!duplicate)
            return Status::failure(duplicate.error());
        if (*duplicate) {
            updateGauge();
            return {};
        }
        break;
    }
    case MessageType::User:
        return handleUserMessage(slot, message);
    case MessageType::Log:
        m_tracking.handOff(text(protocol::userPart(m_slots[size_t(slot)].tag)),
                           text(protocol::logLine(message)));
        break;
    case MessageType::Note:
        if (Status relayed = relayNote(message); !relayed)
            return relayed;
        break;
    case MessageType::Other:
        break;
    }

    if (m_slots[size_t(slot)].tag.isEmpty()) {
        ValidaUsuario(slot, message);
        m_tmrMain.start();
    } else if (message == protocol::kClose) {
        if (Status ended = endSession(slot); !ended)
            return ended;
    }
    updateGauge();
    return {};
}

void SessionServer::setTag(int slot, QByteArray tag) {
    QByteArray& current = m_slots[size_t(slot)].tag;
    if (protocol::hasUser(current)) {
        const auto it = m_validatedUsers.find(protocol::userPart(current));
        if (it != m_validatedUsers.end() && --it.value() == 0)
            m_validatedUsers.erase(it);
    }
    current = std::move(tag);
    if (protocol::hasUser(current))
        ++m_validatedUsers[protocol::userPart(current)];
}

bool SessionServer::validatedElsewhere(int slot, QByteArrayView user) const {
    const auto it = m_validatedUsers.constFind(user.toByteArray());
    if (it == m_validatedUsers.constEnd())
        return false;
    const QByteArray& own = m_slots[size_t(slot)].tag;
    const bool ownUser = protocol::hasUser(own) && protocol::afterFirst(own, '|') == user;
    return it.value() > (ownUser ? 1 : 0);
}

// True when the answer was "USER_DUPLICATE".
Result<bool> SessionServer::answerAvailability(int slot, QByteArrayView message) {
    const bool duplicate = validatedElsewhere(slot, protocol::afterFirst(message, '='));
    if (Status sent = send(slot, duplicate ? protocol::kUserDuplicate : protocol::kUserOk); !sent)
        return Result<bool>::failure(sent.error());
    return duplicate;
}

Status SessionServer::handleUserMessage(int slot, QByteArrayView message) {
    Slot& s = m_slots[size_t(slot)];
    if (protocol::hasUser(s.tag))
        return changeUser(slot, message);

    const QByteArray session = s.tag;
    const protocol::UserFields fields = protocol::userFields(message);
    if (validatedElsewhere(slot, fields.user)) {
        Status sent = send(slot, protocol::kUserDuplicate);
        if (sent)
            updateGauge();
        return sent;
    }
    if (Status sent = send(slot, protocol::kUserOk); !sent)
        return sent;
    setTag(slot, protocol::joinTag(session, fields.user));
    m_log.AddLog(QStringLiteral("Validado usuario [") + text(fields.user) + QStringLiteral("] en [") +
                     text(session) + QStringLiteral("]."),
                 LogKind::Info);
    m_users.append(UsersList::rowText(s.remoteAddress, text(fields.user), text(session), fields.hasExtra,
                                      text(fields.extra), false),
                   slot);
    return {};
}

// A validated connection names another user: no duplicate test and no reply.
Status SessionServer::changeUser(int slot, QByteArrayView message) {
    Slot& s = m_slots[size_t(slot)];
    const QByteArray session = protocol::sessionPart(s.tag);
    const protocol::UserFields fields = protocol::userFields(message);
    setTag(slot, protocol::joinTag(session, fields.user));
    m_log.AddLog(QStringLiteral("Cambiado usuario a [") + text(fields.user) + QStringLiteral("] en [") +
                     text(session) + QStringLiteral("]."),
                 LogKind::Done);
    const int row = m_users.findByAddress(s.remoteAddress);
    if (row < 0)
        return Status::failure(kNoSuchRow);
    m_users.remove(row);
    m_users.insert(row,
                   UsersList::rowText(s.remoteAddress, text(fields.user), text(session), fields.hasExtra,
                                      text(fields.extra), true),
                   slot);
    return {};
}

Status SessionServer::relayNote(QByteArrayView message) {
    const protocol::NoteFields fields = protocol::noteFields(message);
    for (int i = 1; i < slotCount(); ++i) {
        if (protocol::userPart(m_slots[size_t(i)].tag) == fields.addressee)
            return send(i,
                        QByteArray(protocol::kNotePrefix.data(), protocol::kNotePrefix.size()) + fields.note);
    }
    return {};
}

Status SessionServer::endSession(int slot) {
    Slot& s = m_slots[size_t(slot)];
    const QByteArray user = protocol::userPart(s.tag);
    if (protocol::hasUser(s.tag)) {
        if (const int row = m_users.findByAddress(s.remoteAddress); row >= 0) {
            m_log.AddLog(QStringLiteral("Sesion cerrada para [") + text(user) + QStringLiteral("]."),
                         LogKind::Done);
            m_users.remove(row);
        }
    }
    if (Status sent = send(slot, protocol::kClosed); !sent)
        return sent;
    m_tracking.operate(text(user), true, 0);
    setTag(slot, {});
    return {};
}

void SessionServer::ValidaUsuario(int slot, QByteArrayView sessionText) {
    setTag(slot, sessionText.toByteArray());
    const QByteArray& tag = m_slots[size_t(slot)].tag;
    m_log.AddLog(QStringLiteral("Inicio de sesión para [") + text(tag) + QStringLiteral("] completado."),
                 LogKind::Done);
}

Status SessionServer::send(int slot, QByteArrayView message) {
    if (slot < 0 || slot >= slotCount() || !isConnected(slot))
        return Status::failure(kWrongState);
    QTcpSocket& socket = *m_slots[size_t(slot)].socket;
    if (!sendNow(socket, message))
        return Status::failure(socket.errorString());
    return {};
}

// A probe fails when the send fails, and also when the connection has already gone: a write made
// before the event loop noticed the close still lands in Qt's buffer.
bool SessionServer::probe(int slot) {
    return send(slot, protocol::kCheck).ok();
}

void SessionServer::closeSlot(int slot) {
    std::unique_ptr<QTcpSocket>& socket = m_slots[size_t(slot)].socket;
    if (!socket)
        return;
    socket->disconnect(this);
    socket->close();
    dispose(socket);
}

void SessionServer::sweep() {
    for (int i = 0; i < slotCount(); ++i) {
        Slot& slot = m_slots[size_t(i)];
        if (slot.tag.isEmpty() || probe(i))
            continue;
        const QString address = slot.remoteAddress;
        const QByteArray user = protocol::userPart(slot.tag);
        closeSlot(i);
        m_tracking.operate(text(user), true, 0);
        setTag(i, {});
        for (int row = m_users.findByAddress(address); row >= 0; row = m_users.findByAddress(address, row)) {
            m_users.remove(row);
            m_log.AddLog(QStringLiteral("Usuario no encontrado. Eliminando..."), LogKind::Error);
        }
    }
    setBytesLabel(QLatin1Char(' ') + vb::formatThousands(m_receivedBytes) +
                  QStringLiteral(" bytes recibidos"));
    updateGauge();
}

void SessionServer::closeAll() {
    for (int i = 0; i < slotCount(); ++i) {
        if (!m_slots[size_t(i)].tag.isEmpty() && isConnected(i))
            (void)send(i, protocol::kClosed);
        closeSlot(i);
        setTag(i, {});
    }
    if (m_listener)
        m_listener->close();
    m_users.clear();
}

void SessionServer::resetBytesLabel() {
    setBytesLabel(QStringLiteral(" 0 bytes recibidos"));
}

void SessionServer::disconnectRow(int row) {
    if (row < 0 || row >= m_users.count())
        return;
    const int slot = m_users.row(row).slot;
    if (slot < 0 || slot >= slotCount())
        return;
    closeSlot(slot);
    const QByteArray tag = m_slots[size_t(slot)].tag;
    // A row can outlive its user (a "CLOSE" that took another row of the same address): the line
    // then names the session alone.
    const QByteArray session = protocol::sessionPart(tag);
    const QByteArray user = protocol::hasUser(tag) ? protocol::userPart(tag) : QByteArray();
    m_log.AddLog(QStringLiteral("Usuario [") + text(user) + QStringLiteral("] en [") + text(session) +
                     QStringLiteral("] desconectado manualmente."),
                 LogKind::Error);
    setTag(slot, {});
    m_users.remove(row);
}

void SessionServer::openTracking(int row) {
    if (row < 0 || row >= m_users.count())
        return;
    const int slot = m_users.row(row).slot;
    if (Status sent = send(slot, protocol::kLog); !sent) {
        m_log.AddLog(QStringLiteral("mnuUserLog_Click: ") + sent.error(), LogKind::Error);
        return;
    }
    m_tracking.operate(text(protocol::userPart(m_slots[size_t(slot)].tag)), false, slot);
}

void SessionServer::CloseLog(int slot) {
    (void)send(slot, protocol::kNoLog);
}

void SessionServer::updateGauge() {
    if (m_gauge == m_users.count())
        return;
    m_gauge = m_users.count();
    emit gaugeChanged(m_gauge);
}

void SessionServer::setBytesLabel(const QString& label) {
    if (m_bytesLabel == label)
        return;
    m_bytesLabel = label;
    emit bytesLabelChanged(m_bytesLabel);
}

} // namespace osk
