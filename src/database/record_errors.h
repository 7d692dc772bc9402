#pragma once

#include <QString>

namespace osk {

// What a read of a property row that is not there reports, in the words of the data library the
// product's administrators already know from the SQL Server engine.
inline const QString kNoCurrentRecord =
    QStringLiteral("Either BOF or EOF is True, or the current record has been deleted. Requested operation "
                   "requires a current record.");

} // namespace osk
