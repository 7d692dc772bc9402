#pragma once

#include "common/result.h"

#include <QByteArray>
#include <QString>

namespace osk {

// A file named by the settings or the system: followed through links (certificates and packaged
// scripts usually are), but never waited on as a FIFO or read as a device, and never read past
// maxBytes. The reason, in the system's words, when it cannot be read.
Result<QByteArray> readRegularFile(const QString& path, qint64 maxBytes);

} // namespace osk
