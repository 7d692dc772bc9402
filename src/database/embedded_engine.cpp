#include "database/embedded_engine.h"

#include "database/record_errors.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <memory>
#include <sqlite3.h>

namespace osk {

namespace {

const QString kPrincipalDatabase = QStringLiteral("OskDB");
const QString kUpdateDatabase = QStringLiteral("OskDBUpdate");
const QString kProductPrefix = QStringLiteral("osk");
const QString kFileSuffix = QStringLiteral(".db");

// Long enough to ride out another connection's write (a backup, the principal connection), short
// enough that the console does not look hung.
constexpr int kBusyTimeoutMs = 5000;

// Property keys are compared without regard to case, as SQL Server's default collation does, so
// that OskDB behaves on both engines alike. The third column of "SELECT *" is PropertyValue.
constexpr const char* kCreatePropertyTable = "CREATE TABLE IF NOT EXISTS OskVersion ("
                                             "Id INTEGER PRIMARY KEY, "
                                             "Property TEXT NOT NULL UNIQUE COLLATE NOCASE, "
                                             "PropertyValue TEXT)";
constexpr const char* kInsertMissingProperty =
    "INSERT INTO OskVersion (Property, PropertyValue) "
    "SELECT ?1, ?2 WHERE NOT EXISTS (SELECT 1 FROM OskVersion WHERE Property=?1)";
constexpr const char* kSelectAllProperty = "SELECT * FROM OskVersion WHERE Property=?";
constexpr const char* kSelectPropertyValue = "SELECT PropertyValue FROM OskVersion WHERE Property=?";
constexpr const char* kUpdatePropertyValue = "UPDATE OskVersion SET PropertyValue=? WHERE Property=?";

struct InitialProperty {
    const char* key;
    const char* value; // nullptr: SQL NULL
};

// The rows a new OskDB starts with; the server fills host, port and mode later, the client
// distribution the executable revision.
constexpr InitialProperty kInitialProperties[] = {
    {"AppVersion", OSK_VERSION_STRING}, {"AppDBRevision", "1"},  {"AppOskServerHost", nullptr},
    {"AppOskServerPort", nullptr},      {"AppUsrMode", nullptr}, {"AppEXERevision", nullptr},
};

struct ConnectionCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;

struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

QString lastError(sqlite3* db) {
    return QString::fromUtf8(sqlite3_errmsg(db));
}

Result<Connection> openConnection(const QString& path, int flags) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(QDir::toNativeSeparators(path).toUtf8().constData(), &raw, flags, nullptr);
    Connection db(raw); // a handle comes back even when the open fails, and must be closed
    if (rc != SQLITE_OK) {
        const QString reason = raw ? lastError(raw) : QString::fromUtf8(sqlite3_errstr(rc));
        return Result<Connection>::failure(reason + QStringLiteral(": ") + QDir::toNativeSeparators(path));
    }
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    return Result<Connection>(std::move(db));
}

Result<Statement> prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        sqlite3_finalize(raw);
        return Result<Statement>::failure(lastError(db));
    }
    return Result<Statement>(Statement(raw));
}

// A null QString is bound as an empty text: the server writes texts, never NULL, into a property.
bool bindText(sqlite3_stmt* statement, int index, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return sqlite3_bind_text(statement, index, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT) ==
           SQLITE_OK;
}

// The column as text; SQL NULL is a null QString, an empty text an empty, non-null one.
QString columnText(sqlite3_stmt* statement, int column) {
    if (sqlite3_column_type(statement, column) == SQLITE_NULL)
        return {};
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return QString::fromUtf8(text ? text : "", sqlite3_column_bytes(statement, column));
}

Status execute(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        return Status::failure(lastError(db));
    return {};
}

Status insertMissingProperties(sqlite3* db) {
    auto statement = prepare(db, kInsertMissingProperty);
    if (!statement)
        return Status::failure(statement.error());
    for (const InitialProperty& property : kInitialProperties) {
        sqlite3_stmt* st = statement->get();
        sqlite3_reset(st);
        const bool bound = sqlite3_bind_text(st, 1, property.key, -1, SQLITE_STATIC) == SQLITE_OK &&
                           (property.value ? sqlite3_bind_text(st, 2, property.value, -1, SQLITE_STATIC)
                                           : sqlite3_bind_null(st, 2)) == SQLITE_OK;
        if (!bound || sqlite3_step(st) != SQLITE_DONE)
            return Status::failure(lastError(db));
    }
    return {};
}

// Creates the property table of OskDB and any of its initial rows that are missing, all or nothing.
Status preparePrincipal(sqlite3* db) {
    if (auto begun = execute(db, "BEGIN IMMEDIATE"); !begun)
        return begun;
    Status done = execute(db, kCreatePropertyTable);
    if (done)
        done = insertMissingProperties(db);
    if (done)
        done = execute(db, "COMMIT");
    if (!done)
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return done;
}

bool isProductDatabase(const QString& name) {
    return name.startsWith(kProductPrefix, Qt::CaseInsensitive) &&
           name.compare(kUpdateDatabase, Qt::CaseInsensitive) != 0;
}

bool isPrincipal(const QString& name) {
    return name.compare(kPrincipalDatabase, Qt::CaseInsensitive) == 0;
}

// A connection of its own to one existing database: a read never creates a database file.
Result<Connection> openExisting(const EmbeddedEngine& engine, const QString& database) {
    if (database.isEmpty() || database.contains(QLatin1Char('/')) || database.contains(QLatin1Char('\\')) ||
        database.contains(QChar(0)))
        return Result<Connection>::failure(QStringLiteral("Invalid database name: ") + database);
    return openConnection(engine.databasePath(database), SQLITE_OPEN_READWRITE);
}

} // namespace

EmbeddedEngine::EmbeddedEngine(QString dataFolder)
    : m_dataFolder(std::move(dataFolder)) {}

EmbeddedEngine::~EmbeddedEngine() {
    sqlite3_close_v2(m_principal);
}

QString EmbeddedEngine::databasePath(const QString& database) const {
    return QDir(m_dataFolder).filePath(database + kFileSuffix);
}

Status EmbeddedEngine::openPrincipal() {
    // A previous connection is released first; a failed open leaves none.
    sqlite3_close_v2(m_principal);
    m_principal = nullptr;

    if (!QDir().mkpath(m_dataFolder))
        return Status::failure(QStringLiteral("Cannot create the folder ") +
                               QDir::toNativeSeparators(m_dataFolder));
    auto opened =
        openConnection(databasePath(kPrincipalDatabase), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (!opened)
        return Status::failure(opened.error());
    Connection db = std::move(opened).value();
    if (auto prepared = preparePrincipal(db.get()); !prepared)
        return prepared;
    m_principal = db.release();
    return {};
}

Result<QString> EmbeddedEngine::principalPropertyThirdColumn(const QString& key) {
    if (!m_principal)
        return Result<QString>::failure(QStringLiteral("The connection to OskDB is not open."));
    auto statement = prepare(m_principal, kSelectAllProperty);
    if (!statement)
        return Result<QString>::failure(statement.error());
    sqlite3_stmt* st = statement->get();
    if (!bindText(st, 1, key))
        return Result<QString>::failure(lastError(m_principal));
    const int rc = sqlite3_step(st);
    if (rc == SQLITE_DONE)
        return Result<QString>::failure(kNoCurrentRecord);
    if (rc != SQLITE_ROW)
        return Result<QString>::failure(lastError(m_principal));
    if (sqlite3_column_count(st) < 3)
        return Result<QString>::failure(QStringLiteral("The table OskVersion has no third column."));
    return Result<QString>(columnText(st, 2));
}

Result<QStringList> EmbeddedEngine::listProductDatabases() {
    const QDir folder(m_dataFolder);
    if (!folder.exists())
        return Result<QStringList>(QStringList());
    if (!QFileInfo(m_dataFolder).isReadable())
        return Result<QStringList>::failure(QStringLiteral("Cannot read the folder ") +
                                            QDir::toNativeSeparators(m_dataFolder));

    // The suffix is matched as the file system matches names, so that every name listed opens
    // again through databasePath().
    QStringList names;
    for (const QString& file : folder.entryList({QLatin1Char('*') + kFileSuffix}, QDir::Files)) {
        const QString name = file.chopped(kFileSuffix.size());
        if (isProductDatabase(name))
            names << name;
    }
    // OskDB, the system database, first, as the server created it first; the rest by name.
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        if (isPrincipal(a) != isPrincipal(b))
            return isPrincipal(a);
        if (const int order = a.compare(b, Qt::CaseInsensitive); order != 0)
            return order < 0;
        return a < b;
    });
    return Result<QStringList>(std::move(names));
}

Result<PropertyValue> EmbeddedEngine::readProperty(const QString& database, const QString& key) {
    auto opened = openExisting(*this, database);
    if (!opened)
        return Result<PropertyValue>::failure(opened.error());
    sqlite3* db = opened->get();
    auto statement = prepare(db, kSelectPropertyValue);
    if (!statement)
        return Result<PropertyValue>::failure(statement.error());
    sqlite3_stmt* st = statement->get();
    if (!bindText(st, 1, key))
        return Result<PropertyValue>::failure(lastError(db));
    switch (sqlite3_step(st)) {
    case SQLITE_DONE:
        return Result<PropertyValue>(PropertyValue());
    case SQLITE_ROW:
        return Result<PropertyValue>(PropertyValue(columnText(st, 0)));
    default:
        return Result<PropertyValue>::failure(lastError(db));
    }
}

Status EmbeddedEngine::updateProperty(const QString& database, const QString& key, const QString& value) {
    auto opened = openExisting(*this, database);
    if (!opened)
        return Status::failure(opened.error());
    sqlite3* db = opened->get();
    auto statement = prepare(db, kUpdatePropertyValue);
    if (!statement)
        return Status::failure(statement.error());
    sqlite3_stmt* st = statement->get();
    if (!bindText(st, 1, value) || !bindText(st, 2, key) || sqlite3_step(st) != SQLITE_DONE)
        return Status::failure(lastError(db));
    return {};
}

// Not written yet: the database administration commands come next.
Status EmbeddedEngine::dropDatabase(const QString&) {
    return Status::failure(QStringLiteral("Eliminar bases de datos no está disponible todavía."));
}

Status EmbeddedEngine::backupDatabase(const QString&, const QString&) {
    return Status::failure(QStringLiteral("Las copias de seguridad no están disponibles todavía."));
}

Result<std::unique_ptr<ComponentWriter>> EmbeddedEngine::openComponentWriter(const QString&) {
    return Result<std::unique_ptr<ComponentWriter>>::failure(
        QStringLiteral("La distribución de ejecutables no está disponible todavía."));
}

} // namespace osk
