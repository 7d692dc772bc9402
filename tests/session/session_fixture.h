#pragma once

#include "eventlog/event_log.h"
#include "session/session_server.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <memory>
#include <vector>

namespace osk::test {

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
