#include "web/bounded_file.h"

#include "common/owned_file.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace osk {

Result<QByteArray> readRegularFile(const QString& path, qint64 maxBytes) {
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return Result<QByteArray>::failure(systemReason(errno));
    struct stat status {};
    QByteArray bytes;
    QString problem;
    if (::fstat(descriptor, &status) != 0)
        problem = systemReason(errno);
    else if (!S_ISREG(status.st_mode))
        problem = fileKindReason(status.st_mode);
    else if (status.st_size > maxBytes)
        problem = QStringLiteral("es demasiado grande");
    else {
        bytes.resize(qsizetype(status.st_size));
        const ssize_t read = ::read(descriptor, bytes.data(), size_t(bytes.size()));
        if (read < 0)
            problem = systemReason(errno);
        bytes.resize(read < 0 ? 0 : qsizetype(read));
    }
    ::close(descriptor);
    if (!problem.isEmpty())
        return Result<QByteArray>::failure(problem);
    return bytes;
}

} // namespace osk
