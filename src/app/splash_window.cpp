#include "app/splash_window.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

namespace osk {

namespace {
// How long the window system may take to put the splash on screen before the start-up goes on.
constexpr int kExposeWaitMs = 2000;

QLabel* label(const char* name, const QString& text, QWidget* parent) {
    auto* created = new QLabel(text, parent);
    created->setObjectName(QLatin1String(name));
    return created;
}
} // namespace

SplashWindow::SplashWindow(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint)
    , m_message(label("LblMensajes", QStringLiteral("Cargando aplicación ..."), this)) {
    setObjectName(QStringLiteral("frmSplash"));
    setWindowTitle(QStringLiteral("Osk Server"));
    auto* title = label("lblTitle", QStringLiteral("Osk Server"), this);
    QFont titleFont = title->font();
    titleFont.setPointSize(titleFont.pointSize() * 2);
    titleFont.setBold(true);
    title->setFont(titleFont);
    auto* description =
        label("lblDescripcion",
              QStringLiteral("Servidor de módulos, accesos y usuarios para aplicaciones Osk 2.0"), this);
    auto* version = label("lblVersion", versionText(), this);
    auto* copyright = label("lblLegalCopyright", QStringLiteral("Copyright © Osk Server"), this);

    auto* frame = new QFrame(this);
    frame->setFrameStyle(QFrame::Box | QFrame::Raised);
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(24, 20, 24, 16);
    layout->addWidget(title);
    layout->addWidget(description);
    layout->addWidget(version);
    layout->addSpacing(16);
    layout->addWidget(m_message);
    layout->addWidget(copyright);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(frame);

    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    QCoreApplication::instance()->installEventFilter(this);
}

void SplashWindow::showPainted() {
    show();
    // The window system maps the window in its own time; a paint before that shows nothing.
    QDeadlineTimer deadline(kExposeWaitMs);
    while (!(windowHandle() && windowHandle()->isExposed()) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    // The operator may press Escape at once, without clicking the splash first.
    raise();
    activateWindow();
    setFocus(Qt::ActiveWindowFocusReason);
    repaint();
}

void SplashWindow::setMessage(const QString& text) {
    m_message->setText(text);
    m_message->repaint();
}

QString SplashWindow::versionText() {
    return QStringLiteral("Versión %1.%2.%3")
        .arg(OSK_VERSION_MAJOR)
        .arg(OSK_VERSION_MINOR)
        .arg(OSK_VERSION_PATCH);
}

// Only while the splash is up, and not when a dialog of the start-up (the server's name, a message)
// has the keyboard: that Escape is the dialog's. The splash outlives the attempts, and every
// Escape of the console's windows would end here otherwise.
bool SplashWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape &&
        isVisible() && !QApplication::activeModalWidget()) {
        m_cancelRequested = true;
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace osk
