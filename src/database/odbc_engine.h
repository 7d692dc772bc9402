#pragma once

#include "database/engine.h"
#include "database/odbc_connection.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <mutex>

namespace osk {

// How a component's content is appended to FileObject, one piece at a time.
enum class PieceMethod {
    // UPDATETEXT on SQL Server, data at execution on any other driver.
    Automatic,
    // One "UPDATETEXT ... @ptr NULL 0 <piece>" per piece on the image column: SQL Server receives
    // each piece as it is read, so the client's memory stays flat whatever the file's size.
    UpdateText,
    // One update whose parameter is sent with SQLPutData; the driver may gather the whole value
    // before sending it (FreeTDS does), so this is for drivers that are not SQL Server.
    DataAtExecution,
};

struct OdbcOptions {
    // The "server" of the connect string: host, or host\instance.
    QString serverName;
    // The driver name of the connect string.
    QString driver = QStringLiteral("SQL Server");
    // Appended to the connect string for FreeTDS, which otherwise negotiates a version and can hang
    // for minutes in its fall-back; 7.1 is what SQL Server 2000 speaks. Empty: nothing appended.
    QString tdsVersion = QStringLiteral("7.1");
    int loginTimeoutSeconds = 5;
    // Run in order on cnPrincipal when it opens; empty for a driver that is not SQL Server.
    // ANSI_DEFAULTS also turns IMPLICIT_TRANSACTIONS on, behind the driver's back: every SELECT
    // would then open a transaction that nothing commits, and DROP DATABASE (which refuses to run
    // inside one) would fail on this connection. The second statement puts autocommit back and
    // keeps the other ANSI settings.
    QStringList principalSetup{QStringLiteral("SET ANSI_DEFAULTS ON"),
                               QStringLiteral("SET IMPLICIT_TRANSACTIONS OFF")};
    PieceMethod pieceMethod = PieceMethod::Automatic;
    StatementListener statementListener;
    // Told the database of every connection the engine opens (tests count the logins with it).
    std::function<void(const QString&)> connectionListener;
};

// SQL Server through ODBC: every connection uses the connect string
// "uid=Osk;pwd=kq7351;driver={<driver>};Regional=Yes;server=<server>;database=<db>;". cnPrincipal
// (OskDB) stays open from openPrincipal() on; the list, the property work and the client
// distribution open a connection for the operation and close it after. backupDatabase() may run on
// another thread: it uses a connection of its own and touches nothing else of the engine.
class OdbcEngine final : public Engine {
public:
    static constexpr int kPrincipalQueryTimeout = 30;
    static constexpr int kBackupQueryTimeout = 1000;

    explicit OdbcEngine(OdbcOptions options);
    ~OdbcEngine() override;
    OdbcEngine(const OdbcEngine&) = delete;
    OdbcEngine& operator=(const OdbcEngine&) = delete;

    const OdbcOptions& options() const { return m_options; }
    QString connectString(const QString& database) const;

    QString serverDisplayName() const override { return m_options.serverName; }
    void setServerName(const QString& name) override { m_options.serverName = name; }
    bool isLocal(const QString& computerName) const override;

    Status openPrincipal() override;
    bool isPrincipalOpen() const override { return m_principal != nullptr; }
    Result<QString> principalPropertyThirdColumn(const QString& key) override;

    Result<QStringList> listProductDatabases() override;
    Result<PropertyValue> readProperty(const QString& database, const QString& key) override;
    Status updateProperty(const QString& database, const QString& key, const QString& value) override;
    Result<std::unique_ptr<PropertySession>> openPropertySession(const QString& database) override;
    Status dropDatabase(const QString& database) override;
    Status backupDatabase(const QString& database, const QString& outputFile) override;
    void stopBackups() override;
    Result<std::unique_ptr<ComponentWriter>> openComponentWriter(const QString& database) override;

private:
    Result<std::unique_ptr<OdbcConnection>> connect(const QString& database) const;
    Result<std::unique_ptr<OdbcStatement>> principalStatement() const;

    OdbcOptions m_options;
    OdbcEnvironment m_environment;
    std::unique_ptr<OdbcConnection> m_principal;
    QString m_principalError; // why the last openPrincipal() failed
    // The backup statement running on the worker, for stopBackups() to cancel from this thread.
    std::mutex m_backupMutex;
    SQLHSTMT m_backupStatement = SQL_NULL_HSTMT; // guarded by m_backupMutex
    bool m_backupsStopped = false;               // guarded by m_backupMutex
};

// One diagnostic record the server sent with a statement's results.
struct ServerMessage {
    QString state; // SQLSTATE, five characters
    QString text;
};

// A statement whose driver's return codes cannot be trusted (BACKUP through FreeTDS), judged by
// what the server said: it failed when a message is an error (any SQLSTATE class but 00 and 01),
// with the first error's text as the description, or when the driver failed and the server said
// nothing.
Status judgeByMessages(const QList<ServerMessage>& messages, bool failedWithoutMessage);

// "[name]" with every "]" doubled, for names that cannot be bound (DROP, BACKUP).
QString bracketQuoted(const QString& name);
// "'text'" with every apostrophe doubled.
QString apostropheQuoted(const QString& text);

} // namespace osk
