#pragma once

#include <QString>
#include <functional>
#include <optional>

namespace osk {

class Operator;
class ProfileFile;
class ServerCore;

// The connection that start-up needs before the main window may show: up to ten attempts at
// cnPrincipal with pending events handled meanwhile, so that the operator can still cancel, even
// while an attempt waits for its login's time-out;
// the server name asked for on the first attempt when the SQL Server engine has none; and, when
// every attempt failed, the chance to name another server for the next start.
class StartupConnection final {
public:
    static constexpr int kAttempts = 10;

    enum class Outcome { Connected, Cancelled, Failed };

    StartupConnection(ServerCore& core, bool engineNeedsServerName, Operator& op);

    // cancelRequested is asked before and during every attempt.
    Outcome connect(const std::function<bool()>& cancelRequested);

    // After a failed connect: asks for a server name and, when one is given, stores it with the
    // restart message. The connection is not tried again.
    void offerAnotherServer();

    // Why the last attempt failed, as the engine put it.
    const QString& lastError() const { return m_lastError; }

private:
    // AbreConexion: with askIfUnset and no server name, the operator is asked first; the name
    // given is stored before the attempt, so it is kept even when the attempt fails.
    // Empty when cancelled during the attempt.
    std::optional<bool> AbreConexion(bool askIfUnset, const std::function<bool()>& cancelRequested);

    ServerCore& m_core;
    ProfileFile& m_settings;
    bool m_engineNeedsServerName;
    Operator& m_operator;
    QString m_serverName;
    QString m_lastError;
};

} // namespace osk
