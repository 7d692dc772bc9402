#include "app/headless_runner.h"

#include "app/program_folder.h"
#include "app/service_notifier.h"
#include "app/signal_pipe.h"
#include "common/clock.h"
#include "common/operator.h"
#include "config/main_settings.h"
#include "config/profile_file.h"
#include "control/control_server.h"
#include "core/server_core.h"
#include "database/embedded_engine.h"
#include "web/web_server.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QLockFile>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace osk {

namespace {
constexpr int kExitFailure = 1;
// EX_CONFIG: the settings (an unreadable settings file, the port, the address, the system database)
// keep the service from starting, which trying again will not change; the unit does not restart on
// it.
constexpr int kExitBadConfiguration = 78;

void writeLine(std::FILE* stream, const QString& text, const QByteArray& prefix) {
    const QByteArray bytes = prefix.isEmpty() ? text.toLocal8Bit() : journalLines(text.toLocal8Bit(), prefix);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fputc('\n', stream);
}

// What the log printed before it comes first.
void printLine(std::FILE* stream, const QString& text, const QByteArray& prefix = {}) {
    std::fflush(stdout);
    writeLine(stream, text, prefix);
    std::fflush(stream);
}
} // namespace

int HeadlessRunner::run() {
    ignoreWriteSignals();
    // Why the service ends must be an error in the journal, not information.
    const bool stderrToJournal = isJournalStream(STDERR_FILENO);
    const QByteArray failure = stderrToJournal ? journalPrefix(LogKind::Error) : QByteArray();
    if (!QDir().mkpath(m_programFolder)) {
        printLine(stderr, QStringLiteral("No se puede crear la carpeta %1.").arg(m_programFolder), failure);
        return kExitFailure;
    }
    // One copy per program folder: a second would fight the first for the port and the log.
    QLockFile instanceLock(QDir(m_programFolder).filePath(kInstanceLockName));
    if (Status locked = lockInstance(instanceLock, m_programFolder); !locked) {
        printLine(stderr, locked.error(), failure);
        return kExitFailure;
    }
    // Before anything acts on the settings: unreadable ones would have the service pick an engine,
    // create its database and listen on a port of its own.
    if (Status readable = settingsReadable(ProfileFile::inFolder(m_programFolder, kSettingsFileName));
        !readable) {
        printLine(stderr, readable.error(), failure);
        return kExitBadConfiguration;
    }

    // Stop signals are taken from here on: a service manager may send one as soon as the service
    // says it listens, or while it is still starting, and the log must still be saved. A stop asked
    // for before the event loop runs is remembered, since quit() does nothing outside the loop.
    bool stopRequested = false;
    SignalPipe stopSignals({SIGTERM, SIGINT});
    QObject::connect(&stopSignals, &SignalPipe::received, [&stopRequested] {
        stopRequested = true;
        QCoreApplication::quit();
    });

    SystemClock clock;
    ConsoleOperator console(stderrToJournal);
    ServerCore core(QDir(m_programFolder).absolutePath(), clock, console);
    // Under the journal every line carries its priority, so that errors stand out in journalctl.
    const bool toJournal = isJournalStream(STDOUT_FILENO);
    const auto printEntry = [toJournal](const LogEntry& entry) {
        writeLine(stdout, entry.text, toJournal ? journalPrefix(entry.kind) : QByteArray());
    };
    // What the core logged while it was being built (the recovery of an earlier run's lines).
    for (const LogEntry& entry : core.eventLog().entries())
        printEntry(entry);
    QObject::connect(&core.eventLog(), &EventLog::entryAdded, printEntry);
    // The lines of one pass of the event loop go out in one write when it is about to wait, not in
    // a write each: a burst of connections logs two lines apiece. The recovery journal, not this
    // copy, is what keeps every line through a crash.
    std::fflush(stdout);
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     [] { std::fflush(stdout); });

    // A stop during the attempts ends them at once: the log is saved and the service ends as a
    // stopped one does.
    if (Status opened = core.AbreConexion([&stopRequested] { return stopRequested; }); !opened) {
        if (stopRequested)
            return core.saveLogAtExit() ? 0 : kExitFailure;
        printLine(stderr, opened.error(), failure);
        return kExitFailure;
    }
    // The settings may have become unreadable since the check: the load has said so.
    const bool settingsLoaded = core.load();
    ControlServer control(core);
    control.listen(controlSocketPath(core.programFolder()));
    std::unique_ptr<WebServer> web;
    const Status webStarted = settingsLoaded ? startWebAdministration(core, web) : Status();

    int exitCode = 0;
    if (!settingsLoaded) {
        exitCode = kExitBadConfiguration;
    } else if (!webStarted) {
        // Served otherwise than the settings say, or not at all, would surprise the administrator
        // who turned it on.
        printLine(stderr, webStarted.error(), failure);
        exitCode = kExitBadConfiguration;
    } else if (!core.commands().isEnabled(Command::mnuIniciarServicio) || !core.startService()) {
        printLine(stderr, QStringLiteral("El servicio no se ha podido iniciar."), failure);
        exitCode = kExitBadConfiguration;
    } else {
        // Listening now: a manager waiting for the service may start what depends on it.
        const ServiceNotifier manager = ServiceNotifier::fromEnvironment();
        manager.notify(QByteArrayLiteral("READY=1"));
        if (!stopRequested)
            QCoreApplication::exec();
        // The stop and the log save may take a while; the manager waits for them instead of
        // taking the silence for a hang.
        manager.notify(QByteArrayLiteral("STOPPING=1"));
        // oskserverctl may have stopped the service already.
        if (core.isStarted())
            core.stopService();
    }

    if (!core.saveLogAtExit())
        exitCode = kExitFailure;
    std::fflush(stdout);
    return exitCode;
}

int createEmbeddedDatabase(const QString& programFolder, const QString& name) {
    const ProfileFile settings = ProfileFile::inFolder(programFolder, kSettingsFileName);
    if (chooseEngine(settings) != EngineKind::Embedded) {
        printLine(stderr,
                  QStringLiteral("La configuración usa SQL Server; las bases de datos se crean allí."));
        return kExitFailure;
    }
    EmbeddedEngine engine(QDir(programFolder).filePath(QStringLiteral("Data")));
    if (Status created = engine.createProductDatabase(name); !created) {
        printLine(stderr, created.error());
        return kExitFailure;
    }
    printLine(stdout, QStringLiteral("Base de datos %1 creada.").arg(name));
    return 0;
}

} // namespace osk
