// libFuzzer target: the session rules driven by a script of connection events over simulated
// slotTotal, with the state checked after every event. The input is read as:
//   byte 0            the maximum of users, 0 to 8
//   then, repeatedly  one event byte (its value modulo the event count) and the event's bytes.
// An event that lacks bytes ends the script.

#include "common/clock.h"
#include "common/operator.h"
#include "eventlog/event_log.h"
#include "session/activity_tracking.h"
#include "session/protocol.h"
#include "session/session_dispatcher.h"
#include "session/users_list.h"
#include "support/simulated_host.h"

#include <QByteArray>
#include <QCoreApplication>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace osk::fuzz {
namespace {

[[noreturn]] void fail(const char* what, int slot = -1) {
    std::fprintf(stderr, "invariant broken: %s (slot %d)\n", what, slot);
    std::abort();
}

void require(bool holds, const char* what, int slot = -1) {
    if (!holds)
        fail(what, slot);
}

// In UTC: a local time costs a time-zone look-up on every log line.
class FixedClock final : public Clock {
public:
    QDateTime now() const override { return m_now; }

private:
    QDateTime m_now{QDate(2026, 12, 6), QTime(10, 0), Qt::UTC};
};

class AbsentOperator final : public Operator {
public:
    void showMessage(const QString&, MessageIcon, const QString&) override {}
    bool ask(const QString&, MessageIcon, const QString&) override { return false; }
    QString askText(const QString&, const QString&, const QString&) override { return {}; }
    QString askSaveFile(const QString&, const QString&, const QString&) override { return {}; }
    void setBusy(bool) override {}
};

using test::SimulatedHost;

// What the script expects of each slot, kept from the messages alone.
struct ExpectedSlot {
    QByteArray tag;
    // The Tag holds a user answered "USER_OK", so the users list has its row.
    bool validated = false;
};

// Messages the mutator would take long to spell.
const char* const kPrefixes[] = {
    "USER=", "USER_AVAILABLE=", "LOG:", "NOTE:", "CLOSE", "CHECK", "USER=a~", "NOTE:x-"};

class Script {
public:
    Script(const uint8_t* data, size_t size)
        : m_data(data)
        , m_size(size)
        , m_maxUsers(size > 0 ? data[0] % 9 : 0)
        , m_log(m_clock, m_operator, QStringLiteral("/nonexistent/osk-fuzz"))
        , m_tracking(m_clock, [this](int slot) { (void)m_host.send(slot, protocol::kNoLog); })
        , m_dispatcher(m_maxUsers, m_log, m_users, m_tracking, m_host)
        , m_at(1) {
        m_expected.resize(1);
    }

    void run() {
        while (m_at < m_size) {
            const uint8_t event = m_data[m_at++];
            bool ok = true;
            switch (event % 8) {
            case 0:
                ok = connect();
                break;
            case 1:
                ok = arrival(false);
                break;
            case 2:
                ok = arrival(true);
                break;
            case 3:
                ok = peerGone();
                break;
            case 4:
                sweep();
                break;
            case 5:
                ok = operatorOnRow(true);
                break;
            case 6:
                ok = operatorOnRow(false);
                break;
            case 7:
                stop();
                break;
            }
            if (!ok)
                return;
            check();
        }
    }

private:
    bool take(uint8_t& byte) {
        if (m_at >= m_size)
            return false;
        byte = m_data[m_at++];
        return true;
    }

    // A connection's address: a new one, or (odd selector) that of a slot already used, as when
    // one computer runs several clients.
    bool connect() {
        uint8_t selector = 0;
        if (!take(selector))
            return false;
        QString address = QStringLiteral("10.0.%1.%2").arg(m_connections / 250).arg(m_connections % 250 + 1);
        if ((selector & 1) != 0 && m_dispatcher.slotCount() > 1) {
            address = m_dispatcher.remoteAddress(1 + (selector >> 1) % (m_dispatcher.slotCount() - 1));
        }
        ++m_connections;
        const int slot = m_dispatcher.slotForNewConnection();
        if (slot == 0) {
            require(m_dispatcher.CuentaConexiones() >= m_maxUsers, "refused below the maximum");
            return true;
        }
        require(m_expected.size() <= size_t(slot) || m_expected[size_t(slot)].tag.isEmpty(),
                "an occupied slot given to a new connection", slot);
        m_host.close(slot);
        m_host.at(slot) = {true, true};
        m_dispatcher.accepted(slot, address);
        expect(slot) = {};
        return true;
    }

    // One arrival on an open connection; a peer that has gone may still have left data behind.
    bool arrival(bool fromTemplate) {
        uint8_t pick = 0, length = 0;
        if (!take(pick) || !take(length))
            return false;
        QByteArray message;
        if (fromTemplate)
            message = kPrefixes[pick % std::size(kPrefixes)];
        const size_t count = std::min<size_t>(length % 48, m_size - m_at);
        message.append(reinterpret_cast<const char*>(m_data + m_at), qsizetype(count));
        m_at += count;
        const int slot = openSlot(pick);
        if (slot == 0 || message.isEmpty())
            return true;

        const bool alive = m_host.connections[size_t(slot)].alive;
        const ExpectedSlot before = expect(slot);
        const protocol::MessageType type = protocol::classify(message);
        const bool availableElsewhere = !heldElsewhere(slot, protocol::afterFirst(message, '='));
        const protocol::UserFields fields = protocol::userFields(message);
        const bool userElsewhere = heldElsewhere(slot, fields.user);
        const bool noteFails = type == protocol::MessageType::Note && !noteDeliverable(message);
        m_host.sent.clear();
        m_dispatcher.handleArrival(slot, message);

        if (type == protocol::MessageType::User) {
            if (protocol::hasUser(before.tag)) {
                expect(slot).tag = protocol::joinTag(protocol::sessionPart(before.tag), fields.user);
            } else if (alive) {
                require(firstReply(slot) == (userElsewhere ? protocol::kUserDuplicate : protocol::kUserOk),
                        "validation answered against the Tags", slot);
                if (!userElsewhere)
                    expect(slot) = {protocol::joinTag(before.tag, fields.user), true};
            }
            return true;
        }
        if (type == protocol::MessageType::UserAvailable) {
            if (!alive)
                return true; // the answer failed: nothing more is done
            require(firstReply(slot) == (availableElsewhere ? protocol::kUserOk : protocol::kUserDuplicate),
                    "availability answered against the Tags", slot);
            if (!availableElsewhere)
                return true;
        }
        if (noteFails)
            return true;
        if (before.tag.isEmpty())
            expect(slot) = {message, false};
        else if (message == protocol::kClose && alive)
            expect(slot) = {};
        return true;
    }

    // The first slot whose user part is the addressee gets the note; a send there may fail.
    bool noteDeliverable(QByteArrayView message) const {
        const QByteArray addressee = protocol::noteFields(message).addressee;
        for (int i = 1; i < m_dispatcher.slotCount(); ++i) {
            if (protocol::userPart(m_dispatcher.tag(i)) == addressee)
                return m_host.hasOpen(i) && m_host.connections[size_t(i)].alive;
        }
        return true;
    }

    bool peerGone() {
        uint8_t pick = 0;
        if (!take(pick))
            return false;
        if (const int slot = openSlot(pick); slot != 0)
            m_host.connections[size_t(slot)].alive = false;
        return true;
    }

    void sweep() {
        for (int slot = 1; slot < m_dispatcher.slotCount(); ++slot) {
            if (!(m_host.hasOpen(slot) && m_host.connections[size_t(slot)].alive))
                expect(slot) = {};
        }
        m_dispatcher.probeAll();
        m_dispatcher.updateGauge();
        for (int slot = 1; slot < m_dispatcher.slotCount(); ++slot) {
            if (m_dispatcher.tag(slot).isEmpty())
                continue;
            require(m_host.hasOpen(slot) && m_host.connections[size_t(slot)].alive,
                    "a dead session outlived the sweep", slot);
        }
        require(m_host.gauge == m_users.count(), "gauge behind the list after the sweep");
    }

    bool operatorOnRow(bool disconnect) {
        uint8_t pick = 0;
        if (!take(pick))
            return false;
        if (m_users.count() == 0)
            return true;
        const int row = pick % m_users.count();
        const int slot = m_users.row(row).slot;
        if (disconnect) {
            m_dispatcher.disconnectRow(row);
            require(!m_host.hasOpen(slot), "a disconnected row left its connection open", slot);
            expect(slot) = {};
        } else {
            (void)m_dispatcher.openTracking(row);
        }
        return true;
    }

    void stop() {
        m_dispatcher.closeAll();
        for (int slot = 0; slot < m_dispatcher.slotCount(); ++slot) {
            require(!m_host.hasOpen(slot), "a connection left open by the stop", slot);
            expect(slot) = {};
        }
        require(m_users.count() == 0, "rows left by the stop");
    }

    // The open connection picked by the byte among those there are; 0 when there is none.
    int openSlot(uint8_t pick) const {
        std::vector<int> open;
        for (int slot = 1; slot < int(m_host.connections.size()); ++slot) {
            if (m_host.connections[size_t(slot)].open)
                open.push_back(slot);
        }
        return open.empty() ? 0 : open[pick % open.size()];
    }

    bool heldElsewhere(int slot, QByteArrayView user) const {
        for (int i = 0; i < m_dispatcher.slotCount(); ++i) {
            const QByteArray& tag = m_dispatcher.tag(i);
            if (i != slot && protocol::hasUser(tag) && protocol::afterFirst(tag, '|') == user)
                return true;
        }
        return false;
    }

    QByteArrayView firstReply(int slot) const {
        for (const SimulatedHost::Sent& sent : m_host.sent) {
            if (sent.slot == slot)
                return sent.message;
        }
        fail("no reply", slot);
    }

    ExpectedSlot& expect(int slot) {
        if (size_t(slot) >= m_expected.size())
            m_expected.resize(size_t(slot) + 1);
        return m_expected[size_t(slot)];
    }

    void check() {
        const int slotTotal = m_dispatcher.slotCount();
        require(slotTotal >= 1 && slotTotal <= m_maxUsers + 1, "more slotTotal than the maximum allows");
        require(m_dispatcher.tag(0).isEmpty(), "the listening slot carries a Tag", 0);
        int occupied = 0;
        std::vector<int> rowsOfSlot(size_t(slotTotal), 0);
        for (int row = 0; row < m_users.count(); ++row) {
            const int slot = m_users.row(row).slot;
            require(slot >= 1 && slot < slotTotal, "a row names no slot", slot);
            ++rowsOfSlot[size_t(slot)];
        }
        for (int slot = 0; slot < slotTotal; ++slot) {
            const QByteArray& tag = m_dispatcher.tag(slot);
            occupied += tag.isEmpty() ? 0 : 1;
            const ExpectedSlot& expected = expect(slot);
            require(tag == expected.tag, "the Tag differs from what the messages made of it", slot);
            const bool alive = m_host.hasOpen(slot) && m_host.connections[size_t(slot)].alive;
            if (expected.validated)
                require(rowsOfSlot[size_t(slot)] == 1 || (rowsOfSlot[size_t(slot)] == 0 && !alive),
                        "a validated session without exactly one row", slot);
            else
                require(rowsOfSlot[size_t(slot)] == 0, "a row for a session that was never validated", slot);
        }
        require(occupied == m_dispatcher.CuentaConexiones(), "occupied count");
        require(occupied <= m_maxUsers, "more sessions than the maximum");
    }

    const uint8_t* m_data;
    size_t m_size;
    const int m_maxUsers;
    FixedClock m_clock;
    AbsentOperator m_operator;
    EventLog m_log;
    UsersList m_users;
    SimulatedHost m_host;
    ActivityTracking m_tracking;
    SessionDispatcher m_dispatcher;
    std::vector<ExpectedSlot> m_expected;
    size_t m_at;
    int m_connections = 0;
};

} // namespace
} // namespace osk::fuzz

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    osk::fuzz::Script(data, size).run();
    // With no event loop running, what the script's objects posted (closed tracking logs are
    // deleted later) would pile up from one input to the next and slow every run after it.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
