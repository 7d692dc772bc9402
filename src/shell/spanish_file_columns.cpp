#include "shell/spanish_file_columns.h"

#include <QFileSystemModel>
#include <QLocale>
#include <QMimeDatabase>

namespace osk {

namespace {

enum Column { Name, Size, Type, Modified };

const QLocale& spanish() {
    static const QLocale locale(QLocale::Spanish, QLocale::Spain);
    return locale;
}

// As the desktop of the original names types: the saved logs are text documents, any other file
// is named by its extension. Qt's descriptions come in the default locale's language, and making
// that Spanish would change how the console reads numbers too.
QString typeOf(const QFileInfo& file) {
    if (QMimeDatabase().mimeTypeForFile(file).inherits(QStringLiteral("text/plain")))
        return QStringLiteral("Documento de texto");
    const QString suffix = file.suffix();
    return suffix.isEmpty() ? QStringLiteral("Archivo") : QStringLiteral("Archivo ") + suffix.toUpper();
}

} // namespace

QVariant SpanishFileColumns::data(const QModelIndex& index, int role) const {
    const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
    if (role != Qt::DisplayRole || !files || !index.isValid())
        return QIdentityProxyModel::data(index, role);
    const QModelIndex source = mapToSource(index);
    const bool folder = files->isDir(source);
    switch (index.column()) {
    case Size:
        return folder ? QString() : spanish().formattedDataSize(files->size(source));
    case Type:
        return folder ? QStringLiteral("Carpeta") : typeOf(files->fileInfo(source));
    case Modified:
        return spanish().toString(files->lastModified(source), QStringLiteral("dd/MM/yyyy H:mm"));
    default:
        return QIdentityProxyModel::data(index, role);
    }
}

QVariant SpanishFileColumns::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QIdentityProxyModel::headerData(section, orientation, role);
    switch (section) {
    case Name:
        return QStringLiteral("Nombre");
    case Size:
        return QStringLiteral("Tamaño");
    case Type:
        return QStringLiteral("Tipo");
    case Modified:
        return QStringLiteral("Fecha de modificación");
    default:
        return QIdentityProxyModel::headerData(section, orientation, role);
    }
}

} // namespace osk
