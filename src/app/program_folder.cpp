#include "app/program_folder.h"

#include "common/owned_file.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <cerrno>
#include <csignal>
#include <sys/stat.h>

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

Status lockInstance(QLockFile& lock, const QString& programFolder) {
    const QString path = lock.fileName();
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) == 0 && !S_ISREG(status.st_mode)) {
        const QString kind = fileKindReason(status.st_mode);
        return Status::failure(QStringLiteral("No se puede usar el archivo de bloqueo %1: %2.")
                                   .arg(QDir::toNativeSeparators(path), kind));
    }
    // Only a copy that is running holds the lock: one left by a crash is taken over at once.
    lock.setStaleLockTime(0);
    errno = 0;
    if (!lock.tryLock(0) && !(holdsNoLock(lock) && lock.removeStaleLockFile() && lock.tryLock(0)))
        return Status::failure(instanceLockRefusal(lock, programFolder, errno));
    return {};
}

bool holdsNoLock(const QLockFile& lock) {
    // A lock names the process that holds it from the moment it is made; an empty or unreadable
    // one, older than that moment, is what a power cut or a full disk leaves, and no copy holds it.
    constexpr int kMakingSeconds = 10;
    qint64 pid = 0;
    QString host;
    QString application;
    if (lock.error() != QLockFile::LockFailedError || lock.getLockInfo(&pid, &host, &application))
        return false;
    const QFileInfo file(lock.fileName());
    return file.exists() && file.lastModified().secsTo(QDateTime::currentDateTime()) > kMakingSeconds;
}

void ignoreWriteSignals() {
    // A write past the file size limit then fails with its reason, which the log says and takes
    // back, instead of ending the program with its lines unsaved; a line for standard output
    // whose reader has gone is lost, not the sessions it was about.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

QString instanceLockRefusal(const QLockFile& lock, const QString& programFolder, int error) {
    const QString folder = QDir::toNativeSeparators(programFolder);
    switch (lock.error()) {
    case QLockFile::LockFailedError:
        return QStringLiteral("El servidor ya está en funcionamiento");
    case QLockFile::PermissionError:
        // A folder mounted read-only is not a matter of permissions.
        return QStringLiteral("No se puede escribir en la carpeta %1: %2.")
            .arg(folder, systemReason(error == EROFS ? EROFS : EACCES));
    default:
        if (error != 0)
            return QStringLiteral("No se puede crear el archivo de bloqueo en la carpeta %1: %2.")
                .arg(folder, systemReason(error));
        return QStringLiteral("No se puede crear el archivo de bloqueo en la carpeta %1.").arg(folder);
    }
}

} // namespace osk
