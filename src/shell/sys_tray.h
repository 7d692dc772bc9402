#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QWidget>
#include <functional>
#include <optional>

namespace osk {

// One icon for the owner window in the desktop's notification area. Clicks on it arrive as the
// mouse message numbers of the Windows shell (513 left down .. 518 right double-click) and are
// decoded into six signals; while a handler of one of them still runs (say, a pop-up menu waiting
// for a choice) every further notification is dropped, so a handler is never entered twice.
// Picture and tip may be set at any time; they show whenever the icon is in the tray.
class SysTray final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SysTray)

public:
    // The shell's mouse messages, as notify() takes them.
    enum Message {
        MouseMove = 512,
        LeftDown = 513,
        LeftUp = 514,
        LeftDoubleClick = 515,
        RightDown = 516,
        RightUp = 517,
        RightDoubleClick = 518,
    };
    // The shell's tip holds 64 characters including its terminator.
    static constexpr int kMaxTipLength = 63;

    explicit SysTray(QObject* parent = nullptr);

    // The window the icon stands for; its icon is the picture until ChangeIcon gives another.
    void setSourceWindow(QWidget* window);
    QWidget* sourceWindow() const { return m_sourceWindow; }

    // The whole tip as last set; the tray shows it cut to kMaxTipLength.
    QString ToolTip() const { return m_toolTip; }
    void setToolTip(const QString& tip) { ChangeToolTip(tip); }

    void IconInSysTray();
    // Harmless when the icon is not shown.
    void RemoveFromSysTray();
    // Shows the icon and hides the owner window, which takes it off the task bar too.
    void MinToSysTray();
    void ChangeIcon(const QIcon& icon);
    // Stores the tip and shows it cut to kMaxTipLength; a minimised owner window also takes the
    // whole tip as its caption, as the task bar would have shown it.
    void ChangeToolTip(const QString& tip);

    bool isInSysTray() const { return m_inTray; }
    static bool isAvailable();
    // Stands in a notification area for a platform without one (the tests' offscreen platform), or
    // with nullopt asks the desktop again.
    static void assumeAvailable(std::optional<bool> available);

    // Decodes one shell mouse message into its signal; numbers outside 513..518 raise nothing.
    // Dropped while a handler of an earlier one runs.
    void notify(int message);
    // Runs a handler that the owner started later (a menu waiting for its choice) under the same
    // rule: the tray's messages are dropped until it returns.
    void whileBusy(const std::function<void()>& handler);

    // Where the pointer was at the latest click on the icon: where a pop-up menu belongs.
    QPoint lastActivationPos() const { return m_lastActivationPos; }

    // What the tray shows, for the window's own use and for tests.
    QIcon shownIcon() const;
    QString shownToolTip() const;

    // The tip the shell's record can hold: the first kMaxTipLength characters, never half of a
    // surrogate pair.
    static QString cutTip(const QString& tip);

signals:
    void LButtonDblClk();
    void LButtonDown();
    void LButtonUp();
    void RButtonDblClk();
    void RButtonDown();
    void RButtonUp();

private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void raise(int message);
    QIcon picture() const;

    QSystemTrayIcon* m_trayIcon;
    QPointer<QWidget> m_sourceWindow;
    QIcon m_chosenIcon;
    QString m_toolTip;
    QPoint m_lastActivationPos;
    bool m_inTray = false;
    bool m_busy = false;
};

} // namespace osk
