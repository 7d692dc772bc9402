#include "common/owned_file.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace osk {

namespace {
constexpr mode_t kNewFileMode = 0666; // less the umask, as any file the program makes

int openFlags(OwnedFile::Access access) {
    switch (access) {
    case OwnedFile::Access::Read:
        return O_RDONLY;
    case OwnedFile::Access::Append:
        return O_WRONLY | O_CREAT | O_APPEND;
    case OwnedFile::Access::ReadAppend:
        return O_RDWR | O_CREAT | O_APPEND;
    case OwnedFile::Access::Replace:
        return O_WRONLY | O_CREAT | O_TRUNC;
    }
    return O_RDONLY;
}

QString refusal(const QString& path, const QString& reason) {
    return QStringLiteral("No se puede abrir el archivo %1: %2.").arg(QDir::toNativeSeparators(path), reason);
}

} // namespace

QString fileKindReason(unsigned mode) {
    if (S_ISDIR(mode))
        return QStringLiteral("es una carpeta");
    if (S_ISLNK(mode))
        return QStringLiteral("es un enlace simbólico");
    return QStringLiteral("no es un archivo normal");
}

QString systemReason(int error) {
    switch (error) {
    case ENOSPC:
        return QStringLiteral("no queda espacio en el disco");
    case EDQUOT:
        return QStringLiteral("se ha superado la cuota de disco");
    case EACCES:
    case EPERM:
        return QStringLiteral("permiso denegado");
    case ENOENT:
        return QStringLiteral("no existe");
    case ELOOP:
        return QStringLiteral("es un enlace simbólico");
    case EISDIR:
        return QStringLiteral("es una carpeta");
    case ENOTDIR:
        return QStringLiteral("parte de la ruta no es una carpeta");
    case EROFS:
        return QStringLiteral("el sistema de archivos es de solo lectura");
    case EIO:
        return QStringLiteral("error de entrada/salida en el disco");
    case EFBIG:
        return QStringLiteral("el archivo ha alcanzado el tamaño máximo");
    case EMFILE:
    case ENFILE:
        return QStringLiteral("no quedan descriptores de archivo libres");
    case ENXIO:
        return QStringLiteral("no es un archivo normal");
    default:
        return QStringLiteral("error del sistema %1 (%2)")
            .arg(error)
            .arg(QString::fromLocal8Bit(std::strerror(error)));
    }
}

Result<OwnedFile> OwnedFile::open(const QString& path, Access access) {
    const QByteArray name = QFile::encodeName(path);
    // O_NONBLOCK only for the open itself: a FIFO opened for reading would wait for a writer.
    const int descriptor =
        ::open(name.constData(), openFlags(access) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kNewFileMode);
    if (descriptor < 0)
        return Result<OwnedFile>::failure(refusal(path, systemReason(errno)));
    OwnedFile file(path, descriptor);
    struct stat status {};
    if (::fstat(descriptor, &status) != 0)
        return Result<OwnedFile>::failure(refusal(path, systemReason(errno)));
    if (!S_ISREG(status.st_mode))
        return Result<OwnedFile>::failure(refusal(path, fileKindReason(status.st_mode)));
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return Result<OwnedFile>::failure(refusal(path, systemReason(errno)));
    return file;
}

OwnedFile::OwnedFile(QString path, int descriptor)
    : m_path(std::move(path))
    , m_descriptor(descriptor) {}

OwnedFile::OwnedFile(OwnedFile&& other) noexcept
    : m_path(std::move(other.m_path))
    , m_descriptor(std::exchange(other.m_descriptor, -1)) {}

OwnedFile& OwnedFile::operator=(OwnedFile&& other) noexcept {
    if (this != &other) {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
        m_path = std::move(other.m_path);
        m_descriptor = std::exchange(other.m_descriptor, -1);
    }
    return *this;
}

OwnedFile::~OwnedFile() {
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

Status OwnedFile::failure(int error) const {
    return Status::failure(
        QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(m_path), systemReason(error)));
}

Result<qint64> OwnedFile::size() const {
    struct stat status {};
    if (::fstat(m_descriptor, &status) != 0)
        return Result<qint64>::failure(failure(errno).error());
    return qint64(status.st_size);
}

bool OwnedFile::hasOtherNames() const {
    struct stat status {};
    return ::fstat(m_descriptor, &status) == 0 && status.st_nlink > 1;
}

Result<QByteArray> OwnedFile::readFrom(qint64 offset) const {
    QByteArray bytes;
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t read = ::pread(m_descriptor, chunk, sizeof chunk, offset);
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            return Result<QByteArray>::failure(failure(errno).error());
        if (read == 0)
            return bytes;
        bytes.append(chunk, read);
        offset += read;
    }
}

Status OwnedFile::write(const QByteArray& bytes) {
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t step =
            ::write(m_descriptor, bytes.constData() + written, size_t(bytes.size() - written));
        if (step < 0 && errno == EINTR)
            continue;
        if (step < 0) {
            const int error = errno;
            // A line half written would join the next one; the file goes back to where it was,
            // which is `written` bytes before its end now.
            if (const auto now = size(); written > 0 && now) {
                [[maybe_unused]] const int undone = ::ftruncate(m_descriptor, *now - written);
            }
            return failure(error);
        }
        written += step;
    }
    return {};
}

Status OwnedFile::resize(qint64 size) {
    if (::ftruncate(m_descriptor, size) != 0)
        return failure(errno);
    return {};
}

Status OwnedFile::sync() {
    if (::fsync(m_descriptor) != 0)
        return failure(errno);
    return {};
}

} // namespace osk
