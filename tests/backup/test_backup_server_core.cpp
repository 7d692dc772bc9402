#include "app/server_core.h"
#include "backup_fakes.h"
#include "session/session_server.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <memory>

using namespace osk;
using namespace osk::test;

namespace {

constexpr int kWaitMs = 10000;

// Both halves of the day's edges: daily at midnight, Fridays at noon, daily a minute before
// midnight into a folder that is not there.
const QByteArray kSchedules = "[Backup1]\r\nType=1\r\nDataBase=osk1\r\nOutPutFile=%F/Copias/osk1.bak\r\n"
                              "Day=0\r\nHour=12:00 AM\r\n"
                              "[Backup2]\r\nType=2\r\nDataBase=osk2\r\nOutPutFile=%F/Copias/osk2.bak\r\n"
                              "Day=4\r\nHour=12:00 pm\r\n"
                              "[Backup3]\r\nType=1\r\nDataBase=osk3\r\nOutPutFile=%F/gone/osk3.bak\r\n"
                              "Day=0\r\nHour=11:59 P\r\n";

struct Service {
    Service() {
        ok =
            port != 0 && QDir().mkpath(folder.file(QStringLiteral("Copias"))) &&
            writeFileBytes(folder.file(QStringLiteral("OskServer.INI")),
                           portSettings(port) + QByteArray(kSchedules).replace("%F", folder.path().toUtf8()));
        engine.writesFiles = true;
        core.backups().setWaitDialog(dialog);
        ok = ok && core.AbreConexion().ok();
        core.load();
        engine.host = core.localAddress();
    }
    // One tick of tmrBackup at `now`, waiting for the backup it starts to end.
    void tickAt(const QDateTime& now) {
        clock.set(now);
        QSignalSpy finished(&core.backups(), &BackupScheduler::backupFinished);
        QMetaObject::invokeMethod(&core.tmrBackup(), "timeout");
        if (core.backups().isRunning())
            finished.wait(kWaitMs);
    }
    // What happened since the last look (the engine's calls, the wait dialog, the operator, new
    // log lines with their kind), then the backup files there are.
    QString snapshot() {
        QStringList lines = engine.takeCalls().replaceInStrings(QRegularExpression("^"), "call ");
        lines += dialog.events.replaceInStrings(QRegularExpression("^"), "dialog ");
        lines += op.shown.replaceInStrings(QRegularExpression("^"), "operator ");
        dialog.events.clear();
        op.shown.clear();
        const auto& entries = core.eventLog().entries();
        // The lines of a day that has ended have left memory for its file.
        for (size_t i = m_logged > entries.size() ? 0 : m_logged; i < entries.size(); ++i)
            lines << QStringLiteral("log %1: %2").arg(int(entries[i].kind)).arg(entries[i].text);
        m_logged = entries.size();
        const QDir copias(folder.file(QStringLiteral("Copias")));
        for (const QString& name : copias.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
            lines << "file " + name + ": " + readFileBytes(copias.filePath(name));
        return lines.join(QLatin1Char('\n')).replace(folder.path(), QStringLiteral("%F"));
    }

    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    quint16 port = freePort();
    std::unique_ptr<FakeEngine> owned = std::make_unique<FakeEngine>();
    FakeEngine& engine = *owned;
    RecordingWaitDialog dialog;
    ServerCore core{folder.path(), std::move(owned), clock, op};
    bool ok = false;
    size_t m_logged = 0;
};

} // namespace

class TestBackupServerCore final : public QObject {
    Q_OBJECT

private slots:
    void schedulesRunOnceInTheirMinute();
    void exitDuringABackupCancelsItAndSavesItsOutcome();
    void backupThatWillNotStopIsLeftAtTheEnd();
};

// tmrBackup ticks every 59.999 s, so two ticks may fall into one minute. The clock ("day time" of
// December 2026; the 4th and 11th are Fridays) walks across noon and midnight; a failed backup leaves the
// file it would have replaced, and an output that is a server file or folder is refused before the engine.
void TestBackupServerCore::schedulesRunOnceInTheirMinute() {
    Service s;
    QVERIFY(s.ok);
    QCOMPARE(s.core.tmrBackup().interval(), 59999);
    const QString wait1 = "dialog show:Espere...\r\nGenerando copia de seguriad en '%F/Copias/osk1.bak'...";
    const QString wait2 = "dialog show:Espere...\r\nGenerando copia de seguriad en '%F/Copias/osk2.bak'...";
    const QString wait3 = "dialog show:Espere...\r\nGenerando copia de seguriad en '%F/gone/osk3.bak'...";
    const QString failed = QStringLiteral("log 3: [%1]  Imposible realizar copia de seguridad programada. ");
    const QStringList script = {
        "load",
        "call open principal\ncall list\noperator said Exclamation: no disponible\nlog 3: [09:05:17]  Copia "
        "de "
        "Seguridad 3: No se puede escribir en la carpeta %F/gone: la copia de seguridad no podrá guardarse.",
        QStringLiteral("4 11:59:59"),
        QString(),
        QStringLiteral("4 12:00:00"),
        "call backup: osk2 > %F/Copias/osk2.bak\n" + wait2 + "\ndialog hide\nfile osk2.bak: osk2 copia",
        QStringLiteral("4 12:00:59"),
        QStringLiteral("file osk2.bak: osk2 copia"),
        QStringLiteral("4 23:58:59"),
        QStringLiteral("file osk2.bak: osk2 copia"),
        QStringLiteral("4 23:59:00"),
        "call backup: osk3 > %F/gone/osk3.bak\n" + wait3 + "\ndialog hide\n" + failed.arg("23:59:00") +
            "No such file or directory\nfile osk2.bak: osk2 copia",
        QStringLiteral("5 00:00:00"),
        "call backup: osk1 > %F/Copias/osk1.bak\n" + wait1 +
            "\ndialog hide\nfile osk1.bak: osk1 copia\nfile osk2.bak: osk2 copia",
        QStringLiteral("5 00:00:59"),
        QStringLiteral("file osk1.bak: osk1 copia\nfile osk2.bak: osk2 copia"),
        QStringLiteral("5 12:00:00"),
        QStringLiteral("file osk1.bak: osk1 copia\nfile osk2.bak: osk2 copia"),
        QStringLiteral("failing 11 12:00:00"),
        "call backup: osk2 > %F/Copias/osk2.bak\n" + wait2 + "\ndialog hide\n" + failed.arg("12:00:00") +
            "Operating system error 5 (Acceso denegado.).\nfile osk1.bak: osk1 copia\nfile osk2.bak: osk2 "
            "copia",
        QStringLiteral("server files"),
        "dialog show:Espere...\r\nGenerando copia de seguriad en '%F/OSKSERVER.ini'...\ndialog hide\n"
        "dialog show:Espere...\r\nGenerando copia de seguriad en '%F/Copias'...\ndialog hide\n"
        "dialog show:Espere...\r\nGenerando copia de seguriad en '%F/Data/osk1.db'...\ndialog hide\n" +
            failed.arg("12:00:00") + "El archivo de copia %F/OSKSERVER.ini es un archivo del servidor.\n" +
            failed.arg("12:00:00") + "El archivo de copia %F/Copias es una carpeta.\n" +
            failed.arg("12:00:00") +
            "El archivo de copia %F/Data/osk1.db es una base de datos del servidor.\n" +
            "file osk1.bak: osk1 copia\nfile osk2.bak: osk2 copia",
    };
    const QByteArray settings = readFileBytes(s.folder.file(QStringLiteral("OskServer.INI")));
    for (qsizetype i = 0; i + 1 < script.size(); i += 2) {
        const QString& step = script[i];
        if (step == QLatin1String("server files")) {
            s.engine.heldFile = s.folder.file(QStringLiteral("Data/osk1.db"));
            QSignalSpy finished(&s.core.backups(), &BackupScheduler::backupFinished);
            for (const char* name : {"OSKSERVER.ini", "Copias", "Data/osk1.db"}) {
                QVERIFY(s.core.backups().run(s.folder.file(QString::fromUtf8(name)), QStringLiteral("osk1")));
                QVERIFY(finished.wait(kWaitMs));
            }
            QCOMPARE(finished.size(), 3);
            QVERIFY(!finished.at(0).at(0).toBool() && !finished.at(1).at(0).toBool() &&
                    !finished.at(2).at(0).toBool());
        } else if (step != QLatin1String("load")) {
            if (step.startsWith(QLatin1String("failing ")))
                s.engine.failure = QStringLiteral("Operating system error 5 (Acceso denegado.).");
            const QStringList when = step.split(u' ').mid(step.count(u' ') - 1);
            s.tickAt(QDateTime(QDate(2026, 12, when[0].toInt()), QTime::fromString(when[1], u"HH:mm:ss")));
        }
        OSK_COMPARE_SNAPSHOT(step + "\n" + s.snapshot(), step + "\n" + script[i + 1]);
    }
    QCOMPARE(readFileBytes(s.folder.file(QStringLiteral("OskServer.INI"))), settings);
}

// The backup runs beside the session service, and the program's end cancels it: its outcome is in
// the saved log.
void TestBackupServerCore::exitDuringABackupCancelsItAndSavesItsOutcome() {
    Service s;
    QVERIFY(s.ok);
    s.engine.hold = true;
    if (s.core.localAddress().isEmpty())
        QSKIP("This computer has no IPv4 address at all");
    QVERIFY(s.core.startService());
    s.clock.set(QDateTime(QDate(2026, 12, 4), QTime(12, 0, 30)));
    (void)s.snapshot();
    // Whatever fails, the core's end stops the engine's backup, which lets the held one go.
    QVERIFY(QMetaObject::invokeMethod(&s.core.tmrBackup(), "timeout"));
    QVERIFY(s.engine.waitUntilEntered(kWaitMs));
    QVERIFY(!s.core.backups().run(QStringLiteral("C:\\otra.bak"), QStringLiteral("osk9")));

    Client client(s.port, QStringLiteral("127.0.0.2"));
    QTRY_COMPARE_WITH_TIMEOUT(client.received, QByteArray("CONNECTED"), kWaitMs);
    client.send("PC2");
    QTRY_COMPARE_WITH_TIMEOUT(s.core.session().CuentaConexiones(), 1, kWaitMs);
    QVERIFY(s.core.backups().isRunning());

    s.core.stopService();
    QVERIFY(s.core.saveLogAtExit().ok());
    QVERIFY(!s.core.backups().isRunning());
    const QByteArray saved = readFileBytes(s.folder.file(QStringLiteral("Log/04122026.log")));
    QVERIFY2(saved.contains("[12:00:30]  Copia de seguridad programada cancelada al cerrar Osk Server; no se "
                            "ha generado el archivo.\r\n"),
             saved.constData());
    const QString snapshot = s.snapshot().section(QStringLiteral("\nlog"), 0, 0);
    OSK_COMPARE_SNAPSHOT(snapshot, QStringLiteral("call backup: osk2 > %F/Copias/osk2.bak\ncall stop\n"
                                                  "dialog show:Espere...\r\nGenerando copia de seguriad en "
                                                  "'%F/Copias/osk2.bak'...\ndialog hide"));
}

// The wait at the end is bounded; a backup that goes on is said and left to the process's end.
void TestBackupServerCore::backupThatWillNotStopIsLeftAtTheEnd() {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    EventLog log(clock, op, folder.path());
    FakeEngine engine;
    engine.hold = true;
    engine.deaf = true;
    RecordingWaitDialog dialog;
    BackupScheduler scheduler(engine, log, clock, dialog);
    // The abandoned worker is let go and waited for, so that it never outlives the engine.
    const auto releaseOnExit = qScopeGuard([&engine] {
        engine.release();
        engine.waitUntilLeft(kWaitMs);
    });
    QVERIFY(scheduler.run(QStringLiteral("C:\\Copias\\osk1.bak"), QStringLiteral("osk1")));
    QVERIFY(engine.waitUntilEntered(kWaitMs));

    QVERIFY(!scheduler.stopForExit(std::chrono::milliseconds(200)));

    QVERIFY(scheduler.hasAbandonedWorker());
    QStringList seen = engine.takeCalls() + dialog.events;
    for (const LogEntry& entry : log.entries())
        seen << QString::number(int(entry.kind)) + ' ' + entry.text;
    OSK_COMPARE_SNAPSHOT(
        seen.join('\n'),
        QStringLiteral("backup: osk1 > C:\\Copias\\osk1.bak\nstop\nshow:Espere...\r\nGenerando "
                       "copia de seguriad en 'C:\\Copias\\osk1.bak'...\nhide\n3 [09:05:17]  La "
                       "copia de seguridad programada no se ha detenido a tiempo; Osk Server se "
                       "cierra sin esperarla."));
}

QTEST_GUILESS_MAIN(TestBackupServerCore)
#include "test_backup_server_core.moc"
