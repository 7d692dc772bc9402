#pragma once

class QWidget;

namespace osk {

// Puts a top-level window in the middle of its screen's work area at its current size.
void centreOnScreen(QWidget& window);

// Lets pending painting run, without user input, so that what a dialog was just told shows before
// its caller goes back to blocking work on the window thread. A window that has just been shown
// is waited for (briefly) until the window system exposes it, since nothing is painted before.
void paintNow(QWidget& window);

} // namespace osk
