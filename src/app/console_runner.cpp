#include "app/console_runner.h"

#include "app/main_window.h"
#include "app/program_folder.h"
#include "app/signal_pipe.h"
#include "app/splash_window.h"
#include "app/startup_connection.h"
#include "common/clock.h"
#include "common/operator.h"
#include "config/main_settings.h"
#include "control/control_server.h"
#include "core/server_core.h"
#include "web/web_server.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QLockFile>
#include <csignal>

namespace osk {

namespace {
constexpr int kExitFailure = 1;
}

ConsoleRunner::ConsoleRunner(QString programFolder, Operator& op)
    : m_programFolder(std::move(programFolder))
    , m_operator(op) {}

int ConsoleRunner::run() {
    ignoreWriteSignals();
    if (!QDir().mkpath(m_programFolder)) {
        m_operator.showMessage(
            QStringLiteral("No se puede crear la carpeta %1.").arg(QDir::toNativeSeparators(m_programFolder)),
            MessageIcon::Critical, kDefaultTitle);
        return kExitFailure;
    }
    QLockFile instanceLock(QDir(m_programFolder).filePath(kInstanceLockName));
    if (Status locked = lockInstance(instanceLock, m_programFolder); !locked) {
        m_operator.showMessage(locked.error(), MessageIcon::None, kDefaultTitle);
        return kExitFailure;
    }

    // A stop signal (the desktop session ending, a service manager, Ctrl+C) ends the program the
    // way the desktop session's end does: the service stopped and the log saved, not lost.
    bool stopRequested = false;
    MainWindow* mainWindow = nullptr;
    SignalPipe stopSignals({SIGTERM, SIGINT});
    QObject::connect(&stopSignals, &SignalPipe::received, [&stopRequested, &mainWindow] {
        stopRequested = true;
        // A question or a message open at that moment (the SQL Server's name, the settings that
        // cannot be read) is not waited on: the stop answers it.
        if (auto* open = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
            open->reject();
        if (mainWindow)
            mainWindow->endProgram();
    });

    SplashWindow splash;
    splash.showPainted();
    m_operator.setBusy(true);

    SystemClock clock;
    ServerCore core(m_programFolder, clock, m_operator);
    splash.setMessage(QStringLiteral("Conectando con SQL Server (Presione ESC para cancelar)..."));
    const bool needsServerName = chooseEngine(core.settingsFile()) == EngineKind::SqlServer;
    StartupConnection connection(core, needsServerName, m_operator);
    const StartupConnection::Outcome outcome =
        connection.connect([&] { return splash.cancelRequested() || stopRequested; });
    m_operator.setBusy(false);
    splash.close();
    if (outcome == StartupConnection::Outcome::Cancelled)
        return 0;
    if (outcome == StartupConnection::Outcome::Failed) {
        if (stopRequested)
            return kExitFailure;
        if (needsServerName)
            connection.offerAnotherServer();
        else
            m_operator.showMessage(connection.lastError(), MessageIcon::Critical, kDefaultTitle);
        return kExitFailure;
    }

    MainWindow window(core, m_operator);
    mainWindow = &window;
    window.load();
    ControlServer control(core);
    control.listen(controlSocketPath(core.programFolder()));
    window.showAtStart();
    // The console runs without the web administration rather than not at all: its operator is
    // here to mend the settings.
    std::unique_ptr<WebServer> web;
    if (Status webStarted = startWebAdministration(core, web); !webStarted)
        m_operator.showMessage(webStarted.error(), MessageIcon::Critical, kDefaultTitle);
    QObject::connect(&window, &MainWindow::finished, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    if (!stopRequested)
        QApplication::exec();
    mainWindow = nullptr;

    // The desktop session may end the program while the service runs.
    if (core.isStarted())
        core.stopService();
    return core.saveLogAtExit() ? 0 : kExitFailure;
}

} // namespace osk
