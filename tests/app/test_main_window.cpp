// The operator's flows with the real main window and real clients from more than one computer.

#include "app/main_window.h"
#include "app/server_core.h"
#include "app/splash_window.h"
#include "database/embedded_engine.h"
#include "session/user_log_window.h"
#include "shell/sys_tray.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/served_client.h"
#include "support/temp_program_folder.h"

#include <QDialog>
#include <QLabel>
#include <QListView>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QWindow>
#include <QtTest>
#include <memory>

using namespace osk;
using namespace osk::test;

namespace {

constexpr int kWaitMs = 10000;

// What a progress bar was last painted with, and the order in which windows were raised.
class Watcher final : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            if (auto* bar = qobject_cast<QProgressBar*>(watched))
                paintedValue = bar->value();
        } else if (event->type() == QEvent::ZOrderChange) {
            raised << watched->objectName();
        }
        return false;
    }
    int paintedValue = -1;
    QStringList raised;
};

struct Console {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    quint16 port = freePort();
    QByteArray moreSettings;
    std::unique_ptr<ServerCore> core;
    std::unique_ptr<MainWindow> window;

    bool open() {
        if (port == 0 || !writeFileBytes(folder.file(kSettingsFileName), portSettings(port) + moreSettings))
            return false;
        core = std::make_unique<ServerCore>(folder.path(), clock, op);
        if (!core->AbreConexion().ok())
            return false;
        window = std::make_unique<MainWindow>(*core, op);
        window->load();
        return true;
    }
    void trigger(const char* name) const { window->action(QLatin1String(name))->trigger(); }
    bool isEnabled(const char* name) const { return window->action(QLatin1String(name))->isEnabled(); }
    QListView* users() const { return window->findChild<QListView*>(QStringLiteral("lstUsers")); }
    QProgressBar* gauge() const { return window->findChild<QProgressBar*>(QStringLiteral("pgbUsers")); }
    QString bytesShown() const { return window->findChild<QLabel*>(QStringLiteral("lblBytes"))->text(); }
    // Follows the user of a row: the tracking window, once its client has been told "LOG".
    UserLogWindow* follow(int row, Client& client) {
        select(row);
        trigger("Propiedades");
        if (!receives(client, "LOG"))
            return nullptr;
        return window->findChild<UserLogWindow*>();
    }
    // As a click on the row selects it.
    void select(int row) const { users()->setCurrentIndex(users()->model()->index(row, 0)); }
    std::unique_ptr<Client> served(const char* from, const QByteArray& session, const QByteArray& user) {
        return servedClient(core->session(), port, QString::fromLatin1(from), session, user);
    }
    QStringList usersShown() const {
        QStringList rows;
        for (int row = 0; row < users()->model()->rowCount(); ++row)
            rows << users()->model()->index(row, 0).data().toString();
        return rows;
    }
    bool logged(const QString& text, int kind) const {
        const auto& entries = core->eventLog().entries();
        return std::any_of(entries.begin(), entries.end(), [&](const LogEntry& entry) {
            return entry.text == QStringLiteral("[09:05:17]  ") + text && int(entry.kind) == kind;
        });
    }
};

} // namespace

class TestMainWindow final : public QObject {
    Q_OBJECT

private slots:
    // Start from the menu, follow a user, minimise and restore, disconnect the followed user, a
    // selected user leaving, and the stop from the tray menu that lets the window close.
    void operatorFlows() {
        Console c;
        QVERIFY(c.open());
        if (c.core->localAddress().isEmpty())
            QSKIP("This computer has no IPv4 address");
        QSignalSpy finished(c.window.get(), &MainWindow::finished);
        c.window->show();
        Watcher watcher;
        c.gauge()->installEventFilter(&watcher);
        c.trigger("mnuIniciarServicio");
        QCOMPARE(c.window->windowTitle(), QStringLiteral("Osk Server - Iniciado"));
        // Every tick writes the count, none received included.
        c.core->session().sweep();
        QCOMPARE(c.bytesShown(), QStringLiteral(" 0 bytes recibidos"));
        QVERIFY(!c.isEnabled("mnuSalir"));
        QVERIFY(!c.window->close());
        QCOMPARE(c.op.messages.size(), size_t(1));
        QCOMPARE(c.op.messages[0].text,
                 QStringLiteral("Debe detener el servicio antes de cerrar Osk Server."));
        QCOMPARE(c.op.messages[0].icon, MessageIcon::Information);
        c.window->prepareTrayMenu();
        QVERIFY(!c.isEnabled("mnuSysTrayStart"));
        QVERIFY(c.isEnabled("mnuSysTrayStop"));
        QVERIFY(!c.isEnabled("mnuSysTrayCerrar"));

        // Two computers; luis and eva share one, as on a terminal server.
        auto ana = c.served("127.0.0.1", "ALMACEN1", "ana");
        auto luis = c.served("127.0.0.2", "CAJA", "luis");
        auto eva = c.served("127.0.0.2", "CAJA2", "eva");
        QVERIFY(ana && luis && eva);
        QCOMPARE(c.usersShown(), (QStringList{"127.0.0.1  [ana] en [ALMACEN1]", "127.0.0.2  [luis] en [CAJA]",
                                              "127.0.0.2  [eva] en [CAJA2]"}));
        // The gauge counts eva as soon as she is validated, and shows it: 3 of 255 is narrower
        // than one chunk of the bar.
        QCOMPARE(c.gauge()->value(), 3);
        QTRY_COMPARE_WITH_TIMEOUT(watcher.paintedValue, 3, kWaitMs);

        c.select(1);
        c.trigger("Propiedades");
        QVERIFY(receives(*luis, "LOG"));
        QCOMPARE(ana->received + eva->received, QByteArray());
        auto* tracking = c.window->findChild<UserLogWindow*>();
        QVERIFY(tracking);
        QCOMPARE(tracking->windowTitle(), QStringLiteral("[luis]"));
        // It stays over the console: a dialog that the window system keeps above its owner.
        QCOMPARE(tracking->windowType(), Qt::Dialog);
        QCOMPARE(tracking->windowHandle()->transientParent(), c.window->windowHandle());
        luis->send("LOG:Abre pedidos");
        auto* lines = tracking->findChild<QListWidget*>(QStringLiteral("lstInfo"));
        QTRY_COMPARE_WITH_TIMEOUT(lines->count(), 1, kWaitMs);
        QCOMPARE(lines->item(0)->text(), QStringLiteral("[09:05:17]  Abre pedidos"));

        // The offscreen desktop has no tray: minimised, the window stays on the task bar, and the
        // tray's double click brings it back.
        c.window->showMinimized();
        QVERIFY(c.window->isVisible());
        c.window->tray().notify(SysTray::LeftDoubleClick);
        QVERIFY(!c.window->isMinimized());
        QVERIFY(c.logged(QStringLiteral("Sin área de notificación: se minimiza en la barra de tareas."), 2));

        // The connection closes without a word; the tracking window stays.
        c.trigger("Eliminar");
        QTRY_COMPARE_WITH_TIMEOUT(luis->socket.state(), QAbstractSocket::UnconnectedState, kWaitMs);
        QCOMPARE(luis->received, QByteArray());
        QVERIFY(c.logged(QStringLiteral("Usuario [luis] en [CAJA] desconectado manualmente."), 3));
        QCOMPARE(c.usersShown(),
                 (QStringList{"127.0.0.1  [ana] en [ALMACEN1]", "127.0.0.2  [eva] en [CAJA2]"}));
        QVERIFY(c.window->findChild<UserLogWindow*>());

        // When the selected user leaves, nothing is selected: the user whose row moves up is not
        // the target of the next command.
        c.select(0);
        ana->send("CLOSE");
        QTRY_COMPARE_WITH_TIMEOUT(c.usersShown().size(), 1, kWaitMs);
        QCOMPARE(c.gauge()->value(), 1);
        c.trigger("Eliminar");
        c.trigger("mnuUserClose");
        QCOMPARE(c.usersShown(), QStringList{"127.0.0.2  [eva] en [CAJA2]"});
        QCOMPARE(eva->socket.state(), QAbstractSocket::ConnectedState);

        c.trigger("mnuSysTrayStop");
        QTRY_COMPARE_WITH_TIMEOUT(eva->received, QByteArray("CLOSED"), kWaitMs);
        QCOMPARE(c.window->windowTitle(), QStringLiteral("Osk Server - Detenido"));
        QVERIFY(c.window->close());
        QCOMPARE(finished.count(), 1);
    }

    // A followed user's session ends while a dialog of the tracking window is open: the window
    // closes under the dialog, whose own event loop runs meanwhile. The save still writes the lines
    // that were shown, or says it could not; the console goes on serving.
    void sessionEndsUnderADialog_data() {
        QTest::addColumn<bool>("writable");
        QTest::addColumn<bool>("vanishes");
        QTest::newRow("CLOSE during the save dialog") << true << false;
        QTest::newRow("vanished and swept during the save dialog") << true << true;
        QTest::newRow("CLOSE during the box that the save failed") << false << false;
    }
    void sessionEndsUnderADialog() {
        QFETCH(bool, writable);
        QFETCH(bool, vanishes);
        Console c;
        QVERIFY(c.open());
        c.window->show();
        c.trigger("mnuIniciarServicio");
        auto luis = c.served("127.0.0.2", "CAJA", "luis");
        auto eva = c.served("127.0.0.3", "ALMACEN", "eva");
        QVERIFY(luis && eva);
        UserLogWindow* tracking = c.follow(0, *luis);
        QVERIFY(tracking);
        luis->send("LOG:Abre pedidos");
        auto* save = tracking->findChild<QPushButton*>(QStringLiteral("cmdSave"));
        QTRY_VERIFY_WITH_TIMEOUT(save->isEnabled(), kWaitMs);

        const QString path = writable ? c.folder.file(QStringLiteral("luis.txt"))
                                      : c.folder.file(QStringLiteral("no-existe/luis.txt"));
        c.op.saveAnswers.push_back(path);
        bool ended = false;
        c.op.whileOpen = [&] {
            // The save dialog, or the box that follows a failed write.
            if (ended || c.op.messages.empty() == !writable)
                return;
            ended = true;
            if (vanishes)
                luis->reset();
            else
                luis->send("CLOSE");
            // The close is checked once the save is over.
            (void)QTest::qWaitFor(
                [&] {
                    if (vanishes)
                        c.core->session().sweep();
                    return c.core->session().tracking().count() == 0;
                },
                kWaitMs);
        };
        save->click();
        QVERIFY(ended);
        QCOMPARE(c.core->session().tracking().count(), 0);
        if (writable) {
            QCOMPARE(readFileBytes(path), QByteArray("[04/12/2026]\r\n--------------\r\n\r\n"
                                                     "[09:05:17]  Abre pedidos\r\n"));
            QVERIFY(c.op.messages.empty());
        } else {
            QCOMPARE(c.op.messages.size(), size_t(1));
            QCOMPARE(c.op.messages[0].text, QStringLiteral("Imposible guardar el registro."));
        }
        if (!vanishes)
            QVERIFY(receives(*luis, "CLOSEDNOLOG"));
        QTRY_VERIFY_WITH_TIMEOUT(!c.window->findChild<UserLogWindow*>(), kWaitMs);
        eva->take(); // the sweep's probes
        eva->send("USER_AVAILABLE=luis");
        QVERIFY(receives(*eva, "USER_OK"));
        QCOMPARE(c.usersShown(), QStringList{"127.0.0.3  [eva] en [ALMACEN]"});
        c.trigger("mnuDetenerServicio");
    }

    // Started in the tray, the window comes back with one double click; a tracking window comes
    // back in front of it after every trip to the tray.
    void tripsToTheTray() {
        SysTray::assumeAvailable(true);
        const auto desktop = qScopeGuard([] { SysTray::assumeAvailable(std::nullopt); });
        {
            // Into the tray only when the service listens: without the automatic start the window shows.
            Console stopped;
            stopped.moreSettings = "OSInit=0\r\nMinInit=1\r\n";
            QVERIFY(stopped.open());
            stopped.window->showAtStart();
            QVERIFY(stopped.window->isVisible());
            QVERIFY(!stopped.window->tray().isInSysTray());
        }
        Console c;
        c.moreSettings = "OSInit=1\r\nMinInit=1\r\n";
        QVERIFY(c.open());
        c.window->showAtStart();
        QVERIFY(c.window->tray().isInSysTray());
        QVERIFY(c.window->isHidden());
        // Never minimised: a window system may report the minimised state again once the window
        // is back, which sent it straight into the tray.
        QVERIFY(!c.window->isMinimized());
        c.window->tray().notify(SysTray::LeftDoubleClick);
        QVERIFY(c.window->isVisible());
        QVERIFY(!c.window->isMinimized());
        QVERIFY(!c.window->tray().isInSysTray());

        auto ana = c.served("127.0.0.2", "ALMACEN1", "ana");
        QVERIFY(ana);
        UserLogWindow* tracking = c.follow(0, *ana);
        QVERIFY(tracking);
        Watcher watcher;
        c.window->installEventFilter(&watcher);
        tracking->installEventFilter(&watcher);
        for (const bool iconified : {true, false}) {
            // As the window manager's minimise button does it.
            c.window->setWindowState(Qt::WindowMinimized);
            QVERIFY(c.window->isHidden());
            // A window manager takes the owned window along into the icons.
            if (iconified)
                tracking->showMinimized();
            watcher.raised.clear();
            c.window->tray().notify(SysTray::LeftDoubleClick);
            QVERIFY(c.window->isVisible());
            QVERIFY(tracking->isVisible());
            QVERIFY(!tracking->isMinimized());
            QVERIFY(watcher.raised.contains(QStringLiteral("frmMain")));
            QCOMPARE(watcher.raised.value(watcher.raised.size() - 1), QStringLiteral("frmUserLog"));
        }
        c.trigger("mnuDetenerServicio");
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
