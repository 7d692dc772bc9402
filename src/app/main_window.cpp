#include "app/main_window.h"

#include "backup/auto_backup_dialog.h"
#include "common/operator.h"
#include "core/server_core.h"
#include "session/user_log.h"
#include "session/user_log_window.h"
#include "shell/about_dialog.h"
#include "shell/shell_icons.h"
#include "shell/sys_tray.h"
#include "shell/updating_dialog.h"
#include "shell/waiting_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QListWidget>
#include <QMenuBar>
#include <QMouseEvent>
#include <QProgressBar>
#include <QScreen>
#include <QSessionManager>
#include <QShortcut>
#include <QToolBar>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

namespace osk {

namespace {

constexpr int kWindowWidth = 720;
constexpr int kWindowHeight = 640;

// A bordered label of the bottom row, wide enough for the longest text it is given.
QLabel* statusLabel(const char* name, const QString& text, const QString& widest, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setMinimumWidth(label->fontMetrics().horizontalAdvance(widest) + 2 * label->frameWidth() + 8);
    return label;
}

QGroupBox* frame(const char* name, const QString& caption, QWidget* parent) {
    auto* box = new QGroupBox(caption, parent);
    box->setObjectName(QLatin1String(name));
    return box;
}

// The operator's commands act on the selected row. A view in single selection selects the row that
// moves into the place of a removed current row, which would make a bystander the target of the
// next "Eliminar"; here the selection goes with its row. Connected before the view's own handler,
// that is before the model is set, so that the view finds no current row to move.
void setModelDroppingSelectionWithRow(QAbstractItemView* view, QAbstractItemModel* model) {
    QObject::connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, view,
                     [view](const QModelIndex& parent, int first, int last) {
                         QItemSelectionModel* selection = view->selectionModel();
                         const QModelIndex current = selection->currentIndex();
                         const bool goes = current.isValid() && current.parent() == parent &&
                                           current.row() >= first && current.row() <= last;
                         if (goes)
                             selection->clear();
                     });
    view->setModel(model);
}

int selectedRow(const QAbstractItemView* view) {
    const QModelIndexList rows = view->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

} // namespace

MainWindow::MainWindow(ServerCore& core, Operator& op, QWidget* parent)
    : QMainWindow(parent,
                  // Fixed size, no maximise button.
                  Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                      Qt::WindowCloseButtonHint)
    , m_core(core)
    , m_operator(op)
    , m_tray(new SysTray(this))
    , m_frmWaiting(new WaitingDialog(this))
    , m_frmUpdating(new UpdatingDialog(this)) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Osk Server"));
    setWindowIcon(icons::program());

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(buildDatabaseFrame(), 3);
    layout->addWidget(buildUsersFrame(), 3);
    layout->addWidget(buildEventFrame(), 5);
    layout->addWidget(buildStatusRow());
    setCentralWidget(central);
    buildMenus();
    bindCore();
    bindTray();
    m_core.backups().setWaitDialog(*m_frmWaiting);
    m_core.setProgressView(*m_frmUpdating);

    auto* help = new QShortcut(QKeySequence::HelpContents, this);
    connect(help, &QShortcut::activated, this, &MainWindow::mnuAyudaAyuda);
    // The end of the desktop session ends the program even while the service runs.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this] { m_ending = true; });

    setFixedSize(kWindowWidth, kWindowHeight);
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::buildDatabaseFrame() {
    QGroupBox* box = frame("fraDB", QStringLiteral("Bases de Datos"), this);
    m_lstDB = new QTreeView(box);
    m_lstDB->setObjectName(QStringLiteral("lstDB"));
    setModelDroppingSelectionWithRow(m_lstDB, &m_core.lstDB());
    m_lstDB->setRootIsDecorated(false);
    m_lstDB->setUniformRowHeights(true);
    m_lstDB->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_lstDB->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_lstDB->header()->setStretchLastSection(true);
    m_lstDB->header()->resizeSection(0, 260);
    m_lstDB->header()->resizeSection(1, 180);
    m_lstDB->viewport()->installEventFilter(this);
    auto* layout = new QVBoxLayout(box);
    layout->addWidget(m_lstDB);
    return box;
}

QWidget* MainWindow::buildUsersFrame() {
    QGroupBox* box = frame("fraUsers", QStringLiteral("Usuarios"), this);
    m_toolbar = new QToolBar(box);
    m_toolbar->setObjectName(QStringLiteral("Toolbar1"));
    m_toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_toolbar->setIconSize(QSize(16, 16));
    QAction* disconnectUser = m_toolbar->addAction(icons::toolbarDelete(), QStringLiteral("Eliminar"));
    disconnectUser->setObjectName(QStringLiteral("Eliminar"));
    disconnectUser->setToolTip(QStringLiteral("Cerrar conexión"));
    QAction* followUser = m_toolbar->addAction(icons::toolbarProperties(), QStringLiteral("Propiedades"));
    followUser->setObjectName(QStringLiteral("Propiedades"));
    followUser->setToolTip(QStringLiteral("Seguimiento"));
    m_actions.insert(disconnectUser->objectName(), disconnectUser);
    m_actions.insert(followUser->objectName(), followUser);
    connect(disconnectUser, &QAction::triggered, this, &MainWindow::mnuUserClose);
    connect(followUser, &QAction::triggered, this, &MainWindow::mnuUserLog);

    m_lstUsers = new QListView(box);
    m_lstUsers->setObjectName(QStringLiteral("lstUsers"));
    setModelDroppingSelectionWithRow(m_lstUsers, &m_core.session().lstUsers());
    m_lstUsers->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_lstUsers->viewport()->installEventFilter(this);

    m_pgbUsers = new QProgressBar(box);
    m_pgbUsers->setObjectName(QStringLiteral("pgbUsers"));
    m_pgbUsers->setTextVisible(false);
    m_pgbUsers->setRange(0, 1);
    m_pgbUsers->setMaximumHeight(14);

    auto* layout = new QVBoxLayout(box);
    layout->addWidget(m_toolbar);
    layout->addWidget(m_lstUsers);
    layout->addWidget(m_pgbUsers);
    return box;
}

QWidget* MainWindow::buildEventFrame() {
    QGroupBox* box = frame("Frame1", QStringLiteral("Sucesos"), this);
    m_lstDatos = new QListWidget(box);
    m_lstDatos->setObjectName(QStringLiteral("lstDatos"));
    m_lstDatos->setFont(QFont(QStringLiteral("Courier New"), 9));
    m_lstDatos->setUniformItemSizes(true);
    m_lstDatos->setIconSize(QSize(16, 16));
    auto* layout = new QVBoxLayout(box);
    layout->addWidget(m_lstDatos);
    return box;
}

QWidget* MainWindow::buildStatusRow() {
    auto* row = new QWidget(this);
    m_lblPCName =
        statusLabel("lblPCName", QStringLiteral("PC"), QStringLiteral(" SQLServer: [(embedded)]"), row);
    m_lblIP = statusLabel("lblIP", QStringLiteral("IP"), QStringLiteral(" IP: 255.255.255.255"), row);
    m_lblHost = statusLabel("lblHost", QStringLiteral("Host"), QStringLiteral(" Host: [servidor]"), row);
    m_lblPort = statusLabel("lblPort", QStringLiteral("Port"), QStringLiteral("Puerto: 65535"), row);
    m_lblBytes = statusLabel("lblBytes", QStringLiteral("0 Bytes Recibidos"),
                             QStringLiteral("999.999.999 bytes recibidos"), row);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(m_lblPCName, 1);
    layout->addWidget(m_lblIP);
    layout->addWidget(m_lblHost, 1);
    layout->addWidget(m_lblPort);
    layout->addWidget(m_lblBytes);
    return row;
}

QMenu* MainWindow::addMenu(QMenu* parent, const char* name, const QString& title) {
    auto* created = parent ? parent->addMenu(title) : new QMenu(title, this);
    created->setObjectName(QLatin1String(name));
    m_menus.insert(created->objectName(), created);
    return created;
}

QAction* MainWindow::addItem(QMenu* menu, const char* name, const QString& caption,
                             void (MainWindow::*handler)()) {
    QAction* item = menu->addAction(caption);
    item->setObjectName(QLatin1String(name));
    m_actions.insert(item->objectName(), item);
    connect(item, &QAction::triggered, this, handler);
    return item;
}

QAction* MainWindow::addGovernedItem(QMenu* menu, Command command, const char* name, const QString& caption,
                                     void (MainWindow::*handler)()) {
    QAction* item = addItem(menu, name, caption, handler);
    item->setEnabled(m_core.commands().isEnabled(command));
    connect(&m_core.commands(), &CommandStates::changed, item,
            [item, command](Command changed, bool enabled) {
                if (changed == command)
                    item->setEnabled(enabled);
            });
    return item;
}

void MainWindow::addSeparator(QMenu* menu, const char* name) {
    QAction* separator = menu->addSeparator();
    separator->setObjectName(QLatin1String(name));
    m_actions.insert(separator->objectName(), separator);
}

void MainWindow::buildMenus() {
    QMenuBar* bar = menuBar();
    auto topLevel = [this, bar](const char* name, const QString& title) {
        QMenu* created = addMenu(nullptr, name, title);
        bar->addMenu(created);
        return created;
    };

    QMenu* archivo = topLevel("mnuArchivo", QStringLiteral("&Archivo"));
    addItem(archivo, "mnuSaveLog", QStringLiteral("&Guardar Registro de eventos"), &MainWindow::mnuSaveLog);
    addSeparator(archivo, "mnuSepArch");
    addGovernedItem(archivo, Command::mnuSalir, "mnuSalir", QStringLiteral("&Salir"), &MainWindow::mnuSalir);

    QMenu* servicio = topLevel("mnuServicio", QStringLiteral("&Servicio"));
    addGovernedItem(servicio, Command::mnuIniciarServicio, "mnuIniciarServicio",
                    QStringLiteral("&Iniciar Servicio"), &MainWindow::mnuIniciarServicio);
    addGovernedItem(servicio, Command::mnuDetenerServicio, "mnuDetenerServicio",
                    QStringLiteral("&Detener Servicio"), &MainWindow::mnuDetenerServicio);
    addSeparator(servicio, "MnuServicioSep1");
    addItem(servicio, "mnuAutoStart", QStringLiteral("Iniciar &automaticamente"), &MainWindow::mnuAutoStart)
        ->setCheckable(true);
    addItem(servicio, "mnuMinStart", QStringLiteral("Iniciar &minimizado"), &MainWindow::mnuMinStart)
        ->setCheckable(true);
    addGovernedItem(servicio, Command::mnuServicioPuerto, "mnuServicioPuerto",
                    QStringLiteral("&Establecer Puerto"), &MainWindow::mnuServicioPuerto);

    QMenu* db = topLevel("mnuDB", QStringLiteral("&Base de Datos"));
    addGovernedItem(db, Command::mnuSQL, "mnuSQL", QStringLiteral("Cambiar servidor SQLServer"),
                    &MainWindow::mnuSQL);
    addSeparator(db, "mnuBDSep");
    addGovernedItem(db, Command::mnuDBBackup, "mnuDBBackup", QStringLiteral("&Copias de Seguridad"),
                    &MainWindow::mnuDBBackup);
    addGovernedItem(db, Command::mnuAutoBackup, "mnuAutoBackup",
                    QStringLiteral("&Programación Copias de Seguridad"), &MainWindow::mnuAutoBackup);
    addGovernedItem(db, Command::mnuDBActualizar, "mnuDBActualizar",
                    QStringLiteral("&Actualizar Base de Datos"), &MainWindow::mnuDBActualizar);
    addGovernedItem(db, Command::mnuDBDownload, "mnuDBDownload",
                    QStringLiteral("&Descargar Actualización Osk 2.0"), &MainWindow::mnuDBDownload);
    addGovernedItem(db, Command::mnuDBUpload, "mnuDBUpload", QStringLiteral("Subir &Base de Datos a Ftp"),
                    &MainWindow::mnuDBUpload);

    QMenu* user = topLevel("mnuUser", QStringLiteral("&Usuarios"));
    addItem(user, "mnuUserClose", QStringLiteral("&Cerrar conexión"), &MainWindow::mnuUserClose);
    addItem(user, "mnuUserLog", QStringLiteral("&Seguimiento"), &MainWindow::mnuUserLog);
    addSeparator(user, "mnuUserSep1");
    addItem(user, "mnuSecurity", QStringLiteral("&Grupos y Usuarios"), &MainWindow::mnuSecurity);
    m_actions.value(QStringLiteral("mnuUserSep1"))->setVisible(false);
    m_actions.value(QStringLiteral("mnuSecurity"))->setVisible(false);

    QMenu* ayuda = topLevel("mnuAyuda", QStringLiteral("A&yuda"));
    addItem(ayuda, "mnuAyudaAyuda", QStringLiteral("A&yuda"), &MainWindow::mnuAyudaAyuda);
    addSeparator(ayuda, "mnuAyudaSep1");
    addItem(ayuda, "mnuAyudaAbout", QStringLiteral("&Acerca de Osk Server..."), &MainWindow::mnuAyudaAbout);

    // Pop-up only: never in the menu bar.
    QMenu* tray = addMenu(nullptr, "mnuSysTray", QStringLiteral("SysTray"));
    addItem(tray, "mnuSysTrayAbrir", QStringLiteral("Restaurar"), &MainWindow::mnuSysTrayAbrir);
    addSeparator(tray, "mnuSysTraySep");
    addItem(tray, "mnuSysTrayStart", QStringLiteral("Iniciar Osk Server"), &MainWindow::mnuIniciarServicio);
    addItem(tray, "mnuSysTrayStop", QStringLiteral("Detener Osk Server"), &MainWindow::mnuDetenerServicio);
    addSeparator(tray, "mnuSysTraySep2");
    addItem(tray, "mnuSysTrayCerrar", QStringLiteral("Cerrar"), &MainWindow::mnuSysTrayCerrar);

    QMenu* bd = addMenu(nullptr, "mnuBD", QStringLiteral("BD"));
    addItem(bd, "mnuDBExeUpdate", QStringLiteral("Actualizar ejecutables"), &MainWindow::mnuDBExeUpdate);
    addItem(bd, "mnuDBSecurity", QStringLiteral("Grupos y Usuarios"), &MainWindow::mnuDBSecurity);
    addItem(bd, "mnuDBDelete", QStringLiteral("Eliminar BD"), &MainWindow::mnuDBDelete);
}

void MainWindow::bindCore() {
    for (const LogEntry& entry : m_core.eventLog().entries())
        addLogLine(entry);
    connect(&m_core.eventLog(), &EventLog::entryAdded, this, &MainWindow::addLogLine);
    connect(&m_core, &ServerCore::captionChanged, this, [this](const QString& caption) {
        setWindowTitle(caption);
        m_tray->ChangeToolTip(caption);
    });
    connect(&m_core, &ServerCore::trayImageChanged, this, &MainWindow::setTrayImage);
    connect(&m_core, &ServerCore::labelsChanged, this, &MainWindow::refreshLabels);
    connect(&m_core, &ServerCore::checkMarksChanged, this, &MainWindow::refreshCheckMarks);
    // The gauge counts the rows after every change of the list, a just validated user included.
    QAbstractItemModel* users = &m_core.session().lstUsers();
    const auto countUsers = [this, users] {
        showUsersGauge(users->rowCount());
    };
    connect(users, &QAbstractItemModel::rowsInserted, this, countUsers);
    connect(users, &QAbstractItemModel::rowsRemoved, this, countUsers);
    connect(users, &QAbstractItemModel::modelReset, this, countUsers);
    connect(&m_core.session(), &SessionServer::bytesLabelChanged, m_lblBytes, &QLabel::setText);

    ActivityTracking& tracking = m_core.session().tracking();
    connect(&tracking, &ActivityTracking::opened, this, &MainWindow::showTracking);
    connect(&tracking, &ActivityTracking::focusRequested, this, &MainWindow::focusTracking);
}

void MainWindow::bindTray() {
    m_tray->setSourceWindow(this);
    // The first click of a double click must not open the menu: a menu waiting for its choice
    // would swallow the second click. The menu waits until a double click can no longer come.
    m_trayMenuDelay.setSingleShot(true);
    m_trayMenuDelay.setInterval(QApplication::doubleClickInterval());
    connect(&m_trayMenuDelay, &QTimer::timeout, this, &MainWindow::showTrayMenu);
    connect(m_tray, &SysTray::LButtonDown, &m_trayMenuDelay, qOverload<>(&QTimer::start));
    connect(m_tray, &SysTray::LButtonDblClk, this, [this] {
        m_trayMenuDelay.stop();
        mnuSysTrayAbrir();
    });
}

void MainWindow::showUsersGauge(int users) {
    m_pgbUsers->setValue(users);
    // The bar repaints by itself only when the change is wider than one of its chunks, which one
    // user of 255 is not.
    m_pgbUsers->update();
}

void MainWindow::setTrayImage(TrayImage image) {
    m_tray->ChangeIcon(image == TrayImage::Start ? icons::trayStart() : icons::trayStop());
}

void MainWindow::showTrayMenu() {
    prepareTrayMenu();
    // Waits for the choice; the tray drops its notifications meanwhile.
    m_tray->whileBusy(
        [this] { m_menus.value(QStringLiteral("mnuSysTray"))->exec(m_tray->lastActivationPos()); });
}

void MainWindow::minimiseToTray() {
    if (!SysTray::isAvailable()) {
        // Hidden where nothing can bring it back, the window would be lost: it stays on the task bar.
        if (!m_toldNoTray) {
            m_toldNoTray = true;
            m_core.eventLog().AddLog(
                QStringLiteral("Sin área de notificación: se minimiza en la barra de tareas."),
                LogKind::Info);
        }
        return;
    }
    m_tray->setToolTip(windowTitle());
    m_tray->MinToSysTray();
}

void MainWindow::load() {
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    setWindowTitle(m_core.caption());
    m_core.load();
    setTrayImage(m_core.trayImage());
    refreshLabels();
    // A range of 0 to 0 would show a busy indicator, not an empty gauge.
    m_pgbUsers->setRange(0, std::max(1, m_core.session().maxUsers()));
    showUsersGauge(m_core.session().lstUsers().rowCount());

    const MainSettings& settings = m_core.settings();
    if (settings.autoStart && m_core.commands().isEnabled(Command::mnuIniciarServicio))
        m_core.startService();
    m_startMinimised = settings.minStart && m_core.isStarted();
}

void MainWindow::showAtStart() {
    if (!m_startMinimised) {
        show();
    } else if (SysTray::isAvailable()) {
        // Into the tray without ever having been minimised: a window first shown with a minimised
        // state behind it may hear the window system call it minimised again once it is back,
        // and would go straight into the tray again.
        minimiseToTray();
    } else {
        showMinimized();
    }
}

QAction* MainWindow::action(const QString& name) const {
    return m_actions.value(name);
}

QMenu* MainWindow::menu(const QString& name) const {
    return m_menus.value(name);
}

void MainWindow::addLogLine(const LogEntry& entry) {
    // The lines of the run are in the daily files; the screen keeps the most recent ones, so that
    // a console left open for months does not grow.
    constexpr int kShownLines = 20000;
    if (m_lstDatos->count() >= kShownLines)
        delete m_lstDatos->takeItem(0);
    auto* item = new QListWidgetItem(icons::logKind(int(entry.kind)), entry.text, m_lstDatos);
    m_lstDatos->scrollToItem(item);
}

void MainWindow::refreshLabels() {
    m_lblPCName->setText(m_core.sqlServerLabel());
    m_lblIP->setText(m_core.ipLabel());
    m_lblHost->setText(m_core.hostLabel());
    m_lblPort->setText(m_core.portLabel());
    // lblBytes keeps its first caption until the service shows a count.
}

void MainWindow::refreshCheckMarks() {
    m_actions.value(QStringLiteral("mnuAutoStart"))->setChecked(m_core.isAutoStartChecked());
    m_actions.value(QStringLiteral("mnuMinStart"))->setChecked(m_core.isMinStartChecked());
}

void MainWindow::showTracking(UserLog* log) {
    auto* window = new UserLogWindow(*log, m_core.session().tracking(), m_operator, this);
    // The tracking may end from the session's side: the window goes with it.
    connect(&m_core.session().tracking(), &ActivityTracking::closing, window, [window](UserLog* closing) {
        if (closing == window->log())
            window->close();
    });
    window->show();
}

void MainWindow::focusTracking(UserLog* log) {
    for (auto* window : findChildren<UserLogWindow*>()) {
        if (window->log() == log) {
            window->showNormal();
            window->raise();
            window->activateWindow();
        }
    }
}

int MainWindow::selectedUserRow() const {
    return selectedRow(m_lstUsers);
}

QString MainWindow::selectedDatabase() const {
    const int row = selectedRow(m_lstDB);
    return row < 0 ? QString() : m_core.lstDB().index(row, 0).data().toString();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // A right click opens the list's pop-up menu over the row already selected; it does not
    // change the selection.
    const bool rightPress = event->type() == QEvent::MouseButtonPress &&
                            static_cast<QMouseEvent*>(event)->button() == Qt::RightButton;
    if (!rightPress)
        return QMainWindow::eventFilter(watched, event);
    const QPoint at = static_cast<QMouseEvent*>(event)->globalPosition().toPoint();
    if (watched == m_lstUsers->viewport() && selectedUserRow() >= 0)
        m_menus.value(QStringLiteral("mnuUser"))->popup(at);
    else if (watched == m_lstDB->viewport() && !selectedDatabase().isEmpty())
        m_menus.value(QStringLiteral("mnuBD"))->popup(at);
    return true;
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (m_ending) {
        event->accept();
        emit finished();
        return;
    }
    if (!m_core.commands().isEnabled(Command::mnuSalir)) {
        event->ignore();
        m_operator.showMessage(QStringLiteral("Debe detener el servicio antes de cerrar Osk Server."),
                               MessageIcon::Information, kDefaultTitle);
        return;
    }
    m_operator.setBusy(true);
    event->accept();
    m_tray->RemoveFromSysTray();
    for (auto* window : findChildren<UserLogWindow*>())
        window->close();
    m_operator.setBusy(false);
    emit finished();
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized())
        minimiseToTray();
}

void MainWindow::restoreFromTray() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    m_tray->RemoveFromSysTray();
    raise();
    activateWindow();
    // The tracking windows went away with their owner (iconic, or behind it once it is raised);
    // they come back in front of it.
    for (auto* window : findChildren<UserLogWindow*>()) {
        if (window->log()) {
            window->showNormal();
            window->raise();
        }
    }
}

void MainWindow::prepareTrayMenu() {
    const auto copyEnabled = [this](const char* from, const char* to) {
        m_actions.value(QLatin1String(to))->setEnabled(m_actions.value(QLatin1String(from))->isEnabled());
    };
    copyEnabled("mnuIniciarServicio", "mnuSysTrayStart");
    copyEnabled("mnuDetenerServicio", "mnuSysTrayStop");
    copyEnabled("mnuSalir", "mnuSysTrayCerrar");
}

void MainWindow::endProgram() {
    m_ending = true;
    close();
}

void MainWindow::mnuSaveLog() {
    // A failure has been shown to the operator by the save itself.
    (void)m_core.saveLog();
}

void MainWindow::mnuSalir() {
    close();
}

void MainWindow::mnuIniciarServicio() {
    m_core.startService();
}

void MainWindow::mnuDetenerServicio() {
    m_core.stopService();
}

void MainWindow::mnuAutoStart() {
    m_core.mnuAutoStart();
}

void MainWindow::mnuMinStart() {
    m_core.mnuMinStart();
}

void MainWindow::mnuServicioPuerto() {
    m_core.mnuServicioPuerto();
}

void MainWindow::mnuSQL() {
    m_core.mnuSQL();
}

void MainWindow::mnuDBBackup() {
    m_core.modules().mnuDBBackup();
}

void MainWindow::mnuAutoBackup() {
    {
        AutoBackupDialog dialog(m_core.engine(), m_core.settingsFile(), m_operator, this);
        dialog.exec();
    }
    // Whichever button closed it: the schedules in force are those of the settings file.
    m_core.reloadSchedules();
}

void MainWindow::mnuDBActualizar() {
    (void)m_core.updateDatabases(); // a failure has shown its box
}

void MainWindow::mnuDBDownload() {
    if (m_core.modules().mnuDBDownload())
        endProgram();
}

void MainWindow::mnuDBUpload() {
    m_core.modules().mnuDBUpload();
}

void MainWindow::mnuUserClose() {
    if (const int row = selectedUserRow(); row >= 0)
        m_core.disconnectUser(row);
}

void MainWindow::mnuUserLog() {
    if (const int row = selectedUserRow(); row >= 0)
        m_core.followUser(row);
}

void MainWindow::mnuSecurity() {
    m_core.modules().mnuSecurity();
}

void MainWindow::mnuAyudaAyuda() {
    const QString helpFile = QDir(m_core.programFolder()).filePath(QStringLiteral("OskServer.chm"));
    if (QFileInfo::exists(helpFile) && QDesktopServices::openUrl(QUrl::fromLocalFile(helpFile)))
        return;
    m_operator.showMessage(
        QStringLiteral("No se puede abrir la ayuda ('%1').").arg(QDir::toNativeSeparators(helpFile)),
        MessageIcon::Information, kDefaultTitle);
}

void MainWindow::mnuAyudaAbout() {
    AboutDialog about(m_operator, this);
    about.exec();
}

void MainWindow::mnuSysTrayAbrir() {
    restoreFromTray();
}

void MainWindow::mnuSysTrayCerrar() {
    mnuSalir();
}

void MainWindow::mnuDBExeUpdate() {
    if (const QString database = selectedDatabase(); !database.isEmpty())
        (void)m_core.updateClients(database); // the event log says how it went
}

void MainWindow::mnuDBSecurity() {
    if (const QString database = selectedDatabase(); !database.isEmpty())
        m_core.modules().mnuDBSecurity(database);
}

void MainWindow::mnuDBDelete() {
    if (const QString database = selectedDatabase(); !database.isEmpty())
        m_core.deleteDatabase(database);
}

} // namespace osk
