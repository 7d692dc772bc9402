#pragma once

#include <QString>
#include <optional>

namespace osk::ctl {

// A new password: asked twice on the terminal without echo, or read once, as its first line, from
// standard input when that is no terminal (a script's pipe). Nothing, with the reason written to
// standard error, when none was given or the two differ.
std::optional<QString> readNewPassword();

} // namespace osk::ctl
