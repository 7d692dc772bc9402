// The operator's flows with the real main window and real clients from more than one computer.

#include "app/main_window.h"
#include "app/server_core.h"
#include "database/embedded_engine.h"
#include "session/user_log_window.h"
#include "shell/sys_tray.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/served_client.h"
#include "support/temp_program_folder.h"

#include <QListView>
#include <QListWidget>
#include <QSignalSpy>
#include <QWindow>
#include <QtTest>
#include <memory>

using namespace osk;
using namespace osk::test;

namespace {

constexpr int kWaitMs = 10000;

struct Console {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    quint16 port = freePort();
    std::unique_ptr<ServerCore> core;
    std::unique_ptr<MainWindow> window;

    bool open() {
        if (port == 0 || !writeFileBytes(folder.file(kSettingsFileName), portSettings(port)))
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
        c.trigger("mnuIniciarServicio");
        QCOMPARE(c.window->windowTitle(), QStringLiteral("Osk Server - Iniciado"));
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
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
