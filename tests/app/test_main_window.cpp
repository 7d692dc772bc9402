// The operator's flows with the real main window and real clients from more than one computer, as
// scripts of steps after each of which everything the window shows is compared, with what the
// core behind it holds (its timers, the port it listens on, the settings file, the port stored in
// the databases).

#include "app/main_window.h"
#include "database/embedded_engine.h"
#include "session/user_log_window.h"
#include "shell/sys_tray.h"
#include "support/core_scenario.h"

#include <QHostInfo>
#include <QtTest>
#include <QtWidgets>

using namespace osk;
using namespace osk::test;

namespace {

struct Console : Scenario, QObject {
    explicit Console(const QByteArray& settings) {
        // On the embedded engine, one product database "oskdemo" beside OskDB; a failure shows in
        // the databases' rows.
        if (makeCore(settings))
            (void)EmbeddedEngine(folder.file(QStringLiteral("Data")))
                .createProductDatabase(QStringLiteral("oskdemo"));
        if (!core)
            return;
        window = std::make_unique<MainWindow>(*core, op);
        connect(window.get(), &MainWindow::finished, this, [this] { ++finished; });
        gauge = window->findChild<QProgressBar*>(QStringLiteral("pgbUsers"));
        gauge->installEventFilter(this);
        window->installEventFilter(this);
    }
    // What the gauge was last painted with, and the order in which windows were raised.
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && watched == gauge)
            painted = gauge->value();
        else if (event->type() == QEvent::ZOrderChange &&
                 raised.value(raised.size() - 1) != watched->objectName())
            raised << watched->objectName();
        return false;
    }
    UserLogWindow* tracking(const QString& title) const {
        for (auto* shown : window->findChildren<UserLogWindow*>())
            if (shown->windowTitle() == title)
                return shown;
        return nullptr;
    }

    void run(const QString& steps) {
        for (const QString& step : steps.split(QStringLiteral("; "))) {
            const QStringList word = step.split(QLatin1Char(' '));
            if (step == QLatin1String("load")) {
                window->load();
            } else if (step == QLatin1String("show at start")) {
                window->showAtStart();
            } else if (word[0] == QLatin1String("trigger")) {
                window->action(word.value(1))->trigger();
            } else if (word[0] == QLatin1String("select")) {
                auto* users = window->findChild<QListView*>(QStringLiteral("lstUsers"));
                users->setCurrentIndex(users->model()->index(word.value(1).toInt(), 0));
            } else if (step == QLatin1String("close")) {
                op.shown << (window->close() ? QStringLiteral("closed") : QStringLiteral("close refused"));
            } else if (step == QLatin1String("tray menu")) {
                window->prepareTrayMenu();
            } else if (step == QLatin1String("tray double click")) {
                window->tray().notify(SysTray::LeftDoubleClick);
            } else if (step == QLatin1String("minimise")) {
                // As the window manager's minimise button does it.
                window->setWindowState(Qt::WindowMinimized);
            } else if (word[0] == QLatin1String("iconify")) {
                // A window manager takes the owned window along into the icons.
                tracking(word.value(1))->showMinimized();
            } else if (step == QLatin1String("port command")) {
                port = freePort();
                masks.emplace_back(QString::number(port), QStringLiteral("<new port>"));
                op.textAnswers = {QString::number(port)};
                window->action(QStringLiteral("mnuServicioPuerto"))->trigger();
            } else if (word[0] == QLatin1String("save")) {
                save(word);
            } else if (!runShared(step)) {
                QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
            }
        }
        for (auto* shown : window->findChildren<UserLogWindow*>())
            shown->installEventFilter(this);
    }
    // "save [luis] to FILE while luis closes": the session ends while the save dialog is open,
    // whose own event loop runs meanwhile.
    void save(const QStringList& word) {
        op.saveAnswers.push_back(folder.file(word.value(3)));
        files << word.value(3);
        const int following = core->session().tracking().count();
        op.whileOpen = [&, client = clients[word.value(5)].get(), done = false]() mutable {
            if (std::exchange(done, true))
                return;
            client->send("CLOSE");
            // The close is seen once the save is over.
            (void)QTest::qWaitFor([&] { return core->session().tracking().count() < following; }, 10000);
        };
        tracking(word.value(1))->findChild<QPushButton*>(QStringLiteral("cmdSave"))->click();
        op.whileOpen = nullptr;
    }

    QStringList snapshot() const {
        const auto label = [this](const char* name) {
            return window->findChild<QLabel*>(QLatin1String(name))->text();
        };
        QStringList off, checked, logged;
        for (const QAction* action : window->findChildren<QAction*>()) {
            if (!action->objectName().isEmpty() && !action->isSeparator() && action->isVisible()) {
                if (!action->isEnabled())
                    off << action->objectName();
                if (action->isChecked())
                    checked << action->objectName();
            }
        }
        off.sort();
        for (const LogEntry& entry : core->eventLog().entries())
            logged << entry.text;
        const QString shown = rowsOf(window->findChild<QListWidget*>(QStringLiteral("lstDatos"))->model());
        const auto* users = window->findChild<QListView*>(QStringLiteral("lstUsers"));
        QStringList lines{
            QStringLiteral("window: %1 | %2%3 | tray %4 %5 | busy %6 | finished %7")
                .arg(window->windowTitle(), window->isVisible() ? "shown" : "hidden",
                     window->isMinimized() ? " minimised" : "", window->tray().isInSysTray() ? "in" : "out",
                     window->tray().ToolTip())
                .arg(op.busyDepth)
                .arg(finished),
            QStringLiteral("service: timers %1 %2 | listening %3")
                .arg(core->session().tmrMain().isActive())
                .arg(core->tmrBackup().isActive())
                .arg(core->session().listeningPort()),
            QStringLiteral("settings file: ") +
                QString::fromLatin1(readFileBytes(folder.file(kSettingsFileName))).simplified(),
            QStringLiteral("labels: ") +
                QStringList{label("lblPCName"), label("lblIP"), label("lblHost"), label("lblPort")}
                    .join(QLatin1Char('|'))
                    .replace(core->localAddress(), QStringLiteral("<ip>"))
                    .replace(QHostInfo::localHostName(), QStringLiteral("<host>")),
            QStringLiteral("off: ") + off.join(QLatin1Char(' ')),
            QStringLiteral("checked: ") + (checked.isEmpty() ? QStringLiteral("none") : checked.join(' ')),
            QStringLiteral("counts: %1 | gauge %2 of %3 painted %4")
                .arg(label("lblBytes"))
                .arg(gauge->value())
                .arg(gauge->maximum())
                .arg(painted),
            QStringLiteral("users: ") + rowsOf(users->model(), users->selectionModel()),
            QStringLiteral("databases: ") +
                rowsOf(window->findChild<QTreeView*>(QStringLiteral("lstDB"))->model()),
            QStringLiteral("event list: ") +
                (shown == (logged.isEmpty() ? QStringLiteral("none") : logged.join(QStringLiteral(" | ")))
                     ? QStringLiteral("every line logged")
                     : shown)};
        const auto stored = EmbeddedEngine(folder.file(QStringLiteral("Data")))
                                .readProperty(QStringLiteral("oskdemo"), QStringLiteral("AppOskServerPort"));
        lines << QStringLiteral("oskdemo's port: ") +
                     (stored.ok() && stored->has_value() ? **stored : QStringLiteral("none"));
        for (const auto* owned : window->findChildren<UserLogWindow*>()) {
            const bool dialog = owned->windowType() == Qt::Dialog && owned->windowHandle() &&
                                owned->windowHandle()->transientParent() == window->windowHandle();
            lines << QStringLiteral("tracking %1: %2%3 | %4 | save %5 | %6")
                         .arg(owned->windowTitle(), owned->isVisible() ? "shown" : "hidden",
                              owned->isMinimized() ? " minimised" : "",
                              dialog ? "a dialog over frmMain" : "not a dialog over frmMain",
                              owned->findChild<QPushButton*>(QStringLiteral("cmdSave"))->isEnabled() ? "on"
                                                                                                     : "off",
                              rowsOf(owned->findChild<QListWidget*>(QStringLiteral("lstInfo"))->model()));
        }
        for (const QString& file : files)
            lines << QStringLiteral("file %1: ").arg(file) +
                         QString::fromLatin1(readFileBytes(folder.file(file)))
                             .replace(QStringLiteral("\r\n"), QStringLiteral("\\r\\n"));
        if (!raised.isEmpty())
            lines << QStringLiteral("> raised: ") + raised.join(QLatin1Char(' '));
        return masked(lines + sharedSnapshot());
    }
    void next() {
        Scenario::next();
        raised.clear();
    }

    std::unique_ptr<MainWindow> window;
    QProgressBar* gauge = nullptr;
    int painted = -1;
    int finished = 0;
    QStringList raised, files;
};

} // namespace

class TestMainWindow final : public QObject {
    Q_OBJECT

private slots:
    // A new port, written into the databases at once and listened on from the start; the start
    // from the menu, follow a user, minimise and restore, disconnect the followed user, a selected
    // user leaving, a followed user whose session ends under the save dialog of the tracking
    // window, and the stop from the tray menu that lets the window close.
    void operatorFlows() {
        // Started minimised only when the service listens: without the automatic start it shows.
        Console c("MinInit=1\r\n");
        QVERIFY(c.window);
        if (localIpv4Address().isEmpty())
            QSKIP("This computer has no IPv4 address");
        playScript(
            c,
            {"load\nchecked: mnuMinStart\ncounts: 0 Bytes Recibidos | gauge 0 of 255 painted -1\n"
             "databases: OskDB 1 Actualizada | oskdemo 1 Actualizada\nevent list: every line logged\n"
             "labels:  SQLServer: [(embedded)]| IP: <ip>| Host: [<host>]|Puerto: <port>\n"
             "off: mnuDetenerServicio\noskdemo's port: <port>\nservice: timers 0 0 | listening 0\n"
             "settings file: [Main] Port=<port> MinInit=1\nusers: none\n"
             "window: Osk Server - Detenido | hidden | tray out  | busy 0 | finished 0",
             "port command\n> prompt: Indique nuevo puerto. -> <new port>\n"
             "labels:  SQLServer: [(embedded)]| IP: <ip>| Host: [<host>]|Puerto: <new port>\n"
             "oskdemo's port: <new port>\nsettings file: [Main] Port=<new port> MinInit=1",
             // Every tick writes the count, none received included.
             "show at start; trigger mnuIniciarServicio; sweep\ncounts:  0 bytes recibidos | gauge 0 of 255 "
             "painted 0\nservice: timers 1 1 | listening <new port>\noff: mnuAutoBackup mnuDBActualizar "
             "mnuIniciarServicio mnuSQL mnuSalir mnuServicioPuerto\n"
             R"(> log: 2 [09:05:17]  Inicializando Entorno... | 1 [09:05:17]  Inicialización Completada. | 1 [09:05:17]  Servidor activo. | 2 [09:05:17]  Esperando conexiones...
window: Osk Server - Iniciado | shown | tray out Osk Server - Iniciado | busy 0 | finished 0)",
             "close; tray menu\n> close refused\n"
             "> said Information: Debe detener el servicio antes de cerrar Osk Server.\n"
             R"(off: mnuAutoBackup mnuDBActualizar mnuIniciarServicio mnuSQL mnuSalir mnuServicioPuerto mnuSysTrayCerrar mnuSysTrayStart)",
             // Two computers; luis and eva share one, as on a terminal server. The gauge
             // counts eva as soon as she is validated, and shows it: 3 of 255 is narrower
             // than one chunk of the bar.
             "serve ana 127.0.0.1 ALMACEN1; serve luis 127.0.0.2 CAJA; serve eva 127.0.0.2 CAJA2\nclients: "
             "ana open | eva open | luis open\ncounts:  0 bytes recibidos | gauge 3 of 255 painted 3\n"
             R"(> log: 2 [09:05:17]  Recibiendo petición de conexión... | 1 [09:05:17]  Conexión aceptada. Esperando inicio de sesión... | 1 [09:05:17]  Inicio de sesión para [ALMACEN1] completado. | 2 [09:05:17]  Validado usuario [ana] en [ALMACEN1]. | 2 [09:05:17]  Recibiendo petición de conexión... | 1 [09:05:17]  Conexión aceptada. Esperando inicio de sesión... | 1 [09:05:17]  Inicio de sesión para [CAJA] completado. | 2 [09:05:17]  Validado usuario [luis] en [CAJA]. | 2 [09:05:17]  Recibiendo petición de conexión... | 1 [09:05:17]  Conexión aceptada. Esperando inicio de sesión... | 1 [09:05:17]  Inicio de sesión para [CAJA2] completado. | 2 [09:05:17]  Validado usuario [eva] en [CAJA2].
users: 127.0.0.1  [ana] en [ALMACEN1] | 127.0.0.2  [luis] en [CAJA] | 127.0.0.2  [eva] en [CAJA2])",
             // It stays over the console: a dialog that the window system keeps above its owner.
             "select 1; trigger Propiedades\n> replies: luis LOG\n"
             "tracking [luis]: shown | a dialog over frmMain | save off | none\n"
             R"(users: 127.0.0.1  [ana] en [ALMACEN1] | *127.0.0.2  [luis] en [CAJA] | 127.0.0.2  [eva] en [CAJA2])",
             "clock 65; luis sends LOG:Abre pedidos\n"
             "tracking [luis]: shown | a dialog over frmMain | save on | [09:06:22]  Abre pedidos",
             // The offscreen desktop has no tray: minimised, the window stays on the task
             // bar, and the tray's double click brings it back.
             "minimise\n> log: 2 [09:06:22]  Sin área de notificación: se minimiza en la barra de tareas.\n"
             R"(window: Osk Server - Iniciado | shown minimised | tray out Osk Server - Iniciado | busy 0 | finished 0)",
             "tray double click\n> raised: frmMain frmUserLog\n"
             R"(window: Osk Server - Iniciado | shown | tray out Osk Server - Iniciado | busy 0 | finished 0)",
             // The connection closes without a word; the tracking window stays.
             "trigger Eliminar\n> log: 3 [09:06:22]  Usuario [luis] en [CAJA] desconectado manualmente.\n"
             "clients: ana open | eva open | luis closed\n"
             "counts:  0 bytes recibidos | gauge 2 of 255 painted 2\n"
             "users: 127.0.0.1  [ana] en [ALMACEN1] | 127.0.0.2  [eva] en [CAJA2]",
             // When the selected user leaves, nothing is selected: the user whose row
             // moves up is not the target of the next command.
             "select 0; ana sends CLOSE\n> log: 1 [09:06:22]  Sesion cerrada para [ana].\n"
             "> replies: ana CLOSED\ncounts:  0 bytes recibidos | gauge 1 of 255 painted 1\n"
             "users: 127.0.0.2  [eva] en [CAJA2]",
             "trigger Eliminar; trigger mnuUserClose",
             // The save still writes the lines that were shown, or says it could not,
             // and the window closes under the dialog; the console goes on serving.
             R"(serve rosa 127.0.0.3 ALMACEN; select 1; trigger Propiedades; rosa sends LOG:Abre pedidos; sweep
> log: 2 [09:06:22]  Recibiendo petición de conexión... | 1 [09:06:22]  Conexión aceptada. Esperando inicio de sesión... | 1 [09:06:22]  Inicio de sesión para [ALMACEN] completado. | 2 [09:06:22]  Validado usuario [rosa] en [ALMACEN].)"
             "\nusers: 127.0.0.2  [eva] en [CAJA2] | *127.0.0.3  [rosa] en [ALMACEN]\n> replies: rosa LOG\n"
             "clients: ana open | eva open | luis closed | rosa open\n"
             "counts:  79 bytes recibidos | gauge 2 of 255 painted 2\n"
             "tracking [rosa]: shown | a dialog over frmMain | save on | [09:06:22]  Abre pedidos",
             "save [rosa] to rosa.txt while rosa closes\n> log: 1 [09:06:22]  Sesion cerrada para [rosa].\n"
             "> replies: rosa CLOSEDNOLOG\n> save dialog -> <folder>/rosa.txt\n"
             "counts:  79 bytes recibidos | gauge 1 of 255 painted 1\n"
             "file rosa.txt: [04/12/2026]\\r\\n--------------\\r\\n\\r\\n[09:06:22]  Abre pedidos\\r\\n\n"
             "tracking [rosa]:\nusers: 127.0.0.2  [eva] en [CAJA2]",
             "trigger mnuSysTrayStop\n> replies: eva CLOSED\nclients: ana closed | eva closed | luis closed "
             "| rosa closed\ncounts:  0 bytes recibidos | gauge 0 of 255 painted 0\noff: mnuDetenerServicio "
             "mnuSysTrayCerrar mnuSysTrayStart\nservice: timers 0 0 | listening 0\nusers: none\n"
             R"(> log: 2 [09:06:22]  Cerrando conexiones... | 1 [09:06:22]  Conexiones cerradas. | 1 [09:06:22]  Servidor inactivo.
window: Osk Server - Detenido | shown | tray out Osk Server - Detenido | busy 0 | finished 0)",
             "close\n> closed\ntracking [luis]:\n"
             R"(window: Osk Server - Detenido | hidden | tray out Osk Server - Detenido | busy 0 | finished 1)"});
    }

    // Started in the tray, the window comes back with one double click; a tracking window comes
    // back in front of it.
    void tripsToTheTray() {
        SysTray::assumeAvailable(true);
        const auto desktop = qScopeGuard([] { SysTray::assumeAvailable(std::nullopt); });
        Console c("OSInit=1\r\nMinInit=1\r\n");
        QVERIFY(c.window);
        // Never minimised: a window system may report the minimised state again once the window
        // is back, which sent it straight into the tray.
        playScript(
            c,
            {"load; show at start\nchecked: mnuAutoStart mnuMinStart\n"
             "labels:  SQLServer: [(embedded)]| IP: <ip>| Host: [<host>]|Puerto: <port>\noskdemo's port: "
             "<port>\nservice: timers 1 1 | listening <port>\nsettings file: [Main] Port=<port> OSInit=1 "
             "MinInit=1\ncounts: 0 Bytes Recibidos | gauge 0 of 255 painted -1\ndatabases: OskDB 1 "
             "Actualizada | oskdemo 1 Actualizada\nevent list: every line logged\noff: mnuAutoBackup "
             "mnuDBActualizar mnuIniciarServicio mnuSQL mnuSalir mnuServicioPuerto\nusers: none\n"
             R"(> log: 2 [09:05:17]  Inicializando Entorno... | 1 [09:05:17]  Inicialización Completada. | 1 [09:05:17]  Servidor activo. | 2 [09:05:17]  Esperando conexiones...
window: Osk Server - Iniciado | hidden | tray in Osk Server - Iniciado | busy 0 | finished 0)",
             "tray double click\n> raised: frmMain\ncounts: 0 Bytes Recibidos | gauge 0 of 255 painted 0\n"
             R"(window: Osk Server - Iniciado | shown | tray out Osk Server - Iniciado | busy 0 | finished 0)",
             "serve ana 127.0.0.2 ALMACEN1; select 0; trigger Propiedades\n> replies: ana LOG\nclients: ana "
             "open\ncounts: 0 Bytes Recibidos | gauge 1 of 255 painted 1\ntracking [ana]: shown | a dialog "
             "over frmMain | save off | none\nusers: *127.0.0.2  [ana] en [ALMACEN1]\n"
             R"(> log: 2 [09:05:17]  Recibiendo petición de conexión... | 1 [09:05:17]  Conexión aceptada. Esperando inicio de sesión... | 1 [09:05:17]  Inicio de sesión para [ALMACEN1] completado. | 2 [09:05:17]  Validado usuario [ana] en [ALMACEN1].)",
             "minimise; iconify [ana]\n"
             "tracking [ana]: shown minimised | a dialog over frmMain | save off | none\n"
             R"(window: Osk Server - Iniciado | hidden minimised | tray in Osk Server - Iniciado | busy 0 | finished 0)",
             "tray double click\n> raised: frmMain frmUserLog\n"
             "tracking [ana]: shown | a dialog over frmMain | save off | none\n"
             R"(window: Osk Server - Iniciado | shown | tray out Osk Server - Iniciado | busy 0 | finished 0)"});
    }

    // A tracking window shows the lines its log holds: the last 10,000.
    void trackingWindowShowsTheLastLines() {
        Console c("");
        QVERIFY(c.window);
        c.core->session().tracking().operate(QStringLiteral("ana"), false, 1);
        for (int i = 0; i <= 10000; ++i)
            c.core->session().tracking().handOff(QStringLiteral("ana"), QString::number(i));
        const auto* lines =
            c.tracking(QStringLiteral("[ana]"))->findChild<QListWidget*>(QStringLiteral("lstInfo"));
        QCOMPARE(QString::number(lines->count()) + ' ' + lines->item(0)->text() + ' ' +
                     lines->item(9999)->text(),
                 QStringLiteral("10000 [09:05:17]  1 [09:05:17]  10000"));
    }

    // A SQL Server on another computer, through a driver that is not installed: no connection, and
    // no name looked up on the network; the download of clients is not offered.
    void sqlServerOnAnotherComputer() {
        Console c("SQLServer=OTRO-EQUIPO-OSK\r\nODBCDriver=Osk Sin Controlador\r\n");
        QVERIFY(c.window);
        playScript(
            c,
            {"load\nchecked: none\ncounts: 0 Bytes Recibidos | gauge 0 of 255 painted -1\n"
             "databases: none\nevent list: every line logged\n"
             "labels:  SQLServer: [OTRO-EQUIPO-OSK]| IP: <ip>| Host: [<host>]|Puerto: <port>\n"
             "settings file: [Main] Port=<port> SQLServer=OTRO-EQUIPO-OSK ODBCDriver=Osk Sin Controlador\n"
             "window: Osk Server - Detenido | hidden | tray out  | busy 0 | finished 0\n"
             "off: mnuAutoBackup mnuDBBackup mnuDBDownload mnuDBUpload mnuDetenerServicio\n"
             "oskdemo's port: none\nservice: timers 0 0 | listening 0\nusers: none\n"
             R"(> said Exclamation: [unixODBC][Driver Manager]Can't open lib 'Osk Sin Controlador' : file not found)"});
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
