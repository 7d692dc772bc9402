#pragma once

#include <QString>

namespace osk {

// The files of the program folder that belong to the running program itself, by name: what no
// command may put something else in place of.

// The lock that keeps a second copy, console or service, off one program folder.
inline const QString kInstanceLockName = QStringLiteral(".oskserverd.lock");

// The users of the web administration and their password hashes (mode 0600).
inline const QString kWebUsersFileName = QStringLiteral("OskServer.users");

// The control socket of a program folder's server: in the folder, or, for the installed service,
// in the runtime folder its service manager made for it.
QString controlSocketPath(const QString& programFolder);
// The socket's place in the folder itself, whichever the running server uses.
QString folderControlSocketPath(const QString& programFolder);

} // namespace osk
