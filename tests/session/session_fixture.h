#pragma once

#include "eventlog/event_log.h"
#include "session/session_server.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <memory>
#include <vector>

namespace osk::test {

// A free loopback port: bound and released, then taken again by the server under test.
inline quint16 freePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::AnyIPv4, 0))
        return 0;
    return probe.serverPort();
}

// A client program as the server sees it: every byte received is kept until the test takes it.
class Client final : public QObject {
public:
    explicit Client(quint16 port) {
        connect(&socket, &QTcpSocket::readyRead, this, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    void send(QByteArrayView message) {
        socket.write(message.data(), message.size());
        socket.flush();
    }
    QByteArray take() { return std::exchange(received, QByteArray()); }
    // Closes with a reset instead of a FIN: no linger.
    void reset() {
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket.abort();
    }

    QTcpSocket socket;
    QByteArray received;
};

// A session server listening on a loopback port of its own, with its event log.
struct SessionFixture {
    explicit SessionFixture(int maxUsers = 255)
        : log(clock, op, folder.path())
        , server(clock, log, maxUsers) {
        for (int attempt = 0; attempt < 5 && !server.isListening(); ++attempt)
            server.listen(freePort());
    }

    // A connected client that has read its greeting.
    Client& connectClient() {
        clients.push_back(std::make_unique<Client>(server.listeningPort()));
        Client& client = *clients.back();
        const bool greeted = QTest::qWaitFor([&] { return client.received == "CONNECTED"; }, 5000);
        if (greeted)
            client.take();
        return client;
    }

    bool logged(const QString& text, LogKind kind) const {
        for (const LogEntry& entry : log.entries()) {
            if (entry.text.endsWith(QStringLiteral("]  ") + text) && entry.kind == kind)
                return true;
        }
        return false;
    }
    int countLogged(const QString& text) const {
        int count = 0;
        for (const LogEntry& entry : log.entries())
            count += entry.text.endsWith(QStringLiteral("]  ") + text) ? 1 : 0;
        return count;
    }

    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    EventLog log;
    SessionServer server;
    std::vector<std::unique_ptr<Client>> clients;
};

} // namespace osk::test
