#pragma once

#include "session/session_dispatcher.h"

#include <QByteArray>
#include <vector>

namespace osk::test {

// The sockets of the session server, simulated: a connection is open until the server closes it,
// and alive until its peer goes away; a send succeeds only on an open, alive connection.
class SimulatedHost final : public SessionHost {
public:
    struct Connection {
        bool open = false;
        bool alive = false;
    };
    struct Sent {
        int slot;
        QByteArray message;
    };

    Status send(int slot, QByteArrayView message) override {
        if (slot < 0 || size_t(slot) >= connections.size() || !connections[size_t(slot)].open ||
            !connections[size_t(slot)].alive)
            return Status::failure(QStringLiteral("no connection"));
        sent.push_back({slot, message.toByteArray()});
        return {};
    }
    void close(int slot) override {
        if (slot >= 0 && size_t(slot) < connections.size())
            connections[size_t(slot)] = {};
    }
    void sessionStarted() override { ++sessionStarts; }
    void showGauge(int value) override { gauge = value; }

    Connection& at(int slot) {
        if (size_t(slot) >= connections.size())
            connections.resize(size_t(slot) + 1);
        return connections[size_t(slot)];
    }
    bool hasOpen(int slot) const {
        return size_t(slot) < connections.size() && connections[size_t(slot)].open;
    }
    bool isAlive(int slot) const { return hasOpen(slot) && connections[size_t(slot)].alive; }

    // Everything sent to one slot, in order and run together, as its client would read it.
    QByteArray sentTo(int slot) const {
        QByteArray all;
        for (const Sent& s : sent)
            all += s.slot == slot ? s.message : QByteArray();
        return all;
    }

    std::vector<Connection> connections;
    std::vector<Sent> sent;
    int gauge = 0;
    int sessionStarts = 0;
};

} // namespace osk::test
