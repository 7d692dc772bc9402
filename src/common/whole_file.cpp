#include "common/whole_file.h"

#include <QSaveFile>

namespace osk {

Status writeWholeFile(const QString& path, const QByteArray& content) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return Status::failure(file.errorString());
    // The explicit flush matters: a write that stops short (disk full, file size limit) fails only
    // when the buffer is flushed, and commit() does not look at that flush's result; it would
    // rename a truncated file over the good one.
    if (file.write(content) != content.size() || !file.flush()) {
        const QString error = file.errorString();
        file.cancelWriting();
        return Status::failure(error);
    }
    if (!file.commit())
        return Status::failure(file.errorString());
    return {};
}

} // namespace osk
