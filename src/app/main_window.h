#pragma once

#include "core/command_states.h"
#include "core/server_core.h"

#include <QMainWindow>
#include <QMap>
#include <QTimer>

class QAction;
class QLabel;
class QListView;
class QListWidget;
class QMenu;
class QProgressBar;
class QToolBar;
class QTreeView;

namespace osk {

class Operator;
class SysTray;
class UpdatingDialog;
class UserLog;
class WaitingDialog;
struct LogEntry;

// frmMain: the databases, the connected users and the event log, the server's identity at the
// bottom, and every command in the menus. The window holds no state of its own beyond what is on
// screen: lists, labels, captions and enabled states are bound to the core, and every command
// calls the core.
class MainWindow final : public QMainWindow {
    Q_OBJECT

public:
    MainWindow(ServerCore& core, Operator& op, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The load: the core's load, the labels and the gauge, then the automatic start and the
    // minimised start that the settings ask for.
    void load();
    // Shows the window after the load: in the tray when the minimised start asked for it and
    // the desktop has a tray, minimised on the task bar when it has none.
    void showAtStart();

    // A menu item or toolbar button by its name (mnuIniciarServicio, Eliminar, ...).
    QAction* action(const QString& name) const;
    // A menu by its name, including the pop-up menus mnuUser, mnuSysTray and mnuBD.
    QMenu* menu(const QString& name) const;
    // gSysTray.
    SysTray& tray() { return *m_tray; }

    // mnuSysTrayAbrir: back from the tray.
    void restoreFromTray();
    // The tray menu as it is about to pop up: its items follow the service commands.
    void prepareTrayMenu();
    // Ends the program even while the service runs: the desktop session ends, a stop signal came,
    // or the operator chose to leave for an update. What the service and the log need is done by
    // whoever runs the window once it has finished.
    void endProgram();

signals:
    // The window has closed for good; the program ends.
    void finished();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* buildDatabaseFrame();
    QWidget* buildUsersFrame();
    QWidget* buildEventFrame();
    QWidget* buildStatusRow();
    void buildMenus();
    QMenu* addMenu(QMenu* parent, const char* name, const QString& title);
    QAction* addItem(QMenu* menu, const char* name, const QString& caption, void (MainWindow::*handler)());
    // An item whose enabled state the core decides.
    QAction* addGovernedItem(QMenu* menu, Command command, const char* name, const QString& caption,
                             void (MainWindow::*handler)());
    void addSeparator(QMenu* menu, const char* name);
    void bindCore();

    void bindTray();
    void minimiseToTray();
    void showTrayMenu();
    void setTrayImage(TrayImage image);
    void showUsersGauge(int users);
    void addLogLine(const LogEntry& entry);
    void refreshLabels();
    void refreshCheckMarks();
    void showTracking(UserLog* log);
    void focusTracking(UserLog* log);

    int selectedUserRow() const;
    QString selectedDatabase() const;

    // Commands.
    void mnuSaveLog();
    void mnuSalir();
    void mnuIniciarServicio();
    void mnuDetenerServicio();
    void mnuAutoStart();
    void mnuMinStart();
    void mnuServicioPuerto();
    void mnuSQL();
    void mnuDBBackup();
    void mnuAutoBackup();
    void mnuDBActualizar();
    void mnuDBDownload();
    void mnuDBUpload();
    void mnuUserClose();
    void mnuUserLog();
    void mnuSecurity();
    void mnuAyudaAyuda();
    void mnuAyudaAbout();
    void mnuSysTrayAbrir();
    void mnuSysTrayCerrar();
    void mnuDBExeUpdate();
    void mnuDBSecurity();
    void mnuDBDelete();

    ServerCore& m_core;
    Operator& m_operator;
    QMap<QString, QAction*> m_actions;
    QMap<QString, QMenu*> m_menus;
    QTreeView* m_lstDB = nullptr;
    QListView* m_lstUsers = nullptr;
    QToolBar* m_toolbar = nullptr;
    QProgressBar* m_pgbUsers = nullptr;
    QListWidget* m_lstDatos = nullptr;
    QLabel* m_lblPCName = nullptr;
    QLabel* m_lblIP = nullptr;
    QLabel* m_lblHost = nullptr;
    QLabel* m_lblPort = nullptr;
    QLabel* m_lblBytes = nullptr;
    SysTray* m_tray = nullptr;
    QTimer m_trayMenuDelay;
    WaitingDialog* m_frmWaiting = nullptr;
    UpdatingDialog* m_frmUpdating = nullptr;
    bool m_ending = false;
    bool m_startMinimised = false;
    bool m_toldNoTray = false;
};

} // namespace osk
