#include "app/startup_connection.h"

#include "common/operator.h"
#include "config/main_settings.h"
#include "config/profile_file.h"
#include "config/settings_commands.h"
#include "database/engine.h"

#include <QCoreApplication>

namespace osk {

StartupConnection::StartupConnection(Engine& engine, ProfileFile& settings, bool engineNeedsServerName,
                                     Operator& op)
    : m_engine(engine)
    , m_settings(settings)
    , m_engineNeedsServerName(engineNeedsServerName)
    , m_operator(op)
    , m_serverName(settings.read(kMainSection, kSqlServerKey)) {}

StartupConnection::Outcome StartupConnection::connect(const std::function<bool()>& cancelRequested) {
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        if (cancelRequested && cancelRequested())
            return Outcome::Cancelled;
        QCoreApplication::processEvents();
        if (cancelRequested && cancelRequested())
            return Outcome::Cancelled;
        if (AbreConexion(attempt == 1))
            return Outcome::Connected;
    }
    return Outcome::Failed;
}

bool StartupConnection::AbreConexion(bool askIfUnset) {
    if (askIfUnset && m_engineNeedsServerName && m_serverName.isEmpty()) {
        if (!PideServidorSQL(m_operator, m_serverName))
            return false;
        // The name is tried all the same; the operator learns that it will not be remembered.
        if (const Status written = m_settings.write(kMainSection, kSqlServerKey, m_serverName); !written)
            showSettingsNotSaved(m_operator, m_settings.path(), written.error());
        m_engine.setServerName(m_serverName);
    }
    const Status opened = m_engine.openPrincipal();
    m_lastError = opened ? QString() : opened.error();
    return bool(opened);
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
