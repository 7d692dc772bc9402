#include "session/users_list.h"

#include <algorithm>

namespace osk {

UsersList::UsersList(QObject* parent)
    : QAbstractListModel(parent) {}

int UsersList::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant UsersList::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= count())
        return {};
    const Row& r = row(index.row());
    if (role == Qt::DisplayRole)
        return r.text;
    if (role == SlotRole)
        return r.slot;
    return {};
}

void UsersList::append(const QString& text, int slot) {
    insert(count(), text, slot);
}

void UsersList::insert(int index, const QString& text, int slot) {
    beginInsertRows({}, index, index);
    m_rows.insert(m_rows.begin() + index, Row{text, slot});
    endInsertRows();
}

void UsersList::remove(int index) {
    beginRemoveRows({}, index, index);
    m_rows.erase(m_rows.begin() + index);
    endRemoveRows();
}

void UsersList::clear() {
    if (m_rows.empty())
        return;
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

int UsersList::findBySlot(int slot) const {
    const auto found =
        std::find_if(m_rows.begin(), m_rows.end(), [slot](const Row& row) { return row.slot == slot; });
    return found == m_rows.end() ? -1 : int(found - m_rows.begin());
}

QString UsersList::rowText(const QString& address, const QString& user, const QString& session, bool hasExtra,
                           const QString& extra, bool afterChange) {
    QString text = address + QStringLiteral("  [") + user +
                   (afterChange ? QStringLiteral("]en [") : QStringLiteral("] en [")) + session +
                   QLatin1Char(']');
    if (hasExtra)
        text += QStringLiteral(" [") + extra + QLatin1Char(']');
    return text;
}

} // namespace osk
