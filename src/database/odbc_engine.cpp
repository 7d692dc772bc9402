#include "database/odbc_engine.h"

#include "database/backup_file.h"
#include "database/odbc_component_writer.h"
#include "database/odbc_sql.h"
#include "database/record_errors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <sqlext.h>

namespace osk {

namespace {

const QString kPrincipalDatabase = QStringLiteral("OskDB");
const QString kMasterDatabase = QStringLiteral("Master");

// A backup reports a line per tenth of its progress and a few more; far more means a driver that
// keeps answering without ever ending the results.
constexpr int kMaxBackupResults = 10000;

bool succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// Appends the diagnostic records of the statement's current result.
void collectMessages(SQLHSTMT stmt, QList<ServerMessage>& messages) {
    for (SQLSMALLINT record = 1;; ++record) {
        SQLCHAR state[6] = {};
        SQLINTEGER nativeError = 0;
        SQLCHAR message[2048] = {};
        SQLSMALLINT length = 0;
        const SQLRETURN rc = SQLGetDiagRec(SQL_HANDLE_STMT, stmt, record, state, &nativeError, message,
                                           SQLSMALLINT(sizeof message), &length);
        if (!succeeded(rc))
            return;
        messages.append({QString::fromLatin1(reinterpret_cast<const char*>(state)),
                         QString::fromUtf8(reinterpret_cast<const char*>(message)).trimmed()});
    }
}

// The property statements of one database, on one connection.
class OdbcPropertySession final : public PropertySession {
public:
    OdbcPropertySession(std::unique_ptr<OdbcConnection> connection, StatementListener listener)
        : m_connection(std::move(connection))
        , m_listener(std::move(listener)) {}

    Result<PropertyValue> readProperty(const QString& key) override {
        using Read = Result<PropertyValue>;
        auto statement = OdbcStatement::allocate(*m_connection, 0, m_listener);
        if (!statement)
            return Read::failure(statement.error());
        OdbcStatement& st = **statement;
        st.bindText(key);
        if (Status done = st.executeDirect(QString::fromLatin1(odbc_sql::kReadProperty)); !done)
            return Read::failure(done.error());
        const Result<bool> row = st.fetch();
        if (!row)
            return Read::failure(row.error());
        if (!*row)
            return Read(PropertyValue());
        const Result<QString> value = st.text(1);
        if (!value)
            return Read::failure(value.error());
        return Read(PropertyValue(*value));
    }

    Status updateProperty(const QString& key, const QString& value) override {
        auto statement = OdbcStatement::allocate(*m_connection, 0, m_listener);
        if (!statement)
            return Status::failure(statement.error());
        (*statement)->bindText(value);
        (*statement)->bindText(key);
        return (*statement)->executeDirect(QString::fromLatin1(odbc_sql::kUpdateProperty));
    }

private:
    std::unique_ptr<OdbcConnection> m_connection;
    StatementListener m_listener;
};

} // namespace

Status judgeByMessages(const QList<ServerMessage>& messages, bool failedWithoutMessage) {
    for (const ServerMessage& message : messages) {
        // Class 00 is success, class 01 a warning or the server's informational text.
        const bool informational =
            message.state.startsWith(QLatin1String("00")) || message.state.startsWith(QLatin1String("01"));
        if (!informational)
            return Status::failure(message.text.isEmpty() ? message.state : message.text);
    }
    if (failedWithoutMessage)
        return Status::failure(QStringLiteral("La instrucción ha fallado sin un mensaje del servidor."));
    return {};
}

QString bracketQuoted(const QString& name) {
    QString quoted = name;
    quoted.replace(QLatin1Char(']'), QStringLiteral("]]"));
    return QLatin1Char('[') + quoted + QLatin1Char(']');
}

QString apostropheQuoted(const QString& text) {
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

OdbcEngine::OdbcEngine(OdbcOptions options)
    : m_options(std::move(options)) {}

OdbcEngine::~OdbcEngine() = default;

QString OdbcEngine::connectString(const QString& database) const {
    QString text = QStringLiteral("uid=Osk;pwd=kq7351;driver={") + m_options.driver +
                   QStringLiteral("};Regional=Yes;server=") + m_options.serverName +
                   QStringLiteral(";database=") + database + QLatin1Char(';');
    // FreeTDS's own keys come after the product's connect string, which stays as it is. Microsoft's driver
    // ignores them.
    if (!m_options.tdsVersion.isEmpty())
        text +=
            QStringLiteral("TDS_Version=") + m_options.tdsVersion + QStringLiteral(";ClientCharset=UTF-8;");
    return text;
}

// The documented rule, exactly: the server's name is this computer's name, in any case. "(local)"
// and the like do not count here, so the disk-bound commands stay off for them.
bool OdbcEngine::isLocal(const QString& computerName) const {
    return !m_options.serverName.isEmpty() &&
           m_options.serverName.compare(computerName, Qt::CaseInsensitive) == 0;
}

Result<std::unique_ptr<OdbcConnection>> OdbcEngine::connect(const QString& database) const {
    if (m_options.connectionListener)
        m_options.connectionListener(database);
    return OdbcConnection::open(m_environment, connectString(database), m_options.loginTimeoutSeconds);
}

Result<std::unique_ptr<OdbcStatement>> OdbcEngine::principalStatement() const {
    // Used while closed, cnPrincipal answers with the reason its last open failed.
    if (!m_principal)
        return Result<std::unique_ptr<OdbcStatement>>::failure(
            m_principalError.isEmpty() ? QStringLiteral("La conexión con OskDB no está abierta.")
                                       : m_principalError);
    return OdbcStatement::allocate(*m_principal, kPrincipalQueryTimeout, m_options.statementListener);
}

Status OdbcEngine::openPrincipal() {
    // A previous connection is released first; a failed open leaves none.
    m_principal.reset();
    m_principalError.clear();
    auto opened = connect(kPrincipalDatabase);
    if (!opened) {
        m_principalError = opened.error();
        return Status::failure(opened.error());
    }
    m_principal = std::move(opened).value();
    Status done;
    for (const QString& setup : m_options.principalSetup) {
        // The statement is freed before its connection may be.
        done = [&] {
            auto statement = principalStatement();
            return statement ? (*statement)->executeDirect(setup) : Status::failure(statement.error());
        }();
        if (!done)
            break;
    }
    if (!done) {
        m_principal.reset();
        m_principalError = done.error();
    }
    return done;
}

Result<QString> OdbcEngine::principalPropertyThirdColumn(const QString& key) {
    auto statement = principalStatement();
    if (!statement)
        return Result<QString>::failure(statement.error());
    OdbcStatement& st = **statement;
    st.bindText(key);
    if (Status done = st.executeDirect(QString::fromLatin1(odbc_sql::kReadPropertyRow)); !done)
        return Result<QString>::failure(done.error());
    const Result<int> columns = st.columnCount();
    if (!columns)
        return Result<QString>::failure(columns.error());
    const Result<bool> row = st.fetch();
    if (!row)
        return Result<QString>::failure(row.error());
    if (!*row)
        return Result<QString>::failure(kNoCurrentRecord);
    if (*columns < 3)
        return Result<QString>::failure(QStringLiteral("La tabla OskVersion no tiene tercera columna."));
    return st.text(3);
}

Result<QStringList> OdbcEngine::listProductDatabases() {
    using Names = Result<QStringList>;
    auto connection = connect(kMasterDatabase);
    if (!connection)
        return Names::failure(connection.error());
    auto statement = OdbcStatement::allocate(**connection, 0, m_options.statementListener);
    if (!statement)
        return Names::failure(statement.error());
    OdbcStatement& st = **statement;
    if (Status done = st.executeDirect(QString::fromLatin1(odbc_sql::kListDatabases)); !done)
        return Names::failure(done.error());
    QStringList names;
    for (;;) {
        const Result<bool> row = st.fetch();
        if (!row)
            return Names::failure(row.error());
        if (!*row)
            break;
        const Result<QString> name = st.text(1);
        if (!name)
            return Names::failure(name.error());
        names << *name;
    }
    return Names(std::move(names));
}

Result<PropertyValue> OdbcEngine::readProperty(const QString& database, const QString& key) {
    auto session = openPropertySession(database);
    if (!session)
        return Result<PropertyValue>::failure(session.error());
    return (*session)->readProperty(key);
}

Status OdbcEngine::updateProperty(const QString& database, const QString& key, const QString& value) {
    auto session = openPropertySession(database);
    if (!session)
        return Status::failure(session.error());
    return (*session)->updateProperty(key, value);
}

Result<std::unique_ptr<PropertySession>> OdbcEngine::openPropertySession(const QString& database) {
    using Opened = Result<std::unique_ptr<PropertySession>>;
    auto connection = connect(database);
    if (!connection)
        return Opened::failure(connection.error());
    return Opened(
        std::make_unique<OdbcPropertySession>(std::move(connection).value(), m_options.statementListener));
}

Status OdbcEngine::dropDatabase(const QString& database) {
    auto statement = principalStatement();
    if (!statement)
        return Status::failure(statement.error());
    return (*statement)->executeDirect(QStringLiteral("Drop DATABASE ") + bracketQuoted(database));
}

void OdbcEngine::stopBackups() {
    const std::lock_guard lock(m_backupMutex);
    m_backupsStopped = true;
    // SQLCancel is the one call ODBC allows on a statement that another thread is executing.
    if (m_backupStatement != SQL_NULL_HSTMT)
        SQLCancel(m_backupStatement);
}

Status OdbcEngine::backupDatabase(const QString& database, const QString& outputFile) {
    const Status stopped = Status::failure(QStringLiteral("Copia de seguridad cancelada."));
    {
        const std::lock_guard lock(m_backupMutex);
        if (m_backupsStopped)
            return stopped;
    }
    if (outputFile.isEmpty())
        return Status::failure(backup_file::kNoFileName);
    // BACKUP adds a backup set to an existing file, so the server writes a new file under a name of
    // its own beside the output, which replaces the old backup only once the server has said the
    // backup is complete: a failed backup leaves the previous one as it was. Backups are scheduled
    // only when SQL Server runs on this computer, so the path the server writes is a path of this
    // disk.
    const QString temporary = backup_file::temporaryNameBeside(outputFile);
    const auto discard = [&temporary](Status failed) {
        QFile::remove(temporary);
        return failed;
    };
    auto connection = connect(kMasterDatabase);
    if (!connection)
        return Status::failure(connection.error());
    // BACKUP refuses to run inside a transaction.
    const SQLRETURN autocommit = SQLSetConnectAttr((*connection)->handle(), SQL_ATTR_AUTOCOMMIT,
                                                   reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    if (!succeeded(autocommit))
        return Status::failure(
            odbcDiagnostic(SQL_HANDLE_DBC, (*connection)->handle(),
                           QStringLiteral("El servidor ha rechazado la confirmación automática.")));
    auto statement = OdbcStatement::allocate(**connection, kBackupQueryTimeout, m_options.statementListener);
    if (!statement)
        return Status::failure(statement.error());
    OdbcStatement& st = **statement;
    {
        const std::lock_guard lock(m_backupMutex);
        if (m_backupsStopped)
            return stopped;
        m_backupStatement = st.handle();
    }
    // Unregistered before the statement is freed, so that a stop never cancels a freed handle.
    const auto unregister = qScopeGuard([this] {
        const std::lock_guard lock(m_backupMutex);
        m_backupStatement = SQL_NULL_HSTMT;
    });
    const QString text = QStringLiteral("BACKUP DATABASE ") + bracketQuoted(database) +
                         QStringLiteral("\r\nTO DISK = ") + apostropheQuoted(temporary);
    SQLRETURN rc = st.send(text);
    // The server reports progress as one result after another; the backup completes only once all
    // of them have been read. The return codes are not to be trusted here: the messages decide.
    QList<ServerMessage> messages;
    bool failedWithoutMessage = false;
    for (int results = 0; rc != SQL_NO_DATA && rc != SQL_INVALID_HANDLE && results < kMaxBackupResults;
         ++results) {
        const qsizetype before = messages.size();
        collectMessages(st.handle(), messages);
        if (rc == SQL_ERROR && messages.size() == before) {
            failedWithoutMessage = true;
            break;
        }
        rc = SQLMoreResults(st.handle());
    }
    const Status judged = judgeByMessages(messages, failedWithoutMessage || rc == SQL_INVALID_HANDLE);
    {
        const std::lock_guard lock(m_backupMutex);
        // A cancelled BACKUP may leave the file it had begun; it is no backup set.
        if (!judged && m_backupsStopped)
            return discard(stopped);
    }
    if (!judged)
        return discard(judged);
    if (Status kept = backup_file::keepModeOf(outputFile, temporary); !kept)
        return discard(kept);
    if (Status replaced = backup_file::replace(temporary, outputFile); !replaced)
        return discard(replaced);
    return {};
}

Result<std::unique_ptr<ComponentWriter>> OdbcEngine::openComponentWriter(const QString& database) {
    using Opened = Result<std::unique_ptr<ComponentWriter>>;
    auto connection = connect(database);
    if (!connection)
        return Opened::failure(connection.error());
    PieceMethod method = m_options.pieceMethod;
    if (method == PieceMethod::Automatic)
        method = (*connection)->dbmsName().contains(QStringLiteral("SQL Server"), Qt::CaseInsensitive)
                     ? PieceMethod::UpdateText
                     : PieceMethod::DataAtExecution;
    return Opened(std::make_unique<OdbcComponentWriter>(std::move(connection).value(), method,
                                                        m_options.statementListener));
}

} // namespace osk
