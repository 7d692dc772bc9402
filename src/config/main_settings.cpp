#include "config/main_settings.h"

#include "common/vb.h"

#include <QSysInfo>
#include <algorithm>
#include <cmath>

namespace osk {

namespace {

const QString kMaxUsersKey = QStringLiteral("MaxUsers");
const QString kOdbcDriverKey = QStringLiteral("ODBCDriver");
const QString kTdsVersionKey = QStringLiteral("TDSVersion");
const QString kLoginTimeoutKey = QStringLiteral("LoginTimeout");
constexpr int kMaxLoginTimeout = 300;

// The stored port, rounded as the language rounds (halves to even), or 0 when it is no TCP port.
// The whole TCP range is kept, not only signed 16 bits: a port above 32767, written by hand or
// by the port command, is the operator's choice, not garbage to be replaced by the default.
int portFrom(const QString& text) {
    const double value = vb::val(text);
    if (!std::isfinite(value)) {
        return 0;
    }
    // The default rounding mode rounds halves to even; nothing in the program changes it.
    const double rounded = std::nearbyint(value);
    return rounded >= 1.0 && rounded <= 65535.0 ? static_cast<int>(rounded) : 0;
}

bool flagFrom(const QString& text) {
    return vb::val(text) != 0.0;
}

} // namespace

Status settingsReadable(const ProfileFile& file) {
    if (Status readable = file.readable(); !readable)
        return Status::failure(QStringLiteral("CargaValores: ") + readable.error());
    return {};
}

Status CargaValores(ProfileFile& file, MainSettings& settings) {
    if (file.exists()) {
        // Settings made up in place of the ones the file holds would be as wrong as a port of its
        // own; and the default port written back would replace the file.
        if (Status readable = settingsReadable(file); !readable)
            return readable;
        settings.port = portFrom(file.read(kMainSection, kPortKey));
        settings.autoStart = flagFrom(file.read(kMainSection, kAutoStartKey));
        settings.minStart = flagFrom(file.read(kMainSection, kMinStartKey));
    }
    if (settings.port == 0) {
        // Missing, 0 or unusable: the default is written back so the operator finds it in the
        // file. A failed write is no error; the default applies to this run all the same.
        (void)file.write(kMainSection, kPortKey, QString::number(kDefaultPort));
        settings.port = kDefaultPort;
    }
    settings.computerName = computerName();
    settings.sqlServerName = file.read(kMainSection, kSqlServerKey);
    settings.engine = chooseEngine(file);
    settings.maxUsers = readMaxUsers(file);
    settings.sqlServer = readSqlServerSettings(file);
    return {};
}

EngineKind chooseEngine(const ProfileFile& file) {
    const QString engine = file.read(kMainSection, kEngineKey);
    if (engine.compare(u"SQLServer", Qt::CaseInsensitive) == 0) {
        return EngineKind::SqlServer;
    }
    if (engine.compare(u"Embedded", Qt::CaseInsensitive) == 0) {
        return EngineKind::Embedded;
    }
    // No explicit choice: an existing installation names its SQL Server, a fresh one names none.
    return file.read(kMainSection, kSqlServerKey).isEmpty() ? EngineKind::Embedded : EngineKind::SqlServer;
}

int readMaxUsers(const ProfileFile& file) {
    // Digits only: no sign, no decimals, no trailing text ("12abc" is not a count of users).
    const QString text = file.read(kMainSection, kMaxUsersKey);
    const bool digitsOnly = !text.isEmpty() && std::all_of(text.begin(), text.end(),
                                                           [](QChar ch) { return ch >= u'0' && ch <= u'9'; });
    bool ok = false;
    const int value = digitsOnly ? text.toInt(&ok) : -1;
    return ok && value <= 255 ? value : kDefaultMaxUsers;
}

SqlServerSettings readSqlServerSettings(const ProfileFile& file) {
    SqlServerSettings settings;
    if (const QString driver = file.read(kMainSection, kOdbcDriverKey).trimmed(); !driver.isEmpty())
        settings.driver = driver;
    // "none" leaves FreeTDS's keys out of the connect string, for another driver.
    if (const QString version = file.read(kMainSection, kTdsVersionKey).trimmed(); !version.isEmpty())
        settings.tdsVersion = version.compare(u"none", Qt::CaseInsensitive) == 0 ? QString() : version;
    bool ok = false;
    const int timeout = file.read(kMainSection, kLoginTimeoutKey).trimmed().toInt(&ok);
    if (ok && timeout >= 1 && timeout <= kMaxLoginTimeout)
        settings.loginTimeoutSeconds = timeout;
    return settings;
}

QString computerName() {
    return QSysInfo::machineHostName().trimmed();
}

} // namespace osk
