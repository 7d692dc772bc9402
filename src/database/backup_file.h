#pragma once

#include "common/result.h"

#include <QString>

// What both engines do around the file a backup replaces: the name the new copy is built under, the
// old file's mode and owner carried over, and the path a name resolves to.
namespace osk::backup_file {

inline const QString kNoFileName = QStringLiteral("No se ha indicado el archivo de copia.");

// outputFile with links, "." and ".." resolved as far as the path exists, and the rest appended;
// what the backup would really write.
QString resolvedPath(const QString& outputFile);

// A name beside outputFile, in its folder and written with its separators (the path may be one the
// server writes), that no file has now and that no listing shows.
QString temporaryNameBeside(const QString& outputFile);

// Gives replacement the mode of replaced, and its owner and group when this process may (as root),
// so that replacing a backup never opens it to more readers than the operator allowed. Nothing to
// do when replaced does not exist; a failure names replacement with the system's reason.
Status keepModeOf(const QString& replaced, const QString& replacement);

// Moves replacement over outputFile in one step; a failure says why, naming outputFile.
Status replace(const QString& replacement, const QString& outputFile);

} // namespace osk::backup_file
