#include "database/embedded_sqlite.h"

#include "common/owned_file.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <cerrno>
#include <sys/stat.h>

namespace osk::embedded {

QString lastError(sqlite3* db) {
    return QString::fromUtf8(sqlite3_errmsg(db));
}

QString reasonFor(int errorCode, int systemError, const QString& sqliteText) {
    switch (errorCode & 0xff) {
    case SQLITE_FULL:
        return systemReason(ENOSPC);
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return systemReason(EACCES);
    case SQLITE_READONLY:
        return systemError != 0 ? systemReason(systemError) : QStringLiteral("el archivo es de solo lectura");
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
        if (systemError != 0)
            return systemReason(systemError);
        break;
    case SQLITE_NOTADB:
        return QStringLiteral("no es una base de datos");
    case SQLITE_CORRUPT:
        return QStringLiteral("la base de datos está dañada");
    default:
        break;
    }
    return sqliteText;
}

QString operatorReason(sqlite3* db) {
    return reasonFor(sqlite3_extended_errcode(db), sqlite3_system_errno(db), lastError(db));
}

Status checkDatabaseFiles(const QString& path) {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        const QString file = path + QLatin1String(suffix);
        struct stat status {};
        if (::lstat(QFile::encodeName(file).constData(), &status) != 0) {
            if (errno == ENOENT)
                continue;
            return Status::failure(QStringLiteral("No se puede abrir el archivo %1: %2.")
                                       .arg(QDir::toNativeSeparators(file), systemReason(errno)));
        }
        if (S_ISREG(status.st_mode))
            continue;
        return Status::failure(QStringLiteral("No se puede abrir el archivo %1: %2.")
                                   .arg(QDir::toNativeSeparators(file), fileKindReason(status.st_mode)));
    }
    return {};
}

Result<Connection> openConnection(const QString& path, int flags, int busyTimeoutMs) {
    if (Status owned = checkDatabaseFiles(path); !owned)
        return Result<Connection>::failure(owned.error());
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(QDir::toNativeSeparators(path).toUtf8().constData(), &raw,
                                   flags | SQLITE_OPEN_NOFOLLOW, nullptr);
    Connection db(raw); // a handle comes back even when the open fails, and must be closed
    if (rc != SQLITE_OK) {
        const QString reason =
            raw ? operatorReason(raw) : reasonFor(rc, 0, QString::fromUtf8(sqlite3_errstr(rc)));
        return Result<Connection>::failure(QStringLiteral("No se puede abrir la base de datos %1: %2.")
                                               .arg(QDir::toNativeSeparators(path), reason));
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
