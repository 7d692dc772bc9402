#include "database/embedded_sqlite.h"

#include <QByteArray>
#include <QDir>

namespace osk::embedded {

QString lastError(sqlite3* db) {
    return QString::fromUtf8(sqlite3_errmsg(db));
}

Result<Connection> openConnection(const QString& path, int flags, int busyTimeoutMs) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(QDir::toNativeSeparators(path).toUtf8().constData(), &raw, flags, nullptr);
    Connection db(raw); // a handle comes back even when the open fails, and must be closed
    if (rc != SQLITE_OK) {
        const QString reason = raw ? lastError(raw) : QString::fromUtf8(sqlite3_errstr(rc));
        return Result<Connection>::failure(reason + QStringLiteral(": ") + QDir::toNativeSeparators(path));
    }
    sqlite3_busy_timeout(raw, busyTimeoutMs);
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

bool bindText(sqlite3_stmt* statement, int index, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return sqlite3_bind_text(statement, index, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT) ==
           SQLITE_OK;
}

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

void rollback(sqlite3* db) {
    if (!sqlite3_get_autocommit(db))
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
}

Status updatePropertyValue(sqlite3* db, const QString& key, const QString& value) {
    auto statement = prepare(db, "UPDATE OskVersion SET PropertyValue=? WHERE Property=?");
    if (!statement)
        return Status::failure(statement.error());
    sqlite3_stmt* st = statement->get();
    if (!bindText(st, 1, value) || !bindText(st, 2, key) || sqlite3_step(st) != SQLITE_DONE)
        return Status::failure(lastError(db));
    return {};
}

} // namespace osk::embedded
