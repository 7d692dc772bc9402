#include "database/odbc_connection.h"

#include <sqlext.h>

namespace osk {

namespace {

bool succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

} // namespace

QString odbcDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle, const QString& fallback) {
    SQLCHAR state[6] = {};
    SQLINTEGER nativeError = 0;
    SQLSMALLINT length = 0;
    std::vector<SQLCHAR> message(1024);
    SQLRETURN rc = SQLGetDiagRec(handleType, handle, 1, state, &nativeError, message.data(),
                                 SQLSMALLINT(message.size()), &length);
    if (rc == SQL_SUCCESS_WITH_INFO && length >= SQLSMALLINT(message.size())) {
        message.resize(size_t(length) + 1);
        rc = SQLGetDiagRec(handleType, handle, 1, state, &nativeError, message.data(),
                           SQLSMALLINT(message.size()), &length);
    }
    if (!succeeded(rc))
        return fallback;
    return QString::fromUtf8(reinterpret_cast<const char*>(message.data()), length).trimmed();
}

OdbcEnvironment::OdbcEnvironment() {
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env))) {
        m_env = SQL_NULL_HENV;
        m_error = QStringLiteral("No se ha podido iniciar el administrador de controladores ODBC.");
        return;
    }
    if (!succeeded(
            SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)))
        m_error = odbcDiagnostic(SQL_HANDLE_ENV, m_env, QStringLiteral("ODBC 3 no está disponible."));
}

OdbcEnvironment::~OdbcEnvironment() {
    if (m_env != SQL_NULL_HENV)
        SQLFreeHandle(SQL_HANDLE_ENV, m_env);
}

Result<std::unique_ptr<OdbcConnection>> OdbcConnection::open(const OdbcEnvironment& environment,
                                                             const QString& connectString,
                                                             int loginTimeoutSeconds) {
    using Opened = Result<std::unique_ptr<OdbcConnection>>;
    if (!environment.error().isEmpty())
        return Opened::failure(environment.error());
    SQLHDBC dbc = SQL_NULL_HDBC;
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_DBC, environment.handle(), &dbc)))
        return Opened::failure(odbcDiagnostic(SQL_HANDLE_ENV, environment.handle(),
                                              QStringLiteral("No se ha podido reservar una conexión ODBC.")));
    // A driver that has no login time-out answers with an error here; it then connects without one.
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(loginTimeoutSeconds)), 0);
    QByteArray text = connectString.toUtf8();
    const SQLRETURN rc = SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                                          SQLSMALLINT(text.size()), nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (!succeeded(rc)) {
        const QString error = odbcDiagnostic(
            SQL_HANDLE_DBC, dbc, QStringLiteral("No se ha podido conectar con la base de datos."));
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        return Opened::failure(error);
    }
    return Opened(std::unique_ptr<OdbcConnection>(new OdbcConnection(dbc)));
}

OdbcConnection::~OdbcConnection() {
    SQLDisconnect(m_dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
}

QString OdbcConnection::dbmsName() const {
    char name[256] = {};
    SQLSMALLINT length = 0;
    if (!succeeded(SQLGetInfo(m_dbc, SQL_DBMS_NAME, name, SQLSMALLINT(sizeof name), &length)))
        return QString();
    return QString::fromUtf8(name);
}

Result<std::unique_ptr<OdbcStatement>> OdbcStatement::allocate(const OdbcConnection& connection,
                                                               int queryTimeoutSeconds,
                                                               StatementListener listener) {
    using Allocated = Result<std::unique_ptr<OdbcStatement>>;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_STMT, connection.handle(), &stmt)))
        return Allocated::failure(
            odbcDiagnostic(SQL_HANDLE_DBC, connection.handle(),
                           QStringLiteral("No se ha podido reservar una instrucción ODBC.")));
    std::unique_ptr<OdbcStatement> statement(new OdbcStatement(stmt, std::move(listener)));
    if (queryTimeoutSeconds > 0) {
        const SQLRETURN rc =
            SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT,
                           reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(queryTimeoutSeconds)), 0);
        if (!succeeded(rc))
            return Allocated::failure(statement->error(
                QStringLiteral("El controlador ha rechazado el tiempo de espera de la instrucción.")));
    }
    return Allocated(std::move(statement));
}

OdbcStatement::~OdbcStatement() {
    // A statement still waiting for data is cancelled, or the driver refuses to free it.
    if (m_needsData)
        SQLCancel(m_stmt);
    SQLFreeHandle(SQL_HANDLE_STMT, m_stmt);
}

QString OdbcStatement::error(const QString& fallback) const {
    return odbcDiagnostic(SQL_HANDLE_STMT, m_stmt, fallback);
}

Status OdbcStatement::prepare(const QString& text) {
    if (m_listener)
        m_listener(text);
    QByteArray bytes = text.toUtf8();
    if (!succeeded(SQLPrepare(m_stmt, reinterpret_cast<SQLCHAR*>(bytes.data()), SQLINTEGER(bytes.size()))))
        return Status::failure(error(QStringLiteral("El controlador ha rechazado la instrucción.")));
    return {};
}

void OdbcStatement::bindText(const QString& value) {
    auto parameter = std::make_unique<Parameter>();
    parameter->cType = SQL_C_CHAR;
    parameter->sqlType = SQL_VARCHAR;
    parameter->data = value.toUtf8();
    parameter->indicator = value.isNull() ? SQL_NULL_DATA : SQLLEN(parameter->data.size());
    parameter->columnSize = SQLULEN(std::max<qsizetype>(parameter->data.size(), 1));
    m_parameters.push_back(std::move(parameter));
}

void OdbcStatement::bindInteger(int value) {
    auto parameter = std::make_unique<Parameter>();
    parameter->cType = SQL_C_SLONG;
    parameter->sqlType = SQL_INTEGER;
    parameter->integer = value;
    m_parameters.push_back(std::move(parameter));
}

void OdbcStatement::bindBinary(QByteArrayView value) {
    auto parameter = std::make_unique<Parameter>();
    parameter->cType = SQL_C_BINARY;
    parameter->sqlType = SQL_LONGVARBINARY;
    parameter->data = value.toByteArray();
    parameter->indicator = SQLLEN(parameter->data.size());
    parameter->columnSize = SQLULEN(std::max<qsizetype>(parameter->data.size(), 1));
    m_parameters.push_back(std::move(parameter));
}

void OdbcStatement::bindDataAtExecution(qint64 totalLength) {
    auto parameter = std::make_unique<Parameter>();
    parameter->cType = SQL_C_BINARY;
    parameter->sqlType = SQL_LONGVARBINARY;
    parameter->indicator = SQL_LEN_DATA_AT_EXEC(SQLLEN(totalLength));
    parameter->columnSize = SQLULEN(std::max<qint64>(totalLength, 1));
    m_parameters.push_back(std::move(parameter));
}

Status OdbcStatement::bindAll() {
    for (size_t i = 0; i < m_parameters.size(); ++i) {
        Parameter& p = *m_parameters[i];
        SQLPOINTER value = nullptr;
        SQLLEN bufferLength = 0;
        if (p.cType == SQL_C_SLONG) {
            value = &p.integer;
        } else if (p.indicator <= SQL_LEN_DATA_AT_EXEC_OFFSET) {
            // The token SQLParamData hands back: the parameter's number.
            value = reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(i + 1));
        } else {
            value = p.data.data();
            bufferLength = SQLLEN(p.data.size());
        }
        const SQLRETURN rc = SQLBindParameter(m_stmt, SQLUSMALLINT(i + 1), SQL_PARAM_INPUT, p.cType,
                                              p.sqlType, p.columnSize, 0, value, bufferLength, &p.indicator);
        if (!succeeded(rc))
            return Status::failure(error(QStringLiteral("El controlador ha rechazado un parámetro.")));
    }
    return {};
}

Status OdbcStatement::afterExecution(SQLRETURN rc) {
    m_needsData = rc == SQL_NEED_DATA;
    if (succeeded(rc) || rc == SQL_NO_DATA || m_needsData)
        return {};
    return Status::failure(error(QStringLiteral("La instrucción ha fallado.")));
}

Status OdbcStatement::execute() {
    if (Status bound = bindAll(); !bound)
        return bound;
    return afterExecution(SQLExecute(m_stmt));
}

SQLRETURN OdbcStatement::send(const QString& text) {
    if (Status bound = bindAll(); !bound)
        return SQL_ERROR;
    if (m_listener)
        m_listener(text);
    QByteArray bytes = text.toUtf8();
    return SQLExecDirect(m_stmt, reinterpret_cast<SQLCHAR*>(bytes.data()), SQLINTEGER(bytes.size()));
}

Status OdbcStatement::executeDirect(const QString& text) {
    return afterExecution(send(text));
}

Status OdbcStatement::beginData() {
    SQLPOINTER token = nullptr;
    const SQLRETURN rc = SQLParamData(m_stmt, &token);
    m_needsData = rc == SQL_NEED_DATA;
    if (!m_needsData)
        return Status::failure(error(QStringLiteral("El controlador no ha pedido ningún dato.")));
    return {};
}

Status OdbcStatement::putData(QByteArrayView piece) {
    const SQLRETURN rc = SQLPutData(m_stmt, const_cast<char*>(piece.data()), SQLLEN(piece.size()));
    if (!succeeded(rc))
        return Status::failure(error(QStringLiteral("El controlador ha rechazado los datos.")));
    return {};
}

Status OdbcStatement::finishData() {
    SQLPOINTER token = nullptr;
    const SQLRETURN rc = SQLParamData(m_stmt, &token);
    m_needsData = rc == SQL_NEED_DATA;
    if (m_needsData)
        return Status::failure(
            QStringLiteral("El controlador ha pedido más datos de los que tiene la instrucción."));
    if (!succeeded(rc) && rc != SQL_NO_DATA)
        return Status::failure(error(QStringLiteral("La instrucción ha fallado.")));
    return {};
}

Result<bool> OdbcStatement::fetch() {
    const SQLRETURN rc = SQLFetch(m_stmt);
    if (rc == SQL_NO_DATA)
        return Result<bool>(false);
    if (!succeeded(rc))
        return Result<bool>::failure(error(QStringLiteral("No se ha podido leer la fila.")));
    return Result<bool>(true);
}

Result<int> OdbcStatement::columnCount() {
    SQLSMALLINT count = 0;
    if (!succeeded(SQLNumResultCols(m_stmt, &count)))
        return Result<int>::failure(error(QStringLiteral("No se han podido contar las columnas.")));
    return Result<int>(int(count));
}

Result<QString> OdbcStatement::text(int column) {
    // Read in parts: a long value comes back in as many calls as it needs.
    QByteArray value;
    char buffer[4096];
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc =
            SQLGetData(m_stmt, SQLUSMALLINT(column), SQL_C_CHAR, buffer, SQLLEN(sizeof buffer), &indicator);
        if (rc == SQL_NO_DATA)
            break;
        if (!succeeded(rc))
            return Result<QString>::failure(error(QStringLiteral("No se ha podido leer la columna.")));
        if (indicator == SQL_NULL_DATA)
            return Result<QString>(QString());
        const bool truncated =
            rc == SQL_SUCCESS_WITH_INFO && (indicator == SQL_NO_TOTAL || indicator >= SQLLEN(sizeof buffer));
        value.append(buffer, truncated ? qsizetype(sizeof buffer - 1) : qsizetype(indicator));
        if (!truncated)
            break;
    }
    // An empty value is a value, not NULL.
    return Result<QString>(value.isEmpty() ? QString(QLatin1String("")) : QString::fromUtf8(value));
}

} // namespace osk
