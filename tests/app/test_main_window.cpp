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
        c.verifyItemsMirrorCore();
        QVERIFY(c.item("mnuIniciarServicio")->isEnabled());
        QVERIFY(!c.item("mnuDetenerServicio")->isEnabled());

        c.item("mnuIniciarServicio")->trigger();
        QVERIFY(c.core->isStarted());
        QCOMPARE(c.window->windowTitle(), QStringLiteral("Osk Server - Iniciado"));
        c.verifyItemsMirrorCore();
        QVERIFY(!c.item("mnuSalir")->isEnabled());
        c.window->prepareTrayMenu();
        QVERIFY(!c.item("mnuSysTrayStart")->isEnabled());
        QVERIFY(c.item("mnuSysTrayStop")->isEnabled());
        QVERIFY(!c.item("mnuSysTrayCerrar")->isEnabled());

        c.item("mnuSysTrayStop")->trigger();
        QVERIFY(!c.core->isStarted());
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
        const QString noTray = QStringLiteral("Este escritorio no tiene área de notificación: la ventana se "
                                              "minimiza en la barra de tareas.");
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

        // A click pops up the tray menu with the service's states; a right click does nothing.
        bool menuShown = false;
        QTimer::singleShot(0, [&c, &menuShown] {
            QMenu* trayMenu = c.window->menu(QStringLiteral("mnuSysTray"));
            menuShown = trayMenu->isVisible() && c.item("mnuSysTrayStop")->isEnabled() &&
                        !c.item("mnuSysTrayCerrar")->isEnabled();
            trayMenu->close();
        });
        c.window->tray().notify(SysTray::LeftDown);
        QVERIFY(menuShown);
        c.window->tray().notify(SysTray::RightDown);
        c.window->tray().notify(SysTray::RightUp);
        QVERIFY(!c.window->menu(QStringLiteral("mnuSysTray"))->isVisible());
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
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
