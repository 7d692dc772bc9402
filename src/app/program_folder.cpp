#include "app/program_folder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>

namespace osk {

QString defaultProgramFolder() {
    const QString beside = QCoreApplication::applicationDirPath();
    if (QFileInfo(beside).isWritable())
        return QDir(beside).absolutePath();
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("oskserver"));
}

QCommandLineOption homeOption() {
    return QCommandLineOption(
        QStringLiteral("home"),
        QStringLiteral("Carpeta del programa: configuración, Log, Data (por omisión, la del ejecutable, "
                       "o ~/.local/share/oskserver si en esa no se puede escribir)."),
        QStringLiteral("CARPETA"));
}

QString programFolder(const QCommandLineParser& parser, const QCommandLineOption& home) {
    return parser.isSet(home) ? QDir(parser.value(home)).absolutePath() : defaultProgramFolder();
}

QString instanceLockRefusal(const QLockFile& lock, const QString& programFolder) {
    const QString folder = QDir::toNativeSeparators(programFolder);
    switch (lock.error()) {
    case QLockFile::LockFailedError:
        return QStringLiteral("El servidor ya está en funcionamiento");
    case QLockFile::PermissionError:
        return QStringLiteral("No se puede escribir en la carpeta %1: permiso denegado.").arg(folder);
    default:
        return QStringLiteral("No se puede crear el archivo de bloqueo en la carpeta %1.").arg(folder);
    }
}

} // namespace osk
