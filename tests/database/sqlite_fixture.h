#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QStringList>
#include <sqlite3.h>

namespace osk::test {

// Database files written and read with SQLite directly, so an engine is checked against the file,
// not against itself.
class SqliteFile final {
public:
    explicit SqliteFile(const QString& path) {
        if (sqlite3_open_v2(QDir::toNativeSeparators(path).toUtf8().constData(), &m_db,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
            sqlite3_close(m_db);
            m_db = nullptr;
        }
    }
    ~SqliteFile() { sqlite3_close(m_db); }
    SqliteFile(const SqliteFile&) = delete;
    SqliteFile& operator=(const SqliteFile&) = delete;

    // Runs the statements in order; false, with SQLite's message as a warning, at the first refused.
    bool run(const QStringList& statements) {
        for (const QString& sql : statements) {
            char* error = nullptr;
            const bool ok =
                m_db && sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &error) == SQLITE_OK;
            if (!ok)
                qWarning("%s: %s", qPrintable(sql), error);
            sqlite3_free(error);
            if (!ok)
                return false;
        }
        return true;
    }

    // Every row of the query, its columns joined by "|", SQL NULL as "NULL".
    QStringList rows(const char* sql) {
        QStringList rows;
        sqlite3_stmt* st = nullptr;
        if (m_db && sqlite3_prepare_v2(m_db, sql, -1, &st, nullptr) == SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW) {
                QStringList columns;
                for (int i = 0; i < sqlite3_column_count(st); ++i)
                    columns << (sqlite3_column_type(st, i) == SQLITE_NULL
                                    ? QStringLiteral("NULL")
                                    : QString::fromUtf8(
                                          reinterpret_cast<const char*>(sqlite3_column_text(st, i))));
                rows << columns.join(QLatin1Char('|'));
            }
        }
        sqlite3_finalize(st);
        return rows;
    }

private:
    sqlite3* m_db = nullptr;
};

// The property table as the product databases hold it.
inline const QString kPropertyTable =
    QStringLiteral("CREATE TABLE OskVersion (Id INTEGER PRIMARY KEY, Property TEXT, PropertyValue TEXT)");
inline const QString kComponentsTable =
    QStringLiteral("CREATE TABLE oskComponents (IdNumero INTEGER, FileName TEXT, FileObject BLOB)");

} // namespace osk::test
