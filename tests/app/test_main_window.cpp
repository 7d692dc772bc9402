// The operator's flows with the real main window and real clients from more than one computer, as
// scripts of steps after each of which everything the window shows is compared.

#include "app/main_window.h"
#include "app/splash_window.h"
#include "session/user_log_window.h"
#include "shell/sys_tray.h"
#include "support/core_scenario.h"

#include <QDialog>
#include <QHostInfo>
#include <QLabel>
#include <QListView>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QTreeView>
#include <QWindow>
#include <QtTest>

using namespace osk;
using namespace osk::test;

namespace {

QString rows(const QAbstractItemView* view) {
    QStringList texts;
    for (int row = 0; row < view->model()->rowCount(); ++row) {
        QStringList columns;
        for (int column = 0; column < view->model()->columnCount(); ++column)
            columns << view->model()->index(row, column).data().toString();
        const bool selected = view->selectionModel()->isRowSelected(row, {});
        texts << (selected ? QStringLiteral("*") : QString()) + columns.join(QLatin1Char(' '));
    }
    return texts.isEmpty() ? QStringLiteral("none") : texts.join(QStringLiteral(" | "));
}

struct Console : Scenario, QObject {
    explicit Console(const QByteArray& settings) {
        if (port == 0 || !writeFileBytes(folder.file(kSettingsFileName), portSettings(port) + settings))
            return;
        makeCore();
        if (!core->AbreConexion().ok())
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
        for (auto* shown : window->findChildren<UserLogWindow*>()) {
            if (shown->windowTitle() == title)
                return shown;
        }
        return nullptr;
    }

    void run(const QString& steps) {
        for (const QString& step : steps.split(QStringLiteral("; "))) {
            const QStringList word = step.split(QLatin1Char(' '));
            if (step == QLatin1String("load")) {
                window->load();
            } else if (step == QLatin1String("show")) {
                window->show();
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
                window->showMinimized();
            } else if (step == QLatin1String("window manager minimises")) {
                // As the window manager's minimise button does it.
                window->setWindowState(Qt::WindowMinimized);
            } else if (word[0] == QLatin1String("iconify")) {
                // A window manager takes the owned window along into the icons.
                tracking(word.value(1))->showMinimized();
            } else if (word[0] == QLatin1String("answer")) {
                op.textAnswers.push_back(word.value(1));
            } else if (word[0] == QLatin1String("save")) {
                save(word);
            } else if (!runShared(step)) {
                QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
            }
        }
        for (auto* shown : window->findChildren<UserLogWindow*>())
            shown->installEventFilter(this);
    }
    // "save [luis] to FILE while luis closes|vanishes [at the box]": the session ends while the
    // save dialog, or the box that the write failed, is open, whose own event loop runs meanwhile.
    void save(const QStringList& word) {
        Client* client = clients[word.value(5)].get();
        const bool vanishes = word.value(6) == QLatin1String("vanishes");
        op.saveAnswers.push_back(folder.file(word.value(3)));
        files << word.value(3);
        int dialogs = 0;
        const int following = core->session().tracking().count();
        op.whileOpen = [&, atBox = word.size() > 7] {
            if (++dialogs != (atBox ? 2 : 1))
                return;
            if (vanishes)
                client->reset();
            else
                client->send("CLOSE");
            // The close is seen once the save is over.
            (void)QTest::qWaitFor(
                [&] {
                    if (vanishes)
                        core->session().sweep();
                    return core->session().tracking().count() < following;
                },
                10000);
        };
        tracking(word.value(1))->findChild<QPushButton*>(QStringLiteral("cmdSave"))->click();
        op.whileOpen = nullptr;
    }

    QStringList snapshot() const {
        const auto label = [this](const char* name) {
            return window->findChild<QLabel*>(QLatin1String(name))->text();
        };
        QStringList off, checked, shown;
        for (const QAction* action : window->findChildren<QAction*>()) {
            if (!action->objectName().isEmpty() && !action->isSeparator() && action->isVisible()) {
                if (!action->isEnabled())
                    off << action->objectName();
                if (action->isChecked())
                    checked << action->objectName();
            }
        }
        off.sort();
        const auto* events = window->findChild<QListWidget*>(QStringLiteral("lstDatos"));
        for (int row = 0; row < events->count(); ++row)
            shown << events->item(row)->text();
        QStringList logged;
        for (const LogEntry& entry : core->eventLog().entries())
            logged << entry.text;
        QStringList lines{
            QStringLiteral("window: %1 | %2%3 | tray %4 %5 | busy %6 | finished %7")
                .arg(window->windowTitle(), window->isVisible() ? "shown" : "hidden",
                     window->isMinimized() ? " minimised" : "", window->tray().isInSysTray() ? "in" : "out",
                     window->tray().ToolTip())
                .arg(op.busyDepth)
                .arg(finished),
            QStringLiteral("off: ") + off.join(QLatin1Char(' ')),
            QStringLiteral("checked: ") +
                (checked.isEmpty() ? QStringLiteral("none") : checked.join(QLatin1Char(' '))),
            QStringLiteral("labels: ") +
                QStringList{label("lblPCName"), label("lblIP"), label("lblHost"), label("lblPort")}
                    .join(QLatin1Char('|'))
                    .replace(core->localAddress(), QStringLiteral("<ip>"))
                    .replace(QHostInfo::localHostName(), QStringLiteral("<host>")),
            QStringLiteral("counts: %1 | gauge %2 of %3 painted %4")
                .arg(label("lblBytes"))
                .arg(gauge->value())
                .arg(gauge->maximum())
                .arg(painted),
            QStringLiteral("users: ") + rows(window->findChild<QListView*>(QStringLiteral("lstUsers"))),
            QStringLiteral("databases: ") + rows(window->findChild<QTreeView*>(QStringLiteral("lstDB"))),
            QStringLiteral("event list: ") +
                (shown == logged ? QStringLiteral("every line logged") : shown.join(QStringLiteral(" | ")))};
        for (const auto* owned : window->findChildren<UserLogWindow*>()) {
            QStringList items;
            const auto* list = owned->findChild<QListWidget*>(QStringLiteral("lstInfo"));
            for (int row = 0; row < list->count(); ++row)
                items << list->item(row)->text();
            const bool dialog = owned->windowType() == Qt::Dialog && owned->windowHandle() &&
                                owned->windowHandle()->transientParent() == window->windowHandle();
            lines << QStringLiteral("tracking %1: %2%3 | %4 | save %5 | %6")
                         .arg(owned->windowTitle(), owned->isVisible() ? "shown" : "hidden",
                              owned->isMinimized() ? " minimised" : "",
                              dialog ? "a dialog over frmMain" : "not a dialog over frmMain",
                              owned->findChild<QPushButton*>(QStringLiteral("cmdSave"))->isEnabled() ? "on"
                                                                                                     : "off",
                              items.isEmpty() ? QStringLiteral("no lines")
                                              : items.join(QStringLiteral(" | ")));
        }
        for (const QString& file : files) {
            const QString text = QString::fromLatin1(readFileBytes(folder.file(file)));
            lines << QStringLiteral("file %1: ").arg(file) +
                         (text.isEmpty()
                              ? QStringLiteral("none")
                              : QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\\r\\n")));
        }
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
    // Start from the menu, follow a user, minimise and restore, disconnect the followed user, a
    // selected user leaving, followed users whose sessions end under a dialog of their tracking
    // windows, and the stop from the tray menu that lets the window close.
    void operatorFlows() {
        Console c("");
        QVERIFY(c.window);
        if (localIpv4Address().isEmpty())
            QSKIP("This computer has no IPv4 address");
        playScript(
            c, {R"(load
checked: none
counts: 0 Bytes Recibidos | gauge 0 of 255 painted -1
databases: OskDB 1 Actualizada
event list: every line logged
labels:  SQLServer: [(embedded)]| IP: <ip>| Host: [<host>]|Puerto: <port>
off: mnuDetenerServicio
users: none
window: Osk Server - Detenido | hidden | tray out  | busy 0 | finished 0)",
                // Every tick writes the count, none received included.
                R"(show; trigger mnuIniciarServicio; sweep
> log: 2 [09:05:17]  Inicializando Entorno... | 1 [09:05:17]  Inicialización Completada. | 1 [09:05:17]  Servidor activo. | 2 [09:05:17]  Esperando conexiones...
counts:  0 bytes recibidos | gauge 0 of 255 painted 0
off: mnuAutoBackup mnuDBActualizar mnuIniciarServicio mnuSQL mnuSalir mnuServicioPuerto
window: Osk Server - Iniciado | shown | tray out Osk Server - Iniciado | busy 0 | finished 0)",
                R"(close
> close refused
> said Information: Debe detener el servicio antes de cerrar Osk Server.)",
                R"(tray menu
off: mnuAutoBackup mnuDBActualizar mnuIniciarServicio mnuSQL mnuSalir mnuServicioPuerto mnuSysTrayCerrar mnuSysTrayStart)",
                // Two computers; luis and eva share one, as on a terminal server. The gauge
                // counts eva as soon as she is validated, and shows it: 3 of 255 is narrower
                // than one chunk of the bar.
                R"(serve ana 127.0.0.1 ALMACEN1; serve luis 127.0.0.2 CAJA; serve eva 127.0.0.2 CAJA2
> log: 2 [09:05:17]  Recibiendo petición de conexión... | 1 [09:05:17]  Conexión aceptada. Esperando inicio de sesión... | 1 [09:05:17]  Inicio de sesión para [ALMACEN1] completado. | 2 [09:05:17]  Validado usuario [ana] en [ALMACEN1]. | 2 [09:05:17]  Recibiendo petición de conexión... | 1 [09:05:17]  Conexión aceptada. Esperando inicio de sesión... | 1 [09:05:17]  Inicio de sesión para [CAJA] completado. | 2 [09:05:17]  Validado usuario [luis] en [CAJA]. | 2 [09:05:17]  Recibiendo petición de conexión... | 1 [09:05:17]  Conexión aceptada. Esperando inicio de sesión... | 1 [09:05:17]  Inicio de sesión para [CAJA2] completado. | 2 [09:05:17]  Validado usuario [eva] en [CAJA2].
clients: ana open | eva open | luis open
counts:  0 bytes recibidos | gauge 3 of 255 painted 3
users: 127.0.0.1  [ana] en [ALMACEN1] | 127.0.0.2  [luis] en [CAJA] | 127.0.0.2  [eva] en [CAJA2])",
                // It stays over the console: a dialog that the window system keeps above its owner.
                R"(select 1; trigger Propiedades
> replies: luis LOG
tracking [luis]: shown | a dialog over frmMain | save off | no lines
users: 127.0.0.1  [ana] en [ALMACEN1] | *127.0.0.2  [luis] en [CAJA] | 127.0.0.2  [eva] en [CAJA2])",
                R"(clock 65; luis sends LOG:Abre pedidos
tracking [luis]: shown | a dialog over frmMain | save on | [09:06:22]  Abre pedidos)",
                // The offscreen desktop has no tray: minimised, the window stays on the task
                // bar, and the tray's double click brings it back.
                R"(minimise
> log: 2 [09:06:22]  Sin área de notificación: se minimiza en la barra de tareas.
window: Osk Server - Iniciado | shown minimised | tray out Osk Server - Iniciado | busy 0 | finished 0)",
                R"(tray double click
> raised: frmMain frmUserLog
window: Osk Server - Iniciado | shown | tray out Osk Server - Iniciado | busy 0 | finished 0)",
                // The connection closes without a word; the tracking window stays.
                R"(trigger Eliminar
> log: 3 [09:06:22]  Usuario [luis] en [CAJA] desconectado manualmente.
clients: ana open | eva open | luis closed
counts:  0 bytes recibidos | gauge 2 of 255 painted 2
users: 127.0.0.1  [ana] en [ALMACEN1] | 127.0.0.2  [eva] en [CAJA2])",
                // When the selected user leaves, nothing is selected: the user whose row
                // moves up is not the target of the next command.
                R"(select 0; ana sends CLOSE
> log: 1 [09:06:22]  Sesion cerrada para [ana].
> replies: ana CLOSED
counts:  0 bytes recibidos | gauge 1 of 255 painted 1
users: 127.0.0.2  [eva] en [CAJA2])",
                R"(trigger Eliminar; trigger mnuUserClose)",
                // The save still writes the lines that were shown, or says it could not,
                // and the window closes under the dialog; the console goes on serving.
                R"(serve rosa 127.0.0.3 ALMACEN; select 1; trigger Propiedades; rosa sends LOG:Abre pedidos
> log: 2 [09:06:22]  Recibiendo petición de conexión... | 1 [09:06:22]  Conexión aceptada. Esperando inicio de sesión... | 1 [09:06:22]  Inicio de sesión para [ALMACEN] completado. | 2 [09:06:22]  Validado usuario [rosa] en [ALMACEN].
> replies: rosa LOG
clients: ana open | eva open | luis closed | rosa open
counts:  0 bytes recibidos | gauge 2 of 255 painted 2
tracking [rosa]: shown | a dialog over frmMain | save on | [09:06:22]  Abre pedidos
users: 127.0.0.2  [eva] en [CAJA2] | *127.0.0.3  [rosa] en [ALMACEN])",
                R"(save [rosa] to rosa.txt while rosa closes
> log: 1 [09:06:22]  Sesion cerrada para [rosa].
> replies: rosa CLOSEDNOLOG
> save dialog -> <folder>/rosa.txt
counts:  0 bytes recibidos | gauge 1 of 255 painted 1
file rosa.txt: [04/12/2026]\r\n--------------\r\n\r\n[09:06:22]  Abre pedidos\r\n
tracking [rosa]:
users: 127.0.0.2  [eva] en [CAJA2])",
                R"(serve juan 127.0.0.3 ALMACEN; select 1; trigger Propiedades; juan sends LOG:Cobra
> log: 2 [09:06:22]  Recibiendo petición de conexión... | 1 [09:06:22]  Conexión aceptada. Esperando inicio de sesión... | 1 [09:06:22]  Inicio de sesión para [ALMACEN] completado. | 2 [09:06:22]  Validado usuario [juan] en [ALMACEN].
> replies: juan LOG
clients: ana open | eva open | juan open | luis closed | rosa closed
counts:  0 bytes recibidos | gauge 2 of 255 painted 2
tracking [juan]: shown | a dialog over frmMain | save on | [09:06:22]  Cobra
users: 127.0.0.2  [eva] en [CAJA2] | *127.0.0.3  [juan] en [ALMACEN])",
                R"(save [juan] to juan.txt while juan vanishes
> log: 3 [09:06:22]  Usuario no encontrado. Eliminando...
> save dialog -> <folder>/juan.txt
clients: ana open | eva open | juan closed | luis closed | rosa closed
counts:  125 bytes recibidos | gauge 1 of 255 painted 1
file juan.txt: [04/12/2026]\r\n--------------\r\n\r\n[09:06:22]  Cobra\r\n
tracking [juan]:
users: 127.0.0.2  [eva] en [CAJA2])",
                R"(serve marta 127.0.0.3 ALMACEN; select 1; trigger Propiedades; marta sends LOG:Cierra
> log: 2 [09:06:22]  Recibiendo petición de conexión... | 1 [09:06:22]  Conexión aceptada. Esperando inicio de sesión... | 1 [09:06:22]  Inicio de sesión para [ALMACEN] completado. | 2 [09:06:22]  Validado usuario [marta] en [ALMACEN].
> replies: marta LOG
clients: ana open | eva open | juan closed | luis closed | marta open | rosa closed
counts:  125 bytes recibidos | gauge 2 of 255 painted 2
tracking [marta]: shown | a dialog over frmMain | save on | [09:06:22]  Cierra
users: 127.0.0.2  [eva] en [CAJA2] | *127.0.0.3  [marta] en [ALMACEN])",
                R"(save [marta] to no-existe/marta.txt while marta closes at the box
> log: 1 [09:06:22]  Sesion cerrada para [marta].
> replies: marta CLOSEDNOLOG
> said Exclamation: Imposible guardar el registro.
> save dialog -> <folder>/no-existe/marta.txt
counts:  125 bytes recibidos | gauge 1 of 255 painted 1
file no-existe/marta.txt: none
tracking [marta]:
users: 127.0.0.2  [eva] en [CAJA2])",
                R"(eva sends USER_AVAILABLE=rosa
> replies: eva USER_OK)",
                R"(trigger mnuSysTrayStop
> log: 2 [09:06:22]  Cerrando conexiones... | 1 [09:06:22]  Conexiones cerradas. | 1 [09:06:22]  Servidor inactivo.
> replies: eva CLOSED
clients: ana closed | eva closed | juan closed | luis closed | marta closed | rosa closed
counts:  0 bytes recibidos | gauge 0 of 255 painted 0
off: mnuDetenerServicio mnuSysTrayCerrar mnuSysTrayStart
users: none
window: Osk Server - Detenido | shown | tray out Osk Server - Detenido | busy 0 | finished 0)",
                R"(close
> closed
tracking [luis]:
window: Osk Server - Detenido | hidden | tray out Osk Server - Detenido | busy 0 | finished 1)"});
    }

    // Started in the tray, the window comes back with one double click; a tracking window comes
    // back in front of it after every trip to the tray.
    void tripsToTheTray() {
        SysTray::assumeAvailable(true);
        const auto desktop = qScopeGuard([] { SysTray::assumeAvailable(std::nullopt); });
        {
            // Into the tray only when the service listens: without the automatic start the window shows.
            Console stopped("OSInit=0\r\nMinInit=1\r\n");
            QVERIFY(stopped.window);
            playScript(stopped, {R"(load; show at start
checked: mnuMinStart
counts: 0 Bytes Recibidos | gauge 0 of 255 painted 0
databases: OskDB 1 Actualizada
event list: every line logged
labels:  SQLServer: [(embedded)]| IP: <ip>| Host: [<host>]|Puerto: <port>
off: mnuDetenerServicio
users: none
window: Osk Server - Detenido | shown | tray out  | busy 0 | finished 0)",
                                 R"(answer 4321; trigger mnuServicioPuerto; trigger mnuAutoStart
> prompt: Indique nuevo puerto. -> 4321
checked: mnuAutoStart mnuMinStart
labels:  SQLServer: [(embedded)]| IP: <ip>| Host: [<host>]|Puerto: 4321)"});
        }
        Console c("OSInit=1\r\nMinInit=1\r\n");
        QVERIFY(c.window);
        // Never minimised: a window system may report the minimised state again once the window
        // is back, which sent it straight into the tray.
        playScript(c, {R"(load; show at start
> log: 2 [09:05:17]  Inicializando Entorno... | 1 [09:05:17]  Inicialización Completada. | 1 [09:05:17]  Servidor activo. | 2 [09:05:17]  Esperando conexiones...
checked: mnuAutoStart mnuMinStart
counts: 0 Bytes Recibidos | gauge 0 of 255 painted -1
databases: OskDB 1 Actualizada
event list: every line logged
labels:  SQLServer: [(embedded)]| IP: <ip>| Host: [<host>]|Puerto: <port>
off: mnuAutoBackup mnuDBActualizar mnuIniciarServicio mnuSQL mnuSalir mnuServicioPuerto
users: none
window: Osk Server - Iniciado | hidden | tray in Osk Server - Iniciado | busy 0 | finished 0)",
                       R"(tray double click
> raised: frmMain
counts: 0 Bytes Recibidos | gauge 0 of 255 painted 0
window: Osk Server - Iniciado | shown | tray out Osk Server - Iniciado | busy 0 | finished 0)",
                       R"(serve ana 127.0.0.2 ALMACEN1; select 0; trigger Propiedades
> log: 2 [09:05:17]  Recibiendo petición de conexión... | 1 [09:05:17]  Conexión aceptada. Esperando inicio de sesión... | 1 [09:05:17]  Inicio de sesión para [ALMACEN1] completado. | 2 [09:05:17]  Validado usuario [ana] en [ALMACEN1].
> replies: ana LOG
clients: ana open
counts: 0 Bytes Recibidos | gauge 1 of 255 painted 1
tracking [ana]: shown | a dialog over frmMain | save off | no lines
users: *127.0.0.2  [ana] en [ALMACEN1])",
                       R"(window manager minimises; iconify [ana]
tracking [ana]: shown minimised | a dialog over frmMain | save off | no lines
window: Osk Server - Iniciado | hidden minimised | tray in Osk Server - Iniciado | busy 0 | finished 0)",
                       R"(tray double click
> raised: frmMain frmUserLog
tracking [ana]: shown | a dialog over frmMain | save off | no lines
window: Osk Server - Iniciado | shown | tray out Osk Server - Iniciado | busy 0 | finished 0)",
                       R"(window manager minimises
window: Osk Server - Iniciado | hidden minimised | tray in Osk Server - Iniciado | busy 0 | finished 0)",
                       R"(tray double click
> raised: frmMain frmUserLog
window: Osk Server - Iniciado | shown | tray out Osk Server - Iniciado | busy 0 | finished 0)"});
    }

    // Escape during the connection attempts, without a click on the splash first.
    void escapeOnTheSplash() {
        SplashWindow splash;
        splash.showPainted();
        QVERIFY(splash.isActiveWindow());
        QTest::keyClick(&splash, Qt::Key_A);
        QVERIFY(!splash.cancelRequested());
        // A dialog of the start-up (the server's name) takes its own Escape.
        {
            QDialog question;
            question.setModal(true);
            question.show();
            QVERIFY(QTest::qWaitForWindowExposed(&question));
            QTest::keyClick(&question, Qt::Key_Escape);
            QVERIFY(!question.isVisible());
            QVERIFY(!splash.cancelRequested());
        }
        // A window of the start-up that holds the keyboard instead.
        QWidget other;
        other.show();
        QTest::keyClick(&other, Qt::Key_Escape);
        QVERIFY(splash.cancelRequested());

        // Once the splash has gone, Escape is the windows' own again (it outlives the attempts).
        splash.close();
        QDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
