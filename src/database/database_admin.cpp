#include "database/database_admin.h"

#include "common/operator.h"
#include "database/engine.h"
#include "database/record_errors.h"
#include "eventlog/event_log.h"

#include <QMetaType>
#include <QVariant>
#include <utility>

namespace osk {

namespace {

enum Column { NameColumn, RevisionColumn, StateColumn, ColumnCount };

const QString kAppVersion = QStringLiteral("AppVersion");
const QString kAppDBRevision = QStringLiteral("AppDBRevision");
const QString kAppOskServerHost = QStringLiteral("AppOskServerHost");
const QString kAppOskServerPort = QStringLiteral("AppOskServerPort");
const QString kAppUsrMode = QStringLiteral("AppUsrMode");
const QString kMultiUser = QStringLiteral("MULTI");

const QString kUpToDate = QStringLiteral("Actualizada");
const QString kIncorrect = QStringLiteral("Incorrecta");
const QString kBadServerData = QStringLiteral("Datos incorrectos en la Base de Datos. Actualice.");

// Pure red, the colour of an "Incorrecta" row. QColor belongs to QtGui, which the core does not
// link: the colour is made through the metatype system, so it exists wherever QtGui is loaded
// (every process that has a view to paint) and is an invalid variant in the headless service.
const QVariant& incorrectRowColour() {
    static const QVariant colour = [] {
        const QMetaType colourType = QMetaType::fromName("QColor");
        QVariant value(QStringLiteral("#ff0000"));
        if (!colourType.isValid() || !value.convert(colourType))
            return QVariant();
        return value;
    }();
    return colour;
}

// Fills the list as CargaBasesDatos describes; the first error ends it, keeping the rows so far.
Status fillList(Engine& engine, DatabaseListModel& list, int port, const QString& computerName) {
    list.clear();
    const auto names = engine.listProductDatabases();
    if (!names)
        return Status::failure(names.error());

    for (const QString& name : *names) {
        const int row = list.append(name);

        // One connection carries all of this database's statements: a login per statement would
        // cost seconds on a server with many databases.
        auto session = engine.openPropertySession(name);
        if (!session)
            return Status::failure(session.error());
        PropertySession& database = **session;

        const auto version = database.readProperty(kAppVersion);
        if (!version)
            return Status::failure(version.error());
        if (!version->has_value()) {
            list.setValid(row, false);
        } else {
            if (port != 0) {
                // Each statement by itself, in this order: a failure leaves the earlier ones written.
                const std::pair<QString, QString> updates[] = {
                    {kAppOskServerPort, QString::number(port)},
                    {kAppOskServerHost, computerName},
                    {kAppUsrMode, kMultiUser},
                };
                for (const auto& [key, value] : updates) {
                    if (auto updated = database.updateProperty(key, value); !updated)
                        return updated;
                }
            }
            list.setValid(row, true);
        }

        const auto revision = database.readProperty(kAppDBRevision);
        if (!revision)
            return Status::failure(revision.error());
        if (!revision->has_value())
            return Status::failure(kNoCurrentRecord);
        list.setRevision(row, **revision);
    }
    return {};
}

} // namespace

DatabaseListModel::DatabaseListModel(QObject* parent)
    : QAbstractTableModel(parent) {}

int DatabaseListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

int DatabaseListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant DatabaseListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const DatabaseRow& row = m_rows[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case NameColumn:
            return row.name;
        case RevisionColumn:
            return row.revision;
        case StateColumn:
            return row.checked ? (row.valid ? kUpToDate : kIncorrect) : QString();
        }
        return {};
    case Qt::ForegroundRole:
        return row.checked && !row.valid ? incorrectRowColour() : QVariant();
    default:
        return {};
    }
}

QVariant DatabaseListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case NameColumn:
        return QStringLiteral("Base de Datos");
    case RevisionColumn:
        return QStringLiteral("Versión");
    case StateColumn:
        return QStringLiteral("Estado");
    }
    return {};
}

void DatabaseListModel::clear() {
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

int DatabaseListModel::append(const QString& name) {
    const int row = int(m_rows.size());
    beginInsertRows({}, row, row);
    m_rows.push_back({name, {}, false, false});
    endInsertRows();
    return row;
}

void DatabaseListModel::setRevision(int row, const QString& revision) {
    if (row < 0 || row >= int(m_rows.size()))
        return;
    m_rows[size_t(row)].revision = revision;
    emit dataChanged(index(row, RevisionColumn), index(row, RevisionColumn), {Qt::DisplayRole});
}

void DatabaseListModel::setValid(int row, bool valid) {
    if (row < 0 || row >= int(m_rows.size()))
        return;
    DatabaseRow& entry = m_rows[size_t(row)];
    entry.valid = valid;
    entry.checked = true;
    // The colour is the whole row's.
    emit dataChanged(index(row, NameColumn), index(row, StateColumn), {Qt::DisplayRole, Qt::ForegroundRole});
}

DatabaseAdmin::DatabaseAdmin(Engine& engine, EventLog& log, Operator& op, DatabaseListModel& list)
    : m_engine(engine)
    , m_log(log)
    , m_operator(op)
    , m_list(list) {}

bool DatabaseAdmin::CargaBasesDatos(int port, const QString& computerName) {
    const Status filled = fillList(m_engine, m_list, port, computerName);
    if (!filled)
        m_operator.showMessage(filled.error(), MessageIcon::Exclamation, kDefaultTitle);
    return filled.ok();
}

bool DatabaseAdmin::CompruebaDatos(const QString& computerName, const QString& localAddress) {
    const Result<QString> host = m_engine.principalPropertyThirdColumn(kAppOskServerHost);
    if (!host) {
        m_operator.showMessage(QStringLiteral("CompruebaDatos \r\n") + host.error(), MessageIcon::None,
                               kDefaultTitle);
        return false;
    }
    if (host->isNull()) {
        m_log.AddLog(kBadServerData, LogKind::Error);
        return false;
    }
    if (*host == computerName)
        return true;
    // A host stored as this computer's address names it as well as its name does.
    if (!localAddress.isEmpty() && *host == localAddress)
        return true;
    m_log.AddLog(kBadServerData, LogKind::Error);
    return false;
}

bool DatabaseAdmin::mnuDBDelete(const QString& database, int port, const QString& computerName) {
    if (database == QStringLiteral("OskDB")) {
        m_operator.showMessage(
            QStringLiteral("No se puede eliminar la Base de Datos OskDB, es esencial para el sistema."),
            MessageIcon::Information, kDefaultTitle);
        return false;
    }
    if (!m_operator.ask(
            QStringLiteral("Va a eliminar una Base de Datos que puede estar en uso, ¿Desea continuar?"),
            MessageIcon::Information, kDefaultTitle))
        return false;
    if (const Status dropped = m_engine.dropDatabase(database); !dropped) {
        m_operator.showMessage(QStringLiteral("mnuDBDelete Error") + dropped.error(), MessageIcon::Critical,
                               kDefaultTitle);
        return false;
    }
    CargaBasesDatos(port, computerName);
    return true;
}

} // namespace osk
