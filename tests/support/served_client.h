#pragma once

#include "session/session_server.h"
#include "support/test_io.h"

#include <QTest>
#include <memory>
#include <pwd.h>
#include <unistd.h>

namespace osk::test {

// A client program from computer `from` whose session `session` has started and whose user is
// validated, as it arrives at a running service; null when that did not happen in time.
inline std::unique_ptr<Client> servedClient(SessionServer& server, quint16 port, const QString& from,
                                            const QByteArray& session, const QByteArray& user) {
    constexpr int kWaitMs = 10000;
    auto client = std::make_unique<Client>(port, from);
    const int sessions = server.CuentaConexiones();
    if (!QTest::qWaitFor([&] { return client->received == "CONNECTED"; }, kWaitMs))
        return nullptr;
    // The session text must arrive on its own: the first arrival of a connection is its session.
    client->send(session);
    if (!QTest::qWaitFor([&] { return server.CuentaConexiones() == sessions + 1; }, kWaitMs))
        return nullptr;
    client->send("USER=" + user);
    if (!QTest::qWaitFor([&] { return client->received == "CONNECTEDUSER_OK"; }, kWaitMs))
        return nullptr;
    client->take();
    return client;
}

// Whether exactly `bytes` arrive at the client in time; what arrived is taken either way.
inline bool receives(Client& client, const QByteArray& bytes) {
    const bool arrived = QTest::qWaitFor([&] { return client.received == bytes; }, 10000);
    client.take();
    return arrived;
}

// The name of this process's user, as a control caller is logged.
inline QString callerName() {
    const passwd* entry = getpwuid(geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(geteuid());
}

} // namespace osk::test
