#pragma once

#include "common/result.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace osk {

// A property read: nullopt when the table has no row for the key; a null QString when the row's
// value is SQL NULL.
using PropertyValue = std::optional<QString>;

// The database engine behind the administration commands: SQL Server through ODBC, or the embedded
// engine that lets the program run with no server. Every call that can fail answers with the
// error's description as the engine reports it.
class Engine {
public:
    virtual ~Engine() = default;

    // What the console shows as the SQL Server name.
    virtual QString serverDisplayName() const = 0;
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
};

} // namespace osk
