#pragma once

#include <QIcon>

namespace osk::icons {

// Registers the console's pictures; osk_gui is a static library, so nothing does it on its own.
// Every accessor below calls it, so calling it early is only needed for direct ":/icons/" paths.
void initResources();

// The event-log pictures by kind: 1 done, 2 in progress or information, 3 error. Null for any
// other kind.
QIcon logKind(int kind);
// The tray pictures while the service runs ("Start") and while it is stopped ("Stop").
QIcon trayStart();
QIcon trayStop();
// The users toolbar: disconnect the user ("Delete") and follow the user's activity ("Properties").
QIcon toolbarDelete();
QIcon toolbarProperties();
QIcon program();

} // namespace osk::icons
