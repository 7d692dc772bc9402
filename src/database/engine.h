#pragma once

#include "common/result.h"

#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <utility>

namespace osk {

// Stores client executables into the table oskComponents of one product database, each file as
// one row (IdNumero, FileName, FileObject), its content appended in pieces so that no file is held
// in memory whole.
class ComponentWriter {
public:
    virtual ~ComponentWriter() = default;

    // "Select name from sysobjects where name='oskComponents'" finds a row.
    virtual Result<bool> hasComponentsTable() = 0;
    // Removes the file's earlier row (by name) and any row holding the number, then inserts
    // (id, fileName) with a null FileObject.
    virtual Status addComponent(int id, const QString& fileName) = 0;
    // Readies FileObject of row id for exactly totalLength bytes; the pieces then follow in order.
    virtual Status beginContent(int id, qint64 totalLength) = 0;
    virtual Status appendContent(QByteArrayView piece) = 0;
    // Saves the row once every piece is in.
    virtual Status endContent() = 0;
    // The property update of the same database, on this connection.
    virtual Status updateProperty(const QString& key, const QString& value) = 0;
};

// A property read: nullopt when the table has no row for the key; a null QString when the row's
// value is SQL NULL.
using PropertyValue = std::optional<QString>;

// One product database held open for several property statements (the list's work on it), closed
// when destroyed.
class PropertySession {
public:
    virtual ~PropertySession() = default;
    virtual Result<PropertyValue> readProperty(const QString& key) = 0;
    virtual Status updateProperty(const QString& key, const QString& value) = 0;
};

class Engine;

// A session that sends each statement through the engine's own per-statement calls, for engines
// whose databases cost nothing to open.
class PerStatementPropertySession final : public PropertySession {
public:
    PerStatementPropertySession(Engine& engine, QString database)
        : m_engine(engine)
        , m_database(std::move(database)) {}
    Result<PropertyValue> readProperty(const QString& key) override;
    Status updateProperty(const QString& key, const QString& value) override;

private:
    Engine& m_engine;
    QString m_database;
};

// The database engine behind the administration commands: SQL Server through ODBC, or the embedded
// engine that lets the program run with no server. Every call that can fail answers with the
// error's description as the engine reports it.
class Engine {
public:
    virtual ~Engine() = default;

    // What the console shows as the SQL Server name.
    virtual QString serverDisplayName() const = 0;
    // The server the next connection goes to, when the operator names one at start-up; an engine
    // that needs no server ignores it.
    virtual void setServerName(const QString&) {}
    // True when the engine works on this computer's disk (SQL Server on this computer, or the
    // embedded engine), which the disk-bound commands need.
    virtual bool isLocal(const QString& computerName) const = 0;

    // cnPrincipal: the program-wide connection to the system database OskDB.
    virtual Status openPrincipal() = 0;
    virtual bool isPrincipalOpen() const = 0;
    // The third column of "Select * From OskVersion Where Property=<key>" on OskDB, first row;
    // an error when there is no row.
    virtual Result<QString> principalPropertyThirdColumn(const QString& key) = 0;

    // The product databases: names like 'osk%' (any case), OskDBUpdate excluded, in the
    // server's order.
    virtual Result<QStringList> listProductDatabases() = 0;
    // "Select PropertyValue From OskVersion where Property=<key>" on one database.
    virtual Result<PropertyValue> readProperty(const QString& database, const QString& key) = 0;
    // "Update OskVersion Set PropertyValue=<value> Where Property=<key>" on one database.
    virtual Status updateProperty(const QString& database, const QString& key, const QString& value) = 0;

    // One connection to a database for all of its property statements.
    virtual Result<std::unique_ptr<PropertySession>> openPropertySession(const QString& database) {
        return Result<std::unique_ptr<PropertySession>>(
            std::make_unique<PerStatementPropertySession>(*this, database));
    }

    // "Drop DATABASE <name>" on cnPrincipal; refused while the database is in use.
    virtual Status dropDatabase(const QString& database) = 0;
    // A full backup of the database into outputFile, as "BACKUP DATABASE" writes it, on a
    // connection of the engine's own with the backup time-out. The output file is replaced.
    virtual Status backupDatabase(const QString& database, const QString& outputFile) = 0;
    // True when the file at this path (links and ".." resolved) is one of the engine's databases or
    // a file SQLite keeps beside one: a backup written there would replace a live database.
    virtual bool holdsFile(const QString& /*resolvedPath*/) const { return false; }
    // True when this program writes the backup file itself; a SQL Server writes it as its own
    // service, with rights of its own.
    virtual bool writesBackupFiles() const { return false; }
    // For the program's end, from any thread: a running backupDatabase stops at its next step (the
    // server's statement is cancelled) and fails, leaving no half-written output file; a later one
    // fails at once.
    virtual void stopBackups() {}
    // One connection to a product database for the client distribution, open until destroyed.
    virtual Result<std::unique_ptr<ComponentWriter>> openComponentWriter(const QString& database) = 0;
};

inline Result<PropertyValue> PerStatementPropertySession::readProperty(const QString& key) {
    return m_engine.readProperty(m_database, key);
}

inline Status PerStatementPropertySession::updateProperty(const QString& key, const QString& value) {
    return m_engine.updateProperty(m_database, key, value);
}

} // namespace osk
