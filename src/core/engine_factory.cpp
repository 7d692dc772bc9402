#include "core/engine_factory.h"

#include "config/profile_file.h"
#include "database/embedded_engine.h"
#include "database/odbc_engine.h"

#include <QDir>

namespace osk {

std::unique_ptr<Engine> makeEngine(EngineKind kind, const QString& programFolder,
                                   const QString& sqlServerName) {
    if (kind == EngineKind::SqlServer) {
        // The driver, TDS version and login time-out live beside the server name in section "Main".
        const SqlServerSettings settings =
            readSqlServerSettings(ProfileFile::inFolder(programFolder, kSettingsFileName));
        OdbcOptions options;
        options.serverName = sqlServerName;
        options.driver = settings.driver;
        options.tdsVersion = settings.tdsVersion;
        options.loginTimeoutSeconds = settings.loginTimeoutSeconds;
        return std::make_unique<OdbcEngine>(std::move(options));
    }
    return std::make_unique<EmbeddedEngine>(QDir(programFolder).filePath(QStringLiteral("Data")));
}

} // namespace osk
