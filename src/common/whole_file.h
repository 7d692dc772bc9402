#pragma once

#include "common/result.h"

#include <QByteArray>
#include <QString>

namespace osk {

// Replaces a file's content whole or not at all: the bytes go to a temporary file beside it, which
// is renamed over the original only when everything was written, so a crash or a full disk leaves
// the old file as it was. The new file keeps the old one's owner, group and mode, or is not
// written; a symbolic link at the path is followed, so the file it leads to is the one replaced and
// the link stays. Anything but a regular file at the path is refused.
Status writeWholeFile(const QString& path, const QByteArray& content);

} // namespace osk
