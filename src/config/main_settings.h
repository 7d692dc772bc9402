#pragma once

#include "config/profile_file.h"

#include <QString>

namespace osk {

enum class EngineKind { Embedded, SqlServer };

// How the SQL Server engine reaches its server, from section "Main".
struct SqlServerSettings {
    QString driver = QStringLiteral("SQL Server"); // "ODBCDriver"
    QString tdsVersion = QStringLiteral("7.1");    // "TDSVersion", for FreeTDS; empty for "none"
    int loginTimeoutSeconds = 5;                   // "LoginTimeout", 1 to 300
};

// The service settings of section "Main" as the program loads them once at start.
struct MainSettings {
    int port = 0;           // 0 means no valid port
    bool autoStart = false; // "OSInit"
    bool minStart = false;  // "MinInit"
    QString computerName;
    QString sqlServerName; // "SQLServer"
    EngineKind engine = EngineKind::Embedded;
    int maxUsers = 255; // "MaxUsers", 0 to 255
    SqlServerSettings sqlServer;
};

inline constexpr int kDefaultPort = 1033;
inline constexpr int kDefaultMaxUsers = 255;
inline const QString kSettingsFileName = QStringLiteral("OskServer.INI");
inline const QString kMainSection = QStringLiteral("Main");
// The keys of section "Main" that commands other than the load write or read.
inline const QString kPortKey = QStringLiteral("Port");
inline const QString kAutoStartKey = QStringLiteral("OSInit");
inline const QString kMinStartKey = QStringLiteral("MinInit");
inline const QString kSqlServerKey = QStringLiteral("SQLServer");
inline const QString kEngineKey = QStringLiteral("Engine");

// Loads the settings: the port (writing the default 1033 back when it is missing, 0 or not a
// usable port), the two start flags, the computer name, the SQL Server name, the engine and the
// maximum of concurrent users. Garbage values fall back to their defaults. A file that is there
// but cannot be read stops the load where it stands, with "CargaValores: " and the reason;
// `settings` keeps what was loaded before (and nothing is written). A missing file is no error.
Status CargaValores(ProfileFile& file, MainSettings& settings);

// The load's failure for a file that is there but cannot be read (a folder, a FIFO, no
// permission), before anything is read from it; fine when the file is readable or missing.
Status settingsReadable(const ProfileFile& file);

// The engine rule: "Main"/"Engine" is "SQLServer" or "Embedded" (any case); when it is missing or
// neither, a non-empty "Main"/"SQLServer" means the SQL Server engine and an empty one the embedded
// engine.
EngineKind chooseEngine(const ProfileFile& file);

// "Main"/"MaxUsers", 0 to 255; 255 when missing or not a whole number in range.
int readMaxUsers(const ProfileFile& file);

// "Main"/"ODBCDriver", "Main"/"TDSVersion" and "Main"/"LoginTimeout"; each falls back to its default
// when missing, and the time-out also when it is not a whole number of seconds from 1 to 300.
// TDSVersion "none" gives an empty version.
SqlServerSettings readSqlServerSettings(const ProfileFile& file);

// The local computer's name.
QString computerName();

} // namespace osk
