#include "backup_fakes.h"
#include "support/core_scenario.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

using namespace osk;
using namespace osk::test;

namespace {

constexpr int kWaitMs = 10000;

// Both halves of the day's edges: daily at midnight, Fridays at noon, daily a minute before
// midnight into a folder that is not there.
const QByteArray kSchedules =
    "[Backup1]\r\nType=1\r\nDataBase=osk1\r\nOutPutFile=%F/Copias/osk1.bak\r\nDay=0\r\n"
    "Hour=12:00 AM\r\n[Backup2]\r\nType=2\r\nDataBase=osk2\r\nOutPutFile=%F/Copias/osk2.bak\r\n"
    "Day=4\r\nHour=12:00 pm\r\n[Backup3]\r\nType=1\r\nDataBase=osk3\r\nOutPutFile=%F/gone/osk3.bak\r\n"
    "Day=0\r\nHour=11:59 P\r\n";

// A core over the fake engine. Steps: "load"; "DAY HH:MM:SS", one tick of tmrBackup then, waiting
// for the backup it starts to end; "run FILE", a backup of osk1 asked for by hand; "failing TEXT",
// "hold" and "exit" (the session service stopped and the log saved).
struct Backups : Scenario {
    Backups() {
        ok =
            port != 0 && QDir().mkpath(folder.file("Copias")) &&
            writeFileBytes(folder.file("OskServer.INI"),
                           portSettings(port) + QByteArray(kSchedules).replace("%F", folder.path().toUtf8()));
        auto owned = std::make_unique<FakeEngine>();
        engine = owned.get();
        engine->writesFiles = true;
        engine->heldFile = folder.file("Data/osk1.db");
        core = std::make_unique<ServerCore>(folder.path(), std::move(owned), clock, op);
        core->backups().setWaitDialog(dialog);
        ok = ok && core->AbreConexion().ok();
    }
    void run(const QString& step) {
        const QStringList word = step.split(' ');
        QSignalSpy finished(&core->backups(), &BackupScheduler::backupFinished);
        if (step == "load") {
            core->load();
            engine->host = core->localAddress();
        } else if (word[0] == "failing")
            engine->failure = step.section(' ', 1);
        else if (step == "hold")
            engine->hold = true;
        else if (step == "exit")
            ok = (core->stopService(), core->saveLogAtExit().ok());
        else if (word[0] == "run")
            ok = core->backups().run(folder.file(word[1]), "osk1") && finished.wait(kWaitMs);
        else {
            clock.set(QDateTime(QDate(2026, 12, word[0].toInt()), QTime::fromString(word[1], u"HH:mm:ss")));
            QMetaObject::invokeMethod(&core->tmrBackup(), "timeout");
            if (engine->hold)
                ok = engine->waitUntilEntered(kWaitMs);
            else if (core->backups().isRunning())
                finished.wait(kWaitMs);
        }
    }
    // The engine's calls and the wait dialog in the step as events; the backup files, the lines of
    // the saved log files, whether a backup runs and the last step went as it should, as facts.
    QStringList snapshot() {
        m_calls += engine->takeCalls();
        QStringList lines = sharedSnapshot().filter(QRegularExpression("^(?!> log: )")) +
                            QStringList(m_calls).replaceInStrings(QRegularExpression("^"), "> call ");
        // The lines of a day that has ended have left memory for its file.
        const auto& entries = core->eventLog().entries();
        const bool kept =
            m_logged > 0 && m_logged <= entries.size() && entries[m_logged - 1].text == m_lastLine;
        for (size_t i = kept ? m_logged : 0; i < entries.size(); ++i)
            lines << QString("> log %1: %2").arg(int(entries[i].kind)).arg(entries[i].text);
        for (const QString& shown : dialog.events)
            lines << "> dialog " + QString(shown).remove('\r').replace('\n', " | ");
        // The saved day files by their number of lines: their text is the lines the steps showed.
        for (const QString& name : QDir(folder.file("Log")).entryList({"*.log"}))
            lines << "Log/" + name +
                         QString(": %1 lines").arg(readFileBytes(folder.file("Log/" + name)).count('\n'));
        const QDir copias(folder.file("Copias"));
        for (const QString& name : copias.entryList(QDir::Files | QDir::Hidden))
            lines << "Copias/" + name + ": " + readFileBytes(copias.filePath(name));
        lines << QString("running: %1, ok: %2").arg(core->backups().isRunning()).arg(ok);
        return masked(lines);
    }
    void next() {
        Scenario::next();
        m_calls.clear();
        const auto& entries = core->eventLog().entries();
        m_logged = entries.size();
        m_lastLine = entries.empty() ? QString() : entries.back().text;
        dialog.events.clear();
    }

    FakeEngine* engine = nullptr;
    RecordingWaitDialog dialog;
    bool ok = false;
    QStringList m_calls;
    size_t m_logged = 0;
    QString m_lastLine;
};

} // namespace

class TestBackupServerCore final : public QObject {
    Q_OBJECT

private slots:
    // tmrBackup ticks every 59.999 s, so two ticks may fall into one minute. The clock (December
    // 2026; the 4th, 11th and 18th are Fridays) walks across noon and midnight; a failed backup
    // leaves the file it would have replaced, and an output that is a server file or folder is
    // refused before the engine. While a backup runs another is refused, and the program's end
    // cancels it: its outcome is in the saved log.
    void schedulesRunOnceInTheirMinute() {
        Backups s;
        QVERIFY(s.ok);
        QCOMPARE(s.core->tmrBackup().interval(), 59999);
        const QString wait =
            "> dialog show:Espere... | Generando copia de seguriad en '<folder>/%1'...\n> dialog hide";
        const QString failed = "[%1]  Imposible realizar copia de seguridad programada. ";
        playScript(
            s,
            {"load\n> call open principal\n> call list\n> said Exclamation: no disponible\n"
             "> log 3: [09:05:17]  Copia de Seguridad 3: No se puede escribir en la carpeta <folder>/gone: "
             "la copia de seguridad no podrá guardarse.\nrunning: 0, ok: 1",
             "4 11:59:59",
             "4 12:00:00\n> call backup: osk2 > <folder>/Copias/osk2.bak\n" + wait.arg("Copias/osk2.bak") +
                 "\nCopias/osk2.bak: osk2 copia",
             "4 12:00:59", "4 23:58:59",
             "4 23:59:00\n> call backup: osk3 > <folder>/gone/osk3.bak\n" + wait.arg("gone/osk3.bak") +
                 "\n> log 3: " + failed.arg("23:59:00") + "No such file or directory",
             "5 00:00:00\n> call backup: osk1 > <folder>/Copias/osk1.bak\n" + wait.arg("Copias/osk1.bak") +
                 "\nCopias/osk1.bak: osk1 copia",
             "5 00:00:59", "5 12:00:00", "failing Operating system error 5 (Acceso denegado.).",
             "11 12:00:00\n> call backup: osk2 > <folder>/Copias/osk2.bak\n" + wait.arg("Copias/osk2.bak") +
                 "\n> log 3: " + failed.arg("12:00:00") +
                 "Operating system error 5 (Acceso denegado.).\n"
                 "Log/04122026.log: 7 lines",
             "run OSKSERVER.ini\n" + wait.arg("OSKSERVER.ini") + "\n> log 3: " + failed.arg("12:00:00") +
                 "El archivo de copia <folder>/OSKSERVER.ini es un archivo del servidor.",
             "run Copias\n" + wait.arg("Copias") + "\n> log 3: " + failed.arg("12:00:00") +
                 "El archivo de copia <folder>/Copias es una carpeta.",
             "run Data/osk1.db\n" + wait.arg("Data/osk1.db") + "\n> log 3: " + failed.arg("12:00:00") +
                 "El archivo de copia <folder>/Data/osk1.db es una base de datos del servidor.",
             "failing", "hold",
             "18 12:00:30\n> call backup: osk2 > <folder>/Copias/osk2.bak\n> dialog show:Espere... | "
             "Generando copia de seguriad en '<folder>/Copias/osk2.bak'...\nrunning: 1, ok: 1",
             "run otra.bak\nrunning: 1, ok: 0",
             "exit\n> call stop\n> dialog hide\n> log 1: [12:00:30]  <folder>/Log/18122026.log creado con "
             "éxito.\n"
             "> log 1: [12:00:30]  Conexiones cerradas.\n> log 1: [12:00:30]  Servidor inactivo.\n"
             "> log 2: [12:00:30]  Cerrando conexiones...\n> log 1: [12:00:30]  Guardando registro de "
             "sucesos...\n> log 3: [12:00:30]  Copia de seguridad "
             "programada cancelada al cerrar Osk Server; no se ha generado el archivo.\nLog/11122026.log: 9 "
             "lines\n"
             "Log/18122026.log: 10 lines\nrunning: 0, ok: 1"});
    }

    // The wait at the end is bounded; a backup that goes on is said and left to the process's end.
    void backupThatWillNotStopIsLeftAtTheEnd() {
        TempProgramFolder folder;
        FakeClock clock;
        ScriptedOperator op;
        EventLog log(clock, op, folder.path());
        FakeEngine engine;
        engine.hold = engine.deaf = true;
        RecordingWaitDialog dialog;
        BackupScheduler scheduler(engine, log, clock, dialog);
        // The abandoned worker is let go and waited for, so that it never outlives the engine.
        const auto releaseOnExit = qScopeGuard([&engine] {
            engine.release();
            engine.waitUntilLeft(kWaitMs);
        });
        QVERIFY(scheduler.run("C:\\Copias\\osk1.bak", "osk1") && engine.waitUntilEntered(kWaitMs));
        QVERIFY(!scheduler.stopForExit(std::chrono::milliseconds(200)) && scheduler.hasAbandonedWorker());
        QStringList seen = engine.takeCalls() + dialog.events;
        for (const LogEntry& entry : log.entries())
            seen << QString::number(int(entry.kind)) + ' ' + entry.text;
        OSK_COMPARE_SNAPSHOT(seen.join('\n'),
                             "backup: osk1 > C:\\Copias\\osk1.bak\nstop\nshow:Espere...\r\nGenerando "
                             "copia de seguriad en 'C:\\Copias\\osk1.bak'...\nhide\n3 [09:05:17]  La "
                             "copia de seguridad programada no se ha detenido a tiempo; Osk Server se "
                             "cierra sin esperarla.");
    }
};

QTEST_GUILESS_MAIN(TestBackupServerCore)
#include "test_backup_server_core.moc"
