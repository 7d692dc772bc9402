#pragma once

#include <QDir>
#include <QString>
#include <QStringList>
#include <optional>
#include <sqlite3.h>
#include <utility>
#include <vector>

namespace osk::test {

// Product databases written and read with SQLite directly, so the engine under test is checked
// against the file, not against itself.
using Property = std::pair<QString, std::optional<QString>>; // nullopt value: SQL NULL

// Runs statements on a database file, creating it; false with the message on stderr on failure.
inline bool runSql(const QString& path, const QStringList& statements) {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(QDir::toNativeSeparators(path).toUtf8().constData(), &db,
                              SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK;
    for (const QString& sql : statements) {
        if (!ok)
            break;
        char* error = nullptr;
        ok = sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &error) == SQLITE_OK;
        if (!ok)
            qWarning("%s: %s", qPrintable(sql), error);
        sqlite3_free(error);
    }
    sqlite3_close(db);
    return ok;
}

inline QString sqlLiteral(const std::optional<QString>& value) {
    if (!value)
        return QStringLiteral("NULL");
    return QLatin1Char('\'') + QString(*value).replace(QLatin1Char('\''), QStringLiteral("''")) +
           QLatin1Char('\'');
}

// A product database whose property table has the given rows.
inline bool createProductDatabase(const QString& path, const std::vector<Property>& rows) {
    QStringList statements{QStringLiteral("CREATE TABLE OskVersion (Id INTEGER PRIMARY KEY, Property TEXT, "
                                          "PropertyValue TEXT)")};
    for (const auto& [key, value] : rows)
        statements << QStringLiteral("INSERT INTO OskVersion (Property, PropertyValue) VALUES (%1, %2)")
                          .arg(sqlLiteral(key), sqlLiteral(value));
    return runSql(path, statements);
}

// Every row of the property table as it is in the file, in insertion order: "key=value", or
// "key is NULL".
inline QStringList propertyRows(const QString& path) {
    QStringList rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QDir::toNativeSeparators(path).toUtf8().constData(), &db, SQLITE_OPEN_READONLY,
                        nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT Property, PropertyValue FROM OskVersion ORDER BY rowid", -1, &st,
                               nullptr) == SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW) {
                const QString key =
                    QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
                if (sqlite3_column_type(st, 1) == SQLITE_NULL)
                    rows << key + QStringLiteral(" is NULL");
                else
                    rows << key + QLatin1Char('=') +
                                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return rows;
}

} // namespace osk::test
