#pragma once

#include "common/result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <sql.h>
#include <vector>

namespace osk {

// Sees the text of every statement before it goes to the driver (tests check the T-SQL with it).
// Called on the thread that runs the statement.
using StatementListener = std::function<void(const QString&)>;

// The description of the first diagnostic record of an ODBC handle, or fallback when the driver
// left none.
QString odbcDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle, const QString& fallback);

// One ODBC environment (ODBC 3 behaviour). Connections never outlive it.
class OdbcEnvironment final {
public:
    OdbcEnvironment();
    ~OdbcEnvironment();
    OdbcEnvironment(const OdbcEnvironment&) = delete;
    OdbcEnvironment& operator=(const OdbcEnvironment&) = delete;

    SQLHENV handle() const { return m_env; }
    // Empty when the driver manager could not be set up.
    const QString& error() const { return m_error; }

private:
    SQLHENV m_env = SQL_NULL_HENV;
    QString m_error;
};

// One open connection, disconnected and freed on destruction.
class OdbcConnection final {
public:
    // Opens without a prompt, with the login time-out set before the attempt.
    static Result<std::unique_ptr<OdbcConnection>>
    open(const OdbcEnvironment& environment, const QString& connectString, int loginTimeoutSeconds);
    ~OdbcConnection();
    OdbcConnection(const OdbcConnection&) = delete;
    OdbcConnection& operator=(const OdbcConnection&) = delete;

    SQLHDBC handle() const { return m_dbc; }
    // The product name the driver reports for the server ("Microsoft SQL Server", "SQLite", ...).
    QString dbmsName() const;

private:
    explicit OdbcConnection(SQLHDBC dbc)
        : m_dbc(dbc) {}
    SQLHDBC m_dbc;
};

// One statement on a connection. Parameters are bound by position from 1; their values are kept
// by the statement until it is destroyed, as the driver reads them at execution.
class OdbcStatement final {
public:
    // queryTimeoutSeconds 0: no time-out of the statement's own.
    static Result<std::unique_ptr<OdbcStatement>>
    allocate(const OdbcConnection& connection, int queryTimeoutSeconds, StatementListener listener);
    ~OdbcStatement();
    OdbcStatement(const OdbcStatement&) = delete;
    OdbcStatement& operator=(const OdbcStatement&) = delete;

    SQLHSTMT handle() const { return m_stmt; }

    Status prepare(const QString& text);
    void bindText(const QString& value);
    void bindInteger(int value);
    void bindBinary(QByteArrayView value);
    // A binary parameter whose content follows at execution through putData(), exactly
    // totalLength bytes of it.
    void bindDataAtExecution(qint64 totalLength);
    Status execute();
    Status executeDirect(const QString& text);
    // Announces and executes the text with the bound parameters; the driver's answer as it is,
    // for statements whose outcome is judged by the server's messages.
    SQLRETURN send(const QString& text);

    // After execute() with a data-at-execution parameter: true when the driver is waiting for it.
    bool needsData() const { return m_needsData; }
    // Starts the data of the waiting parameter.
    Status beginData();
    Status putData(QByteArrayView piece);
    // Completes the execution once every piece is in.
    Status finishData();

    // A row fetched: true; no more rows: false.
    Result<bool> fetch();
    Result<int> columnCount();
    // Column from 1; a null QString for SQL NULL.
    Result<QString> text(int column);

    QString error(const QString& fallback) const;

private:
    explicit OdbcStatement(SQLHSTMT stmt, StatementListener listener)
        : m_stmt(stmt)
        , m_listener(std::move(listener)) {}
    Status bindAll();
    Status afterExecution(SQLRETURN rc);

    struct Parameter {
        SQLSMALLINT cType;
        SQLSMALLINT sqlType;
        QByteArray data;
        SQLINTEGER integer = 0;
        SQLLEN indicator = 0;
        SQLULEN columnSize = 0;
    };
    SQLHSTMT m_stmt;
    StatementListener m_listener;
    std::vector<std::unique_ptr<Parameter>> m_parameters;
    bool m_needsData = false;
};

} // namespace osk
