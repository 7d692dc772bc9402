#pragma once

#include "common/result.h"

#include <QString>
#include <memory>
#include <sqlite3.h>

// The few SQLite C API pieces the embedded engine and its component writer share: owned handles,
// opening, preparing, binding and the error text, always the connection's own description.
namespace osk::embedded {

// Long enough to ride out another connection's write (a backup, the principal connection), short
// enough that the console does not look hung.
constexpr int kBusyTimeoutMs = 5000;

struct ConnectionCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;

struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

QString lastError(sqlite3* db);

// The reason of a failed call as the operator reads it, for the failures a disk causes: a full
// disk, no permission, a read-only file or file system, the system's own error behind an I/O
// failure, in Spanish; SQLite's own text for the rest.
QString reasonFor(int errorCode, int systemError, const QString& sqliteText);
QString operatorReason(sqlite3* db);

// The files of a database (path and its -journal, -wal and -shm) belong to the program: a symbolic
// link or anything but a regular file in their place is refused, as a program file is refused,
// so that nothing is read or written through it and a FIFO never makes a call wait. A file that
// does not exist is no refusal.
Status checkDatabaseFiles(const QString& path);

// Opens path with flags and the busy time-out, after checkDatabaseFiles() and never through a
// link; the error names the file.
Result<Connection> openConnection(const QString& path, int flags, int busyTimeoutMs = kBusyTimeoutMs);

Result<Statement> prepare(sqlite3* db, const char* sql);

// A null QString is bound as an empty text: the server writes texts, never NULL, into a property.
bool bindText(sqlite3_stmt* statement, int index, const QString& text);

// The column as text; SQL NULL is a null QString, an empty text an empty, non-null one.
QString columnText(sqlite3_stmt* statement, int column);

Status execute(sqlite3* db, const char* sql);

// Ends an open transaction without caring whether one is open; errors are of no use to a caller
// that is already reporting the one that made it roll back.
void rollback(sqlite3* db);

// "Update OskVersion Set PropertyValue=<value> Where Property=<key>".
Status updatePropertyValue(sqlite3* db, const QString& key, const QString& value);

} // namespace osk::embedded
