#pragma once

#include <QIdentityProxyModel>

namespace osk {

// The columns of a file dialog in Spanish whatever the machine's locale: Qt writes the size and
// the date in the system's language, and the types through translations that may be missing.
class SpanishFileColumns final : public QIdentityProxyModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SpanishFileColumns)

public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
};

} // namespace osk
