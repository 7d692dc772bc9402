#pragma once

#include <QString>

namespace osk {

// Why a name cannot be a web administration user's, or nothing when it can: 1 to 64 letters
// without accents, digits, dots, hyphens or underscores. Shared by the server, which keeps the
// users, and oskserverctl, which checks a name before it asks for a password.
QString webUserNameProblem(const QString& name);

} // namespace osk
