#include "session/session_dispatcher.h"

#include "common/ansi_codec.h"
#include "common/shown_text.h"
#include "eventlog/event_log.h"
#include "session/activity_tracking.h"
#include "session/protocol.h"
#include "session/users_list.h"

namespace osk {

namespace {
const QString kNoSuchRow = QStringLiteral("Index out of bounds");

QString text(QByteArrayView bytes) {
    return AnsiCodec::decode(bytes);
}
} // namespace

SessionDispatcher::SessionDispatcher(int maxUsers, EventLog& log, UsersList& users,
                                     ActivityTracking& tracking, SessionHost& host)
    : m_maxUsers(maxUsers)
    , m_log(log)
    , m_users(users)
    , m_tracking(tracking)
    , m_host(host) {
    m_slots.resize(1);
}

int SessionDispatcher::CuentaConexiones() const {
    int count = 0;
    for (const Slot& slot : m_slots)
        count += slot.tag.isEmpty() ? 0 : 1;
    return count;
}

int SessionDispatcher::slotForNewConnection() {
    if (CuentaConexiones() >= m_maxUsers)
        return 0;
    int chosen = 0;
    for (int i = 1; i < slotCount(); ++i) {
        if (m_slots[size_t(i)].tag.isEmpty())
            chosen = i;
    }
    if (chosen == 0) {
        chosen = slotCount();
        m_slots.emplace_back();
    }
    return chosen;
}

void SessionDispatcher::accepted(int slot, const QString& remoteAddress) {
    setTag(slot, {});
    m_slots[size_t(slot)].remoteAddress = remoteAddress;
    if (Status sent = m_host.send(slot, protocol::kConnected); !sent) {
        m_log.AddLog(QStringLiteral("WSock_ConnectionRequest: ") + sent.error(), LogKind::Error);
        return;
    }
    m_log.AddLog(QStringLiteral("Conexión aceptada. Esperando inicio de sesión..."), LogKind::Done);
}

void SessionDispatcher::handleArrival(int slot, QByteArrayView message) {
    if (Status handled = dispatch(slot, message); !handled)
        m_log.AddLog(QStringLiteral("WSock_DataArrival: ") + handled.error(), LogKind::Error);
}

// One message: first by its prefix, then by the connection's Tag.
Status SessionDispatcher::dispatch(int slot, QByteArrayView message) {
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
        m_host.sessionStarted();
    } else if (message == protocol::kClose) {
        if (Status ended = endSession(slot); !ended)
            return ended;
    }
    updateGauge();
    return {};
}

void SessionDispatcher::setTag(int slot, QByteArray tag) {
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

bool SessionDispatcher::validatedElsewhere(int slot, QByteArrayView user) const {
    // Looked up in place: the question comes with nearly every message of some clients.
    const auto it = m_validatedUsers.constFind(QByteArray::fromRawData(user.data(), user.size()));
    if (it == m_validatedUsers.constEnd())
        return false;
    const QByteArray& own = m_slots[size_t(slot)].tag;
    const bool ownUser = protocol::hasUser(own) && protocol::afterFirst(own, '|') == user;
    return it.value() > (ownUser ? 1 : 0);
}

// True when the answer was "USER_DUPLICATE".
Result<bool> SessionDispatcher::answerAvailability(int slot, QByteArrayView message) {
    const bool duplicate = validatedElsewhere(slot, protocol::afterFirst(message, '='));
    if (Status sent = m_host.send(slot, duplicate ? protocol::kUserDuplicate : protocol::kUserOk); !sent)
        return Result<bool>::failure(sent.error());
    return duplicate;
}

Status SessionDispatcher::handleUserMessage(int slot, QByteArrayView message) {
    Slot& s = m_slots[size_t(slot)];
    if (protocol::hasUser(s.tag))
        return changeUser(slot, message);

    const QByteArray session = s.tag;
    const protocol::UserFields fields = protocol::userFields(message);
    if (validatedElsewhere(slot, fields.user)) {
        Status sent = m_host.send(slot, protocol::kUserDuplicate);
        if (sent)
            updateGauge();
        return sent;
    }
    if (Status sent = m_host.send(slot, protocol::kUserOk); !sent)
        return sent;
    setTag(slot, protocol::joinTag(session, fields.user));
    m_log.AddLog(QStringLiteral("Validado usuario [") + loggedClientText(fields.user) +
                     QStringLiteral("] en [") + loggedClientText(session) + QStringLiteral("]."),
                 LogKind::Info);
    m_users.append(UsersList::rowText(s.remoteAddress, text(fields.user), text(session), fields.hasExtra,
                                      text(fields.extra), false),
                   slot);
    return {};
}

// A validated connection names another user: no duplicate test and no reply.
Status SessionDispatcher::changeUser(int slot, QByteArrayView message) {
    Slot& s = m_slots[size_t(slot)];
    const QByteArray session = protocol::sessionPart(s.tag);
    const protocol::UserFields fields = protocol::userFields(message);
    setTag(slot, protocol::joinTag(session, fields.user));
    m_log.AddLog(QStringLiteral("Cambiado usuario a [") + loggedClientText(fields.user) +
                     QStringLiteral("] en [") + loggedClientText(session) + QStringLiteral("]."),
                 LogKind::Done);
    const int row = m_users.findBySlot(slot);
    if (row < 0)
        return Status::failure(kNoSuchRow);
    m_users.remove(row);
    m_users.insert(row,
                   UsersList::rowText(s.remoteAddress, text(fields.user), text(session), fields.hasExtra,
                                      text(fields.extra), true),
                   slot);
    return {};
}

Status SessionDispatcher::relayNote(QByteArrayView message) {
    const protocol::NoteFields fields = protocol::noteFields(message);
    for (int i = 1; i < slotCount(); ++i) {
        if (protocol::userPart(m_slots[size_t(i)].tag) == fields.addressee)
            return m_host.send(i, QByteArray(protocol::kNotePrefix.data(), protocol::kNotePrefix.size()) +
                                      fields.note);
    }
    return {};
}

Status SessionDispatcher::endSession(int slot) {
    Slot& s = m_slots[size_t(slot)];
    const QByteArray user = protocol::userPart(s.tag);
    if (protocol::hasUser(s.tag)) {
        if (const int row = m_users.findBySlot(slot); row >= 0) {
            m_log.AddLog(QStringLiteral("Sesion cerrada para [") + loggedClientText(user) +
                             QStringLiteral("]."),
                         LogKind::Done);
            m_users.remove(row);
        }
    }
    if (Status sent = m_host.send(slot, protocol::kClosed); !sent)
        return sent;
    m_tracking.operate(text(user), true, 0);
    setTag(slot, {});
    m_host.sessionEnded(SessionEnd::Close);
    return {};
}

void SessionDispatcher::ValidaUsuario(int slot, QByteArrayView sessionText) {
    setTag(slot, sessionText.toByteArray());
    const QByteArray& tag = m_slots[size_t(slot)].tag;
    m_log.AddLog(QStringLiteral("Inicio de sesión para [") + loggedClientText(tag) +
                     QStringLiteral("] completado."),
                 LogKind::Done);
}

// A send that fails is how a dead connection shows; a write made before the event loop noticed the
// close fails as well, as the host no longer counts the connection as live.
void SessionDispatcher::probeAll() {
    for (int i = 0; i < slotCount(); ++i) {
        if (!m_slots[size_t(i)].tag.isEmpty() && !m_host.send(i, protocol::kCheck))
            dropDeadSession(i);
    }
}

// Only the dead session's own row goes: the other sessions of its computer are alive.
void SessionDispatcher::dropDeadSession(int slot) {
    const QByteArray user = protocol::userPart(m_slots[size_t(slot)].tag);
    m_host.close(slot);
    m_tracking.operate(text(user), true, 0);
    setTag(slot, {});
    m_host.sessionEnded(SessionEnd::Sweep);
    if (const int row = m_users.findBySlot(slot); row >= 0) {
        m_users.remove(row);
        m_log.AddLog(QStringLiteral("Usuario no encontrado. Eliminando..."), LogKind::Error);
    }
}

void SessionDispatcher::closeAll() {
    for (int i = 0; i < slotCount(); ++i) {
        // A send to a slot whose connection is gone fails, which is what the stop expects.
        if (!m_slots[size_t(i)].tag.isEmpty()) {
            (void)m_host.send(i, protocol::kClosed);
            m_tracking.sessionEnded(i);
            m_host.sessionEnded(SessionEnd::Stop);
        }
        m_host.close(i);
        setTag(i, {});
    }
    m_users.clear();
}

void SessionDispatcher::disconnectRow(int row) {
    if (row < 0 || row >= m_users.count())
        return;
    const int slot = m_users.row(row).slot;
    if (slot < 0 || slot >= slotCount())
        return;
    m_host.close(slot);
    const QByteArray tag = m_slots[size_t(slot)].tag;
    // Should the session have lost its user, the line names the session alone.
    const QByteArray session = protocol::sessionPart(tag);
    const QByteArray user = protocol::hasUser(tag) ? protocol::userPart(tag) : QByteArray();
    m_log.AddLog(QStringLiteral("Usuario [") + loggedClientText(user) + QStringLiteral("] en [") +
                     loggedClientText(session) + QStringLiteral("] desconectado manualmente."),
                 LogKind::Error);
    m_tracking.sessionEnded(slot);
    setTag(slot, {});
    m_host.sessionEnded(SessionEnd::Manual);
    m_users.remove(row);
}

Status SessionDispatcher::openTracking(int row) {
    if (row < 0 || row >= m_users.count())
        return {};
    const int slot = m_users.row(row).slot;
    if (Status sent = m_host.send(slot, protocol::kLog); !sent)
        return sent;
    m_tracking.operate(text(protocol::userPart(m_slots[size_t(slot)].tag)), false, slot);
    return {};
}

void SessionDispatcher::updateGauge() {
    if (m_gauge == m_users.count())
        return;
    m_gauge = m_users.count();
    m_host.showGauge(m_gauge);
}

} // namespace osk
