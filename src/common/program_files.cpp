#include "common/program_files.h"

#include <QDir>

namespace osk {

QString controlSocketPath(const QString& programFolder) {
    const QString runtimeFolder = qEnvironmentVariable("RUNTIME_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (!runtimeFolder.isEmpty())
        return QDir(runtimeFolder).filePath(QStringLiteral("control"));
    return folderControlSocketPath(programFolder);
}

QString folderControlSocketPath(const QString& programFolder) {
    return QDir(programFolder).filePath(QStringLiteral("oskserver.sock"));
}

} // namespace osk
