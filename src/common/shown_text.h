#pragma once

#include <QByteArrayView>
#include <QString>

namespace osk {

// Text that comes from outside (a client, a caller) on its way into a log line or onto a
// terminal: a line break in it would forge lines of its own, an escape sequence would reach
// whatever shows the line. Every control character is shown as a blank; the rest is kept.
QString blankControls(QString text);

// Client text as an event-log line carries it: decoded from the wire, control characters as
// blanks, and at most kMaxLoggedClientText characters, a longer text ending in kCutMark after
// them, so that what one client sends cannot fill the log.
inline constexpr qsizetype kMaxLoggedClientText = 1024;
inline constexpr char16_t kCutMark[] = u"…(cortado)";
QString loggedClientText(QByteArrayView bytes);

} // namespace osk
