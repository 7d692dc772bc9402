#include "shell/sys_tray.h"

#include "shell/shell_icons.h"

#include <QCursor>
#include <QScopedValueRollback>

namespace osk {

namespace {
std::optional<bool> g_assumedAvailable;
}

SysTray::SysTray(QObject* parent)
    : QObject(parent)
    , m_trayIcon(new QSystemTrayIcon(this)) {
    // No context menu of the icon's own: the owner decides what each click does.
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, &SysTray::onActivated);
    m_trayIcon->setIcon(picture());
}

void SysTray::setSourceWindow(QWidget* window) {
    m_sourceWindow = window;
    m_trayIcon->setIcon(picture());
}

void SysTray::IconInSysTray() {
    m_inTray = true;
    m_trayIcon->show();
}

void SysTray::RemoveFromSysTray() {
    m_inTray = false;
    m_trayIcon->hide();
}

void SysTray::MinToSysTray() {
    IconInSysTray();
    if (m_sourceWindow)
        m_sourceWindow->hide();
}

void SysTray::ChangeIcon(const QIcon& icon) {
    m_chosenIcon = icon;
    m_trayIcon->setIcon(picture());
}

void SysTray::ChangeToolTip(const QString& tip) {
    m_toolTip = tip;
    m_trayIcon->setToolTip(cutTip(tip));
    if (m_sourceWindow && m_sourceWindow->isMinimized())
        m_sourceWindow->setWindowTitle(tip);
}

bool SysTray::isAvailable() {
    return g_assumedAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
}

void SysTray::assumeAvailable(std::optional<bool> available) {
    g_assumedAvailable = available;
}

void SysTray::notify(int message) {
    if (m_busy)
        return;
    const QScopedValueRollback busy(m_busy, true);
    raise(message);
}

void SysTray::whileBusy(const std::function<void()>& handler) {
    const QScopedValueRollback busy(m_busy, true);
    handler();
}

QIcon SysTray::shownIcon() const {
    return m_trayIcon->icon();
}

QString SysTray::shownToolTip() const {
    return m_trayIcon->toolTip();
}

QString SysTray::cutTip(const QString& tip) {
    if (tip.size() <= kMaxTipLength)
        return tip;
    QString cut = tip.left(kMaxTipLength);
    if (cut.back().isHighSurrogate())
        cut.chop(1);
    return cut;
}

// The desktop reports whole clicks; the shell reported their halves, and the owner's handlers are
// written against those.
void SysTray::onActivated(QSystemTrayIcon::ActivationReason reason) {
    m_lastActivationPos = QCursor::pos();
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        notify(LeftDown);
        notify(LeftUp);
        break;
    case QSystemTrayIcon::DoubleClick:
        notify(LeftDoubleClick);
        break;
    case QSystemTrayIcon::Context:
        notify(RightDown);
        notify(RightUp);
        break;
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
        break;
    }
}

void SysTray::raise(int message) {
    switch (message) {
    case LeftDown:
        emit LButtonDown();
        break;
    case LeftUp:
        emit LButtonUp();
        break;
    case LeftDoubleClick:
        emit LButtonDblClk();
        break;
    case RightDown:
        emit RButtonDown();
        break;
    case RightUp:
        emit RButtonUp();
        break;
    case RightDoubleClick:
        emit RButtonDblClk();
        break;
    default:
        break;
    }
}

// A tray icon without a picture is an empty square on most panels, so until one is chosen the
// owner window's icon stands in, and the program's icon when there is no owner yet.
QIcon SysTray::picture() const {
    if (!m_chosenIcon.isNull())
        return m_chosenIcon;
    if (m_sourceWindow && !m_sourceWindow->windowIcon().isNull())
        return m_sourceWindow->windowIcon();
    return icons::program();
}

} // namespace osk
