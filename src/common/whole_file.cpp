#include "common/whole_file.h"

#include "common/owned_file.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace osk {

namespace {

// The new file takes the owner, group and mode of the one it replaces. A file that changed hands
// on every write (root's settings given the group root, a group's shared file made the writer's
// own) would let in or shut out someone the administrator chose; so when they cannot be kept (a
// caller who may replace the file but is neither root nor its owner) the file stays as it was.
Status keepOwnership(int descriptor, const struct stat& original, const QString& path) {
    struct stat created {};
    if (::fstat(descriptor, &created) != 0)
        return Status::failure(
            QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), systemReason(errno)));
    // Only when it differs: a file system without owners (FAT) refuses even a change to the same.
    if ((created.st_uid != original.st_uid || created.st_gid != original.st_gid) &&
        ::fchown(descriptor, original.st_uid, original.st_gid) != 0) {
        return Status::failure(QStringLiteral("no se pueden conservar el propietario y el grupo de %1: %2")
                                   .arg(QDir::toNativeSeparators(path), systemReason(errno)));
    }
    // After the change of owner, which may clear the set-id bits.
    if ((created.st_mode & 07777) != (original.st_mode & 07777) &&
        ::fchmod(descriptor, original.st_mode & 07777) != 0)
        return Status::failure(
            QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), systemReason(errno)));
    return {};
}

// The failing call's own reason, in Spanish: Qt words it in English from the same error.
QString reasonOf(const QSaveFile& file) {
    return errno != 0 ? systemReason(errno) : file.errorString();
}

} // namespace

Status writeWholeFile(const QString& path, const QByteArray& content) {
    // Through a symbolic link, as the temporary file's rename goes: to the file it leads to.
    struct stat original {};
    const bool replacing = ::stat(QFile::encodeName(path).constData(), &original) == 0;
    // Renaming over a FIFO or a device would put a file where the system or another program
    // expects something else.
    if (replacing && !S_ISREG(original.st_mode))
        return Status::failure(QStringLiteral("No se puede abrir el archivo %1: %2.")
                                   .arg(QDir::toNativeSeparators(path), fileKindReason(original.st_mode)));
    QSaveFile file(path);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly))
        return Status::failure(reasonOf(file));
    // QSaveFile copies the mode but leaves the temporary file to whoever writes it.
    if (replacing) {
        if (Status kept = keepOwnership(file.handle(), original, path); !kept) {
            file.cancelWriting();
            return kept;
        }
    }
    // The explicit flush matters: a write that stops short (disk full, file size limit) fails only
    // when the buffer is flushed, and commit() does not look at that flush's result; it would
    // rename a truncated file over the good one.
    errno = 0;
    if (file.write(content) != content.size() || !file.flush()) {
        const QString error = reasonOf(file);
        file.cancelWriting();
        return Status::failure(error);
    }
    errno = 0;
    if (!file.commit())
        return Status::failure(reasonOf(file));
    return {};
}

} // namespace osk
