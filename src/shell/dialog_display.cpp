#include "shell/dialog_display.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QStyle>
#include <QThread>
#include <QWidget>
#include <QWindow>

namespace osk {

namespace {

// Long enough for a window manager's first round trip, short enough not to hold up the work.
constexpr int kExposeWaitMs = 500;
constexpr unsigned long kExposePollMs = 5;

// User input stays queued: a click handled now would run a command in the middle of the caller's
// work, which the caller's state is not ready for.
constexpr auto kPaintOnly = QEventLoop::ExcludeUserInputEvents;

} // namespace

void centreOnScreen(QWidget& window) {
    QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    window.adjustSize();
    const QRect area = screen->availableGeometry();
    window.move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window.size(), area).topLeft());
}

void paintNow(QWidget& window) {
    QCoreApplication::processEvents(kPaintOnly);
    const QWindow* handle = window.windowHandle();
    if (!handle || !window.isVisible())
        return;
    const QDeadlineTimer deadline(kExposeWaitMs);
    while (!handle->isExposed() && !deadline.hasExpired()) {
        QThread::msleep(kExposePollMs);
        QCoreApplication::processEvents(kPaintOnly);
    }
}

} // namespace osk
