#include "database/backup_file.h"

#include "common/owned_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace osk::backup_file {

QString resolvedPath(const QString& outputFile) {
    std::error_code error;
    const std::filesystem::path absolute =
        std::filesystem::absolute(QFile::encodeName(outputFile).toStdString(), error);
    if (error)
        return QDir::cleanPath(QFileInfo(outputFile).absoluteFilePath());
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, error);
    return QDir::cleanPath(
        QFile::decodeName(QByteArray::fromStdString((error ? absolute : resolved).string())));
}

QString temporaryNameBeside(const QString& outputFile) {
    // Split by hand: a server on Windows writes "C:\Copias\demo.bak", which names no folder here.
    const qsizetype slash =
        std::max(outputFile.lastIndexOf(QLatin1Char('/')), outputFile.lastIndexOf(QLatin1Char('\\')));
    const QString folder = outputFile.left(slash + 1);
    const QString name = outputFile.mid(slash + 1);
    for (;;) {
        const QString candidate =
            folder + QStringLiteral(".%1.%2.tmp")
                         .arg(name)
                         .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink())
            return candidate;
    }
}

Status keepModeOf(const QString& replaced, const QString& replacement) {
    struct stat old {};
    if (::stat(QFile::encodeName(replaced).constData(), &old) != 0)
        return {};
    const QByteArray name = QFile::encodeName(replacement);
    const auto failed = [&replacement] {
        return Status::failure(QStringLiteral("No se pueden dar al archivo %1 los permisos del anterior: %2")
                                   .arg(QDir::toNativeSeparators(replacement), systemReason(errno)));
    };
    // The owner first: changing it clears the set-id bits that the mode then puts back.
    if (::geteuid() == 0 && ::lchown(name.constData(), old.st_uid, old.st_gid) != 0)
        return failed();
    if (::chmod(name.constData(), old.st_mode & 07777) != 0)
        return failed();
    return {};
}

Status replace(const QString& replacement, const QString& outputFile) {
    std::error_code error;
    std::filesystem::rename(QFile(replacement).filesystemFileName(), QFile(outputFile).filesystemFileName(),
                            error);
    if (error)
        return Status::failure(QStringLiteral("No se puede escribir el archivo de copia %1: %2")
                                   .arg(QDir::toNativeSeparators(outputFile), systemReason(error.value())));
    return {};
}

} // namespace osk::backup_file
