#include "app/main_window.h"
#include "app/server_core.h"
#include "backup/auto_backup_dialog.h"
#include "database/embedded_engine.h"
#include "session/user_log_window.h"
#include "shell/sys_tray.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QLabel>
#include <QListView>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QWindow>
#include <QtTest>
#include <memory>

using namespace osk;
using namespace osk::test;

namespace {

constexpr int kWaitMs = 10000;

// One menu item as the operator sees it: name, caption ("-" for a separator), and whether it is
// hidden or a check item.
struct Item {
    const char* name;
    const char* caption;
    bool hidden = false;
    bool checkable = false;
};

struct ExpectedMenu {
    const char* name;
    const char* title;
    std::vector<Item> items;
};

const std::vector<ExpectedMenu> kMenuBar = {
    {"mnuArchivo",
     "&Archivo",
     {{"mnuSaveLog", "&Guardar Registro de eventos"}, {"mnuSepArch", "-"}, {"mnuSalir", "&Salir"}}},
    {"mnuServicio",
     "&Servicio",
     {{"mnuIniciarServicio", "&Iniciar Servicio"},
      {"mnuDetenerServicio", "&Detener Servicio"},
      {"MnuServicioSep1", "-"},
      {"mnuAutoStart", "Iniciar &automaticamente", false, true},
      {"mnuMinStart", "Iniciar &minimizado", false, true},
      {"mnuServicioPuerto", "&Establecer Puerto"}}},
    {"mnuDB",
     "&Base de Datos",
     {{"mnuSQL", "Cambiar servidor SQLServer"},
      {"mnuBDSep", "-"},
      {"mnuDBBackup", "&Copias de Seguridad"},
      {"mnuAutoBackup", "&Programación Copias de Seguridad"},
      {"mnuDBActualizar", "&Actualizar Base de Datos"},
      {"mnuDBDownload", "&Descargar Actualización Osk 2.0"},
      {"mnuDBUpload", "Subir &Base de Datos a Ftp"}}},
    {"mnuUser",
     "&Usuarios",
     {{"mnuUserClose", "&Cerrar conexión"},
      {"mnuUserLog", "&Seguimiento"},
      {"mnuUserSep1", "-", true},
      {"mnuSecurity", "&Grupos y Usuarios", true}}},
    {"mnuAyuda",
     "A&yuda",
     {{"mnuAyudaAyuda", "A&yuda"}, {"mnuAyudaSep1", "-"}, {"mnuAyudaAbout", "&Acerca de Osk Server..."}}},
};

const std::vector<ExpectedMenu> kPopups = {
    {"mnuSysTray",
     "SysTray",
     {{"mnuSysTrayAbrir", "Restaurar"},
      {"mnuSysTraySep", "-"},
      {"mnuSysTrayStart", "Iniciar Osk Server"},
      {"mnuSysTrayStop", "Detener Osk Server"},
      {"mnuSysTraySep2", "-"},
      {"mnuSysTrayCerrar", "Cerrar"}}},
    {"mnuBD",
     "BD",
     {{"mnuDBExeUpdate", "Actualizar ejecutables"},
      {"mnuDBSecurity", "Grupos y Usuarios"},
      {"mnuDBDelete", "Eliminar BD"}}},
};

// The items whose enabled state follows the service and where the databases are.
const std::pair<Command, const char*> kBoundItems[] = {
    {Command::mnuIniciarServicio, "mnuIniciarServicio"},
    {Command::mnuDetenerServicio, "mnuDetenerServicio"},
    {Command::mnuSalir, "mnuSalir"},
    {Command::mnuServicioPuerto, "mnuServicioPuerto"},
    {Command::mnuDBActualizar, "mnuDBActualizar"},
    {Command::mnuAutoBackup, "mnuAutoBackup"},
    {Command::mnuSQL, "mnuSQL"},
    {Command::mnuDBDownload, "mnuDBDownload"},
    {Command::mnuDBUpload, "mnuDBUpload"},
    {Command::mnuDBBackup, "mnuDBBackup"},
};

struct Console {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    quint16 port = freePort();
    std::unique_ptr<ServerCore> core;
    std::unique_ptr<MainWindow> window;

    // The console loaded on the embedded engine, with settings `extra` after the port line.
    bool open(const QByteArray& extra = {}) {
        if (!writeFileBytes(folder.file(kSettingsFileName), portSettings(port) + extra))
            return false;
        core = std::make_unique<ServerCore>(folder.path(), clock, op);
        if (core->engine().openPrincipal().ok() && !EmbeddedEngine(folder.file(QStringLiteral("Data")))
                                                        .createProductDatabase(QStringLiteral("oskdemo"))
                                                        .ok())
            return false;
        window = std::make_unique<MainWindow>(*core, op);
        window->load();
        return true;
    }
    QAction* item(const char* name) const { return window->action(QLatin1String(name)); }
    QListView* users() const { return window->findChild<QListView*>(QStringLiteral("lstUsers")); }
    // A client from computer `from` with its session started and its user validated.
    std::unique_ptr<Client> validated(const QString& from, const QByteArray& session,
                                      const QByteArray& user) {
        auto client = std::make_unique<Client>(port, from);
        if (!QTest::qWaitFor([&] { return client->received == "CONNECTED"; }, kWaitMs))
            return nullptr;
        client->take();
        const int rows = users()->model()->rowCount();
        client->send(session);
        // The session text must arrive on its own: the first arrival of a connection is its session.
        if (!QTest::qWaitFor(
                [&] {
                    return core->session().lstUsers().count() == rows &&
                           core->session().CuentaConexiones() > 0 &&
                           log().contains(QString::fromLatin1(session));
                },
                kWaitMs))
            return nullptr;
        client->send("USER=" + user);
        if (!QTest::qWaitFor([&] { return client->received == "USER_OK"; }, kWaitMs))
            return nullptr;
        client->take();
        return client;
    }
    // The service started with the window shown, and ana ("ALMACEN1") and luis ("CAJA") validated
    // from the computers given; null clients when that did not happen.
    std::pair<std::unique_ptr<Client>, std::unique_ptr<Client>> serveAnaAndLuis(const QString& anaFrom,
                                                                                const QString& luisFrom) {
        if (!core->startService())
            return {};
        window->show();
        auto ana = validated(anaFrom, "ALMACEN1", "ana");
        auto luis = validated(luisFrom, "CAJA", "luis");
        return {std::move(ana), std::move(luis)};
    }
    QString log() const {
        QString all;
        for (const LogEntry& entry : core->eventLog().entries())
            all += entry.text + QLatin1Char('\n');
        return all;
    }
    // As a click on the row selects it.
    void select(int row) const { users()->setCurrentIndex(users()->model()->index(row, 0)); }
    QString label(const char* name) const { return window->findChild<QLabel*>(QLatin1String(name))->text(); }
    // Every bound item shows the enabled state the core holds.
    void verifyItemsMirrorCore() const {
        for (const auto& [command, name] : kBoundItems)
            QVERIFY2(item(name)->isEnabled() == core->commands().isEnabled(command), name);
    }
};

void verifyMenu(const MainWindow& window, const ExpectedMenu& expectedMenu) {
    QMenu* menu = window.menu(QLatin1String(expectedMenu.name));
    QVERIFY2(menu, expectedMenu.name);
    QCOMPARE(menu->title(), QString::fromUtf8(expectedMenu.title));
    const QList<QAction*> actions = menu->actions();
    QCOMPARE(actions.size(), qsizetype(expectedMenu.items.size()));
    for (size_t i = 0; i < expectedMenu.items.size(); ++i) {
        const Item& expected = expectedMenu.items[i];
        QAction* actual = actions[qsizetype(i)];
        QCOMPARE(actual->objectName(), QLatin1String(expected.name));
        if (qstrcmp(expected.caption, "-") == 0)
            QVERIFY2(actual->isSeparator(), expected.name);
        else
            QCOMPARE(actual->text(), QString::fromUtf8(expected.caption));
        QCOMPARE(actual->isVisible(), !expected.hidden);
        QCOMPARE(actual->isCheckable(), expected.checkable);
        QVERIFY2(actual->shortcut().isEmpty(), expected.name);
    }
}

} // namespace

class TestMainWindow final : public QObject {
    Q_OBJECT

private slots:
    void menuTreeAndCaptions() {
        Console c;
        QVERIFY(c.open());
        QList<QString> barMenus;
        for (QAction* top : c.window->menuBar()->actions())
            barMenus << top->menu()->objectName();
        QCOMPARE(barMenus, (QList<QString>{"mnuArchivo", "mnuServicio", "mnuDB", "mnuUser", "mnuAyuda"}));
        for (const ExpectedMenu& expectedMenu : kMenuBar)
            verifyMenu(*c.window, expectedMenu);
        for (const ExpectedMenu& expectedMenu : kPopups)
            verifyMenu(*c.window, expectedMenu);
    }

    void itemsFollowTheServiceAndTheTrayMenuCopiesThem() {
        Console c;
        QVERIFY(c.open());
        if (c.core->localAddress().isEmpty())
            QSKIP("This computer has no IPv4 address");
        QCOMPARE(c.window->windowTitle(), QStringLiteral("Osk Server - Detenido"));
        QCOMPARE(c.label("lblPort"), QStringLiteral("Puerto: %1").arg(c.port));
        QCOMPARE(c.label("lblBytes"), QStringLiteral("0 Bytes Recibidos"));
        c.verifyItemsMirrorCore();
        QVERIFY(c.item("mnuIniciarServicio")->isEnabled());
        QVERIFY(!c.item("mnuDetenerServicio")->isEnabled());

        c.item("mnuIniciarServicio")->trigger();
        QVERIFY(c.core->isStarted());
        QCOMPARE(c.window->windowTitle(), QStringLiteral("Osk Server - Iniciado"));
        QCOMPARE(c.label("lblBytes"), QStringLiteral("0 Bytes Recibidos"));
        c.verifyItemsMirrorCore();
        QVERIFY(!c.item("mnuSalir")->isEnabled());
        c.window->prepareTrayMenu();
        QVERIFY(!c.item("mnuSysTrayStart")->isEnabled());
        QVERIFY(c.item("mnuSysTrayStop")->isEnabled());
        QVERIFY(!c.item("mnuSysTrayCerrar")->isEnabled());

        c.item("mnuSysTrayStop")->trigger();
        QVERIFY(!c.core->isStarted());
        QCOMPARE(c.label("lblBytes"), QStringLiteral(" 0 bytes recibidos"));
        c.verifyItemsMirrorCore();
        c.window->prepareTrayMenu();
        QVERIFY(c.item("mnuSysTrayStart")->isEnabled());
        QVERIFY(!c.item("mnuSysTrayStop")->isEnabled());
        QVERIFY(c.item("mnuSysTrayCerrar")->isEnabled());
    }

    void remoteSqlServerDisablesTheDiskBoundItems() {
        Console c;
        // A driver that is not installed: no connection, and nothing looked up on the network.
        QVERIFY(c.open("SQLServer=OTRO-EQUIPO-OSK\r\nODBCDriver=Osk Sin Controlador\r\n"));
        for (const char* name : {"mnuDBBackup", "mnuAutoBackup", "mnuDBDownload", "mnuDBUpload"})
            QVERIFY2(!c.item(name)->isEnabled(), name);
        QVERIFY(c.item("mnuSQL")->isEnabled());
        QCOMPARE(c.label("lblPCName"), QStringLiteral(" SQLServer: [OTRO-EQUIPO-OSK]"));
    }

    void closeIsRefusedWhileTheServiceRuns() {
        Console c;
        QVERIFY(c.open());
        if (c.core->localAddress().isEmpty())
            QSKIP("This computer has no IPv4 address");
        QSignalSpy finished(c.window.get(), &MainWindow::finished);
        c.window->show();
        QVERIFY(c.core->startService());

        QVERIFY(!c.window->close());
        QVERIFY(c.window->isVisible());
        QCOMPARE(c.op.messages.size(), size_t(1));
        QCOMPARE(c.op.messages[0].text,
                 QStringLiteral("Debe detener el servicio antes de cerrar Osk Server."));
        QCOMPARE(c.op.messages[0].icon, MessageIcon::Information);
        QCOMPARE(finished.count(), 0);

        c.core->stopService();
        QVERIFY(c.window->close());
        QCOMPARE(finished.count(), 1);
    }

    void portCommandAppliesItsRangeRule() {
        Console c;
        QVERIFY(c.open());
        c.op.textAnswers = {QStringLiteral("65501")};
        c.item("mnuServicioPuerto")->trigger();
        QCOMPARE(c.op.messages.size(), size_t(1));
        QCOMPARE(c.op.messages[0].text, QStringLiteral("Puerto Incorrecto"));
        QCOMPARE(c.label("lblPort"), QStringLiteral("Puerto: %1").arg(c.port));

        c.op.textAnswers = {QStringLiteral("65500")};
        c.item("mnuServicioPuerto")->trigger();
        QCOMPARE(c.op.messages.size(), size_t(1));
        QCOMPARE(c.label("lblPort"), QStringLiteral("Puerto: 65500"));
        QCOMPARE(c.core->settingsFile().read(kMainSection, QStringLiteral("Port")), QStringLiteral("65500"));
    }

    void trayEventsAndTheMissingTray() {
        Console c;
        QVERIFY(c.open("OSInit=1\r\nMinInit=1\r\n"));
        if (!c.core->isStarted())
            QSKIP("The service could not start here");
        const QString noTray = QStringLiteral("Sin área de notificación: se minimiza en la barra de tareas.");
        const auto noTrayLines = [&c, &noTray] {
            return std::count_if(c.core->eventLog().entries().begin(), c.core->eventLog().entries().end(),
                                 [&noTray](const LogEntry& entry) { return entry.text.endsWith(noTray); });
        };
        // The offscreen desktop has no tray: the minimised start stays on the task bar, said once.
        c.window->showAtStart();
        QVERIFY(c.window->isMinimized());
        QVERIFY(c.window->isVisible());
        QCOMPARE(noTrayLines(), 1);

        c.window->tray().notify(SysTray::LeftDoubleClick);
        QVERIFY(!c.window->isMinimized());
        QVERIFY(c.window->isVisible());
        c.window->showMinimized();
        QCOMPARE(noTrayLines(), 1);

        // A click pops up the tray menu with the service's states, once a double click can no
        // longer come; a double click brings the window back without it; a right click does nothing.
        QMenu* trayMenu = c.window->menu(QStringLiteral("mnuSysTray"));
        int menusShown = 0;
        bool statesShown = false;
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (!trayMenu->isVisible())
                return;
            ++menusShown;
            statesShown = c.item("mnuSysTrayStop")->isEnabled() && !c.item("mnuSysTrayCerrar")->isEnabled();
            trayMenu->close();
        });
        closer.start(20);
        c.window->tray().notify(SysTray::LeftDown);
        c.window->tray().notify(SysTray::LeftUp);
        QTRY_COMPARE_WITH_TIMEOUT(menusShown, 1, kWaitMs);
        QVERIFY(statesShown);

        c.window->showMinimized();
        c.window->tray().notify(SysTray::LeftDown);
        c.window->tray().notify(SysTray::LeftUp);
        c.window->tray().notify(SysTray::LeftDoubleClick);
        QVERIFY(!c.window->isMinimized());
        c.window->tray().notify(SysTray::RightDown);
        c.window->tray().notify(SysTray::RightUp);
        QTest::qWait(QApplication::doubleClickInterval() + 200);
        QCOMPARE(menusShown, 1);
        c.core->stopService();
    }

    void checkItemsMirrorTheSettings() {
        Console c;
        QVERIFY(c.open("OSInit=0\r\nMinInit=1\r\n"));
        QVERIFY(!c.item("mnuAutoStart")->isChecked());
        QVERIFY(c.item("mnuMinStart")->isChecked());
        // Minimised start needs the service listening, which only the automatic start gives.
        QVERIFY(!c.window->isMinimized());
        c.item("mnuAutoStart")->trigger();
        QVERIFY(c.item("mnuAutoStart")->isChecked());
        QCOMPARE(c.core->settingsFile().read(kMainSection, QStringLiteral("OSInit")), QStringLiteral("1"));
        QVERIFY(!c.core->isStarted());
    }

    void scheduleEditorIsReloadedAfterItCloses() {
        Console c;
        QVERIFY(c.open());
        QVERIFY(c.item("mnuAutoBackup")->isEnabled());
        bool edited = false;
        QTimer::singleShot(0, [&edited] {
            auto* dialog = qobject_cast<AutoBackupDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            BackupEditor& editor = dialog->editor();
            editor.selectType(BackupEditor::kDaily);
            editor.setHourText(QStringLiteral("7"));
            editor.setFileText(QStringLiteral("/tmp/oskdemo.obk"));
            edited = editor.accept();
            dialog->accept();
        });
        c.item("mnuAutoBackup")->trigger();
        QVERIFY(edited);
        QCOMPARE(c.core->schedules()[0].Type, 1);
        QCOMPARE(c.core->schedules()[0].Hour, QTime(7, 0));
        QCOMPARE(c.core->schedules()[0].OutputFile, QStringLiteral("/tmp/oskdemo.obk"));
    }

    // A client validates, the operator follows it, its activity lines reach the window and are
    // saved; closing the window tells the client to stop.
    void trackingWindowShowsAndSavesTheClientsLines() {
        Console c;
        QVERIFY(c.open());
        if (c.core->localAddress().isEmpty())
            QSKIP("This computer has no IPv4 address");
        QVERIFY(c.core->startService());
        Client ana(c.port);
        QTRY_COMPARE_WITH_TIMEOUT(ana.received, QByteArray("CONNECTED"), kWaitMs);
        ana.take();
        ana.send("ALMACEN1");
        QTest::qWait(50);
        ana.send("USER=ana");
        QTRY_COMPARE_WITH_TIMEOUT(ana.received, QByteArray("USER_OK"), kWaitMs);
        ana.take();

        auto* users = c.window->findChild<QListView*>(QStringLiteral("lstUsers"));
        QTRY_COMPARE_WITH_TIMEOUT(users->model()->rowCount(), 1, kWaitMs);
        // A right click opens the users menu only over a selection, and does not change it.
        QMenu* userMenu = c.window->menu(QStringLiteral("mnuUser"));
        const QPoint onRow = users->visualRect(users->model()->index(0, 0)).center();
        QTest::mouseClick(users->viewport(), Qt::RightButton, {}, onRow);
        QVERIFY(!userMenu->isVisible());
        QVERIFY(!users->currentIndex().isValid());
        users->setCurrentIndex(users->model()->index(0, 0));
        QTest::mouseClick(users->viewport(), Qt::RightButton, {}, onRow);
        QVERIFY(userMenu->isVisible());
        userMenu->close();

        c.item("Propiedades")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(ana.received, QByteArray("LOG"), kWaitMs);
        ana.take();

        auto* window = c.window->findChild<UserLogWindow*>();
        QVERIFY(window);
        QCOMPARE(window->windowTitle(), QStringLiteral("[ana]"));
        auto* save = window->findChild<QPushButton*>(QStringLiteral("cmdSave"));
        QVERIFY(!save->isEnabled());

        ana.send("LOG:Abre pedidos");
        auto* lines = window->findChild<QListWidget*>(QStringLiteral("lstInfo"));
        QTRY_COMPARE_WITH_TIMEOUT(lines->count(), 1, kWaitMs);
        QCOMPARE(lines->item(0)->text(), QStringLiteral("[09:05:17]  Abre pedidos"));
        QVERIFY(save->isEnabled());

        const QString saved = c.folder.file(QStringLiteral("ana.txt"));
        c.op.fileAnswers = {saved};
        save->click();
        QCOMPARE(readFileBytes(saved),
                 QByteArray("[04/12/2026]\r\n--------------\r\n\r\n[09:05:17]  Abre pedidos\r\n"));

        window->close();
        QTRY_COMPARE_WITH_TIMEOUT(ana.received, QByteArray("NOLOG"), kWaitMs);
        ana.take();
        QTRY_VERIFY_WITH_TIMEOUT(!c.window->findChild<UserLogWindow*>(), kWaitMs);
        c.core->stopService();
    }

    // The followed user's session ends, by "CLOSE" or by vanishing: its window closes, the client
    // is told "NOLOG" once, and the console goes on serving the other user of that computer.
    void aFollowedUserLeavingClosesItsWindowOnce() {
        Console c;
        QVERIFY(c.open());
        if (c.core->localAddress().isEmpty())
            QSKIP("This computer has no IPv4 address");
        auto [ana, luis] = c.serveAnaAndLuis(QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.2"));
        QVERIFY(ana && luis);
        c.select(0);
        c.item("mnuUserLog")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(ana->received, QByteArray("LOG"), kWaitMs);
        ana->take();
        auto* window = c.window->findChild<UserLogWindow*>();
        QVERIFY(window);
        // It stays in front of the main window, also once the main window is back from the tray.
        c.window->tray().MinToSysTray();
        c.window->restoreFromTray();
        QVERIFY(window->isVisible());
        QCOMPARE(window->windowType(), Qt::Dialog);
        QCOMPARE(window->windowHandle()->transientParent(), c.window->windowHandle());

        ana->send("CLOSE");
        QTRY_VERIFY_WITH_TIMEOUT(!c.window->findChild<UserLogWindow*>(), kWaitMs);
        QTest::qWait(100);
        QCOMPARE(ana->received, QByteArray("CLOSEDNOLOG"));
        QCOMPARE(c.users()->model()->rowCount(), 1);

        c.select(0);
        c.item("Propiedades")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(luis->received, QByteArray("LOG"), kWaitMs);
        QVERIFY(c.window->findChild<UserLogWindow*>());
        luis->reset();
        QTRY_VERIFY_WITH_TIMEOUT((c.core->session().sweep(), c.users()->model()->rowCount() == 0), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!c.window->findChild<UserLogWindow*>(), kWaitMs);
        QCOMPARE(c.core->session().tracking().count(), 0);
        c.core->stopService();
    }

    // The commands act on a selected row only: when the selected user leaves nothing is selected,
    // and neither "Eliminar", "Propiedades" nor a right click reaches the user whose row moved up.
    void commandsActOnASelectedRowOnly() {
        Console c;
        QVERIFY(c.open());
        if (c.core->localAddress().isEmpty())
            QSKIP("This computer has no IPv4 address");
        auto [ana, luis] = c.serveAnaAndLuis(QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.3"));
        QVERIFY(ana && luis);
        c.select(0);
        ana->send("CLOSE");
        QTRY_COMPARE_WITH_TIMEOUT(c.users()->model()->rowCount(), 1, kWaitMs);
        QVERIFY(c.users()->selectionModel()->selectedRows().isEmpty());
        c.item("Eliminar")->trigger();
        c.item("mnuUserClose")->trigger();
        c.item("Propiedades")->trigger();
        // The row that has the keyboard focus is not selected either.
        c.users()->selectionModel()->setCurrentIndex(c.users()->model()->index(0, 0),
                                                     QItemSelectionModel::NoUpdate);
        c.item("Eliminar")->trigger();
        const QPoint onRow = c.users()->visualRect(c.users()->model()->index(0, 0)).center();
        QTest::mouseClick(c.users()->viewport(), Qt::RightButton, {}, onRow);
        QVERIFY(!c.window->menu(QStringLiteral("mnuUser"))->isVisible());
        QTest::qWait(100);
        QCOMPARE(c.users()->model()->rowCount(), 1);
        QCOMPARE(luis->socket.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(luis->received, QByteArray());
        QVERIFY(!c.log().contains(QStringLiteral("desconectado manualmente")));

        // Following a client that has gone says why, in a box.
        const int slot = c.core->session().lstUsers().row(0).slot;
        luis->reset();
        QTRY_VERIFY_WITH_TIMEOUT(!c.core->session().isConnected(slot), kWaitMs);
        c.select(0);
        c.item("mnuUserLog")->trigger();
        QCOMPARE(c.op.messages.size(), size_t(1));
        QVERIFY2(c.op.messages[0].text.startsWith(QStringLiteral("mnuUserLog_Click: ")),
                 qPrintable(c.op.messages[0].text));
        QCOMPARE(c.op.messages[0].icon, MessageIcon::Critical);
        QVERIFY(!c.window->findChild<UserLogWindow*>());
        c.core->stopService();
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
