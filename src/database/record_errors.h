#pragma once

#include <QString>

namespace osk {

// What a read of a property row that is not there reports, in the words of the data library the
// product's administrators already know from the SQL Server engine.
inline const QString kNoCurrentRecord =
    QStringLiteral("BOF o EOF es True, o el registro actual se eliminó. La operación solicitada requiere "
                   "un registro actual.");

} // namespace osk
