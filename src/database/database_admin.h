#pragma once

#include "common/result.h"

#include <QAbstractTableModel>
#include <QString>
#include <QStringList>
#include <vector>

namespace osk {

class Engine;
class EventLog;
class Operator;

// One row of the database list lstDB.
struct DatabaseRow {
    QString name;
    QString revision;     // AppDBRevision
    bool valid = false;   // "Actualizada" when true, "Incorrecta" (shown in red) when false
    bool checked = false; // false until the state is known: "Estado" stays blank, as after an error
};

// lstDB as a model: columns "Base de Datos", "Versión", "Estado"; invalid rows in red.
class DatabaseListModel final : public QAbstractTableModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DatabaseListModel)

public:
    explicit DatabaseListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    const std::vector<DatabaseRow>& rows() const { return m_rows; }
    void clear();
    int append(const QString& name);
    void setRevision(int row, const QString& revision);
    void setValid(int row, bool valid);

private:
    std::vector<DatabaseRow> m_rows;
};

// The database list and the server data written into each product database, and the check of
// OskDB that the service start depends on.
class DatabaseAdmin final {
public:
    DatabaseAdmin(Engine& engine, EventLog& log, Operator& op, DatabaseListModel& list);

    // Fills the list; when port is not 0 also writes port, host (computerName) and "MULTI" into
    // every valid database. Errors are shown to the operator and end the filling; false then.
    bool CargaBasesDatos(int port, const QString& computerName);

    // True when OskDB names this computer (by name, or by localAddress) as the server's host.
    bool CompruebaDatos(const QString& computerName, const QString& localAddress);

    // "Eliminar BD": drops a product database after the operator confirms, then fills the list
    // again. OskDB is never dropped. True when the database was dropped.
    bool mnuDBDelete(const QString& database, int port, const QString& computerName);

private:
    Engine& m_engine;
    EventLog& m_log;
    Operator& m_operator;
    DatabaseListModel& m_list;
};

} // namespace osk
