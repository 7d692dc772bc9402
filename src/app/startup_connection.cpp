#include "app/startup_connection.h"

#include "common/operator.h"
#include "config/main_settings.h"
#include "config/profile_file.h"
#include "config/settings_commands.h"
#include "core/server_core.h"
#include "database/engine.h"

namespace osk {

StartupConnection::StartupConnection(ServerCore& core, bool engineNeedsServerName, Operator& op)
    : m_core(core)
    , m_settings(core.settingsFile())
    , m_engineNeedsServerName(engineNeedsServerName)
    , m_operator(op)
    , m_serverName(m_settings.read(kMainSection, kSqlServerKey)) {}

StartupConnection::Outcome StartupConnection::connect(const std::function<bool()>& cancelRequested) {
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        if (cancelRequested())
            return Outcome::Cancelled;
        const std::optional<bool> connected = AbreConexion(attempt == 1, cancelRequested);
        if (!connected)
            return Outcome::Cancelled;
        if (*connected)
            return Outcome::Connected;
    }
    return Outcome::Failed;
}

std::optional<bool> StartupConnection::AbreConexion(bool askIfUnset,
                                                    const std::function<bool()>& cancelRequested) {
    if (askIfUnset && m_engineNeedsServerName && m_serverName.isEmpty()) {
        if (!PideServidorSQL(m_operator, m_serverName))
            return false;
        // The name is tried all the same; the operator learns that it will not be remembered.
        if (const Status written = m_settings.write(kMainSection, kSqlServerKey, m_serverName); !written)
            showSettingsNotSaved(m_operator, m_settings.path(), written.error());
        m_core.engine().setServerName(m_serverName);
    }
    const std::optional<Status> opened = m_core.openPrincipalUnlessStopped(cancelRequested);
    if (!opened)
        return std::nullopt;
    m_lastError = *opened ? QString() : opened->error();
    return bool(*opened);
}

void StartupConnection::offerAnotherServer() {
    if (!m_engineNeedsServerName)
        return; // the embedded engine has no server to name; its failure is its own
    if (PideServidorSQL(m_operator, m_serverName) && !m_serverName.isEmpty()) {
        if (const Status written = m_settings.write(kMainSection, kSqlServerKey, m_serverName); !written)
            showSettingsNotSaved(m_operator, m_settings.path(), written.error());
        else
            showRestartNeeded(m_operator);
    }
}

} // namespace osk
