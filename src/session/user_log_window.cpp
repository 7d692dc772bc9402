#include "session/user_log_window.h"

#include "common/clock.h"
#include "common/operator.h"
#include "common/whole_file.h"
#include "session/activity_tracking.h"
#include "session/user_log.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScreen>
#include <QVBoxLayout>

namespace osk {

UserLogWindow::UserLogWindow(UserLog& log, ActivityTracking& tracking, Operator& op, QWidget* owner)
    // A window that the main window owns, so that it stays in front of it: the window system
    // keeps a dialog over its owner, where a plain top-level window of the owner may go behind.
    : QWidget(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , m_log(&log)
    , m_tracking(tracking)
    , m_operator(op)
    , m_clock(log.clock())
    , m_lstInfo(new QListWidget(this))
    , m_cmdSave(new QPushButton(QStringLiteral("Guardar"), this)) {
    setObjectName(QStringLiteral("frmUserLog"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(log.caption());
    m_lstInfo->setObjectName(QStringLiteral("lstInfo"));
    // One line each: the list need not measure every item again as thousands arrive.
    m_lstInfo->setUniformItemSizes(true);
    m_cmdSave->setObjectName(QStringLiteral("cmdSave"));
    m_cmdSave->setEnabled(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_cmdSave);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(m_lstInfo);
    layout->addLayout(buttons);

    setMinimumWidth(kMinimumWidth);
    resize(480, 320);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    for (const QString& line : log.lines())
        addLine(line);
    connect(&log, &UserLog::lineAdded, this, &UserLogWindow::addLine);
    connect(m_cmdSave, &QPushButton::clicked, this, &UserLogWindow::save);
}

void UserLogWindow::addLine(const QString& shownLine) {
    m_shownLines << shownLine;
    m_lstInfo->addItem(shownLine);
    // The window shows what its log holds, the oldest line going first.
    if (m_shownLines.size() > UserLog::kMaxLines) {
        m_shownLines.removeFirst();
        delete m_lstInfo->takeItem(0);
    }
    m_lstInfo->setCurrentRow(m_lstInfo->count() - 1);
    m_cmdSave->setEnabled(true);
}

void UserLogWindow::save() {
    if (m_shownLines.isEmpty() || m_saving)
        return;
    {
        const QScopedValueRollback saving(m_saving, true);
        const QString path = m_operator.askSaveFile(
            QStringLiteral(".txt"), QStringLiteral("Archivos de texto (*.txt)|*.txt"), QString());
        if (!path.isEmpty() &&
            !writeWholeFile(path, UserLog::fileContents(m_shownLines, m_clock.now().date())))
            m_operator.showMessage(QStringLiteral("Imposible guardar el registro."), MessageIcon::Exclamation,
                                   kDefaultTitle);
    }
    if (m_closedWhileSaving)
        deleteLater();
}

void UserLogWindow::closeEvent(QCloseEvent* event) {
    // The tracking ends whatever closed the window; when the tracking ended first, the log is
    // already on its way out and there is nothing left to tell the client.
    if (UserLog* log = m_log) {
        m_log = nullptr;
        m_tracking.closeLog(log);
    }
    if (m_saving) {
        // Deleted once the save returns, which is still running on this window.
        setAttribute(Qt::WA_DeleteOnClose, false);
        m_closedWhileSaving = true;
    }
    event->accept();
}

} // namespace osk
