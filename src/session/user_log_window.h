#pragma once

#include "session/user_log.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

class QListWidget;
class QPushButton;

namespace osk {

class ActivityTracking;
class Clock;
class Operator;

// frmUserLog: one user's activity lines as they arrive, and their saving to a text file. The
// window only shows its UserLog; closing it, for whatever reason, ends the tracking (the client is
// told "NOLOG").
//
// The session may end while one of the window's dialogs is open, and so close the window inside
// that dialog's own event loop. A window closed during a save is only hidden until the save has
// finished, and the save writes the lines the window showed, so nothing of the save outlives what
// it uses.
class UserLogWindow final : public QWidget {
    Q_OBJECT

public:
    // The narrowest the window may be dragged.
    static constexpr int kMinimumWidth = 200;

    UserLogWindow(UserLog& log, ActivityTracking& tracking, Operator& op, QWidget* owner);

    UserLog* log() const { return m_log; }

    // cmdSave.
    void save();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void addLine(const QString& shownLine);

    QPointer<UserLog> m_log;
    ActivityTracking& m_tracking;
    Operator& m_operator;
    const Clock& m_clock;
    QStringList m_shownLines;
    QListWidget* m_lstInfo;
    QPushButton* m_cmdSave;
    bool m_saving = false;
    bool m_closedWhileSaving = false;
};

} // namespace osk
