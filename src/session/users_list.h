#pragma once

#include <QAbstractListModel>
#include <QString>
#include <vector>

namespace osk {

// lstUsers: one row per validated session; the row's text is what the operator reads and its item
// data is the slot index of the connection. A row belongs to its session and is found again by its
// slot: several sessions share one remote address on a computer that runs more than one client.
class UsersList final : public QAbstractListModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UsersList)

public:
    static constexpr int SlotRole = Qt::UserRole;

    struct Row {
        QString text;
        int slot = 0;
    };

    explicit UsersList(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    int count() const { return int(m_rows.size()); }
    const Row& row(int index) const { return m_rows.at(size_t(index)); }

    void append(const QString& text, int slot);
    void insert(int index, const QString& text, int slot);
    void remove(int index);
    void clear();

    // The row of the connection on this slot; -1 if it has none.
    int findBySlot(int slot) const;

    static QString rowText(const QString& address, const QString& user, const QString& session, bool hasExtra,
                           const QString& extra, bool afterChange);

private:
    std::vector<Row> m_rows;
};

} // namespace osk
