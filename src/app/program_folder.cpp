#include "app/program_folder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
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

} // namespace osk
