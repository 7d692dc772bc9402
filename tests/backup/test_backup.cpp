#include "backup/backup_editor.h"
#ifdef OSK_TEST_DIALOG
#include "backup/auto_backup_dialog.h"

#include <QComboBox>
#include <QLineEdit>
#endif
#include "backup/backup_schedule.h"
#include "backup_fakes.h"
#include "common/operator.h"
#include "config/profile_file.h"
#include "support/core_scenario.h"

#include <QLocale>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

using namespace osk;
using namespace osk::test;

namespace {

const QString kInactive = "0|0|00:00:00||";

// One section as the editor writes it.
QByteArray section(int number, const QByteArray& type, const QByteArray& database, const QByteArray& file,
                   const QByteArray& day, const QByteArray& hour) {
    return "[Backup" + QByteArray::number(number) + "]\r\nType=" + type + "\r\nDataBase=" + database +
           "\r\nOutPutFile=" + file + "\r\nDay=" + day + "\r\nHour=" + hour + "\r\n";
}
// Section n of schedule n's database and file from "Type,Day,Hour".
QByteArray section(int number, const QByteArray& values) {
    const QByteArray n = QByteArray::number(number);
    const QList<QByteArray> v = values.split(',');
    return section(number, v.value(0), "osk" + n, "C:\\Copias\\osk" + n + ".bak", v.value(1), v.value(2));
}

// An editor over a settings file that holds `settingsBytes` and the product databases oskalfa and
// oskbeta.
struct Fixture {
    explicit Fixture(const QByteArray& settingsBytes = QByteArray()) {
        engine.databases = {"oskalfa", "oskbeta"};
        engine.writesFiles = true;
        if (!settingsBytes.isEmpty())
            writeFileBytes(settings.path(), settingsBytes); // a failure shows in the first look
        editor.load();
    }
    // The controls, what the operator was shown or asked since the last look, the settings file.
    QString look() {
        const BackupEditorControls& c = editor.controls();
        QString text =
            QString("shown %1, type %2, db %3, day %4%5, %6:%7, file %8%9\n")
                .arg(QString::number(c.backup), QString::number(c.type), QString::number(c.database),
                     QString::number(c.day), c.dayEnabled ? "" : " off", c.hour, c.minute, c.file,
                     c.detailsEnabled ? "" : ", details off");
        text += std::exchange(op.shown, {}).join('\n') + "\nfile:\n" + readFileBytes(settings.path());
        return text.replace(folder.path(), "%F");
    }

    TempProgramFolder folder;
    FakeEngine engine;
    ProfileFile settings{folder.file("OskServer.INI")};
    ScriptedOperator op;
    BackupEditor editor{engine, settings, op};
};

constexpr int kWaitMs = 10000;

// Both halves of the day's edges: daily at midnight, Fridays at noon, daily a minute before
// midnight into a folder that is not there.
const QByteArray kSchedules =
    "[Backup1]\r\nType=1\r\nDataBase=osk1\r\nOutPutFile=%F/Copias/osk1.bak\r\nDay=0\r\nHour=12:00 AM\r\n"
    "[Backup2]\r\nType=2\r\nDataBase=osk2\r\nOutPutFile=%F/Copias/osk2.bak\r\nDay=4\r\nHour=12:00 pm\r\n"
    "[Backup3]\r\nType=1\r\nDataBase=osk3\r\nOutPutFile=%F/gone/osk3.bak\r\n"
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

// The schedules as the settings file holds them and the check runs them, the editor of
// frmAutoBackup over them, and the core's backups as a script.
class TestBackup final : public QObject {
    Q_OBJECT

private slots:
    // Decimal points in the values are read as the locale writes them.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void loadConvertsEachValue_data() {
        QTest::addColumn<QByteArray>("values"); // Type, Day, Hour of section 2
        QTest::addColumn<QString>("loaded");    // Type|Day|HH:MM:SS, or the load error's reason
        const auto row = [](const QByteArray& values, const QByteArray& loaded) {
            QTest::newRow(values.constData()) << values << QString::fromUtf8(loaded);
        };
        row("1,0,02:30", "1|0|02:30:00");
        row("3,6,23:59", "3|6|23:59:00");
        row("&H2,255,7:5", "2|255|07:05:00");
        row("2.5,3.5,2:30 PM", "2|4|14:30:00"); // halves to even
        // Both halves of the day at its edges, in both cases: the hour, then what it loads as.
        for (const QByteArray hour : {"12:00 AM 00:00", "0:00 00:00", "12:00 am 00:00", "0:00 AM 00:00",
                                      "12:00 PM 12:00", "12:00 pm 12:00", "11:59 PM 23:59", "11:59 p 23:59",
                                      "23:59 23:59", "12:59 A 00:59", "1:00:59 pm 13:00:59"})
            row("1,0," + hour.left(hour.lastIndexOf(' ')),
                "1|0|" + (hour.mid(hour.lastIndexOf(' ') + 1) + ":00").left(8));
        // The rest of a section without "Type" is not even read.
        row(",x,99:99", "0|0|00:00:00");
        // A schedule with a bad value is inactive, whatever was read before it: it would run at
        // times nobody wrote.
        for (const char* bad : {"diaria,5,02:30", "2x,5,02:30", "1,lunes,02:30", "2,,02:30", "1,5,24:00",
                                "1,5,25:00", "1,5,12:60", "1,5,13:00 PM", "1,5,12:00 M", "1,5,12:00:60"})
            row(bad, "No coinciden los tipos");
        row("1,256,02:30", "Desbordamiento");
    }

    // The second of three sections varies; a load error ends the load there. Backup files are on
    // the SQL Server's own disk: nothing is read for one elsewhere.
    void loadConvertsEachValue() {
        QFETCH(QByteArray, values);
        QFETCH(QString, loaded);
        TempProgramFolder folder;
        const QString path = folder.file("OskServer.INI");
        QVERIFY(writeFileBytes(path, section(1, "2,3,04:15") + section(2, values) + section(3, "1,0,05:00")));
        ScriptedOperator op;
        QStringList seen;
        for (bool local : {true, false})
            for (const BackupSchedule& s : loadBackupSchedules(ProfileFile(path), local, op))
                seen << QString("%1|%2|%3|%4|%5")
                            .arg(QString::number(s.Type), QString::number(s.Day),
                                 s.Hour.toString(u"HH:mm:ss"), s.DataBase, s.OutputFile);
        const bool bad = !loaded.contains('|');
        QString expected = "2|3|04:15:00|osk1|C:\\Copias\\osk1.bak\n" +
                           (bad ? kInactive + "\n" + kInactive
                                : loaded + (loaded.startsWith('0') ? "||" : "|osk2|C:\\Copias\\osk2.bak") +
                                      "\n1|0|05:00:00|osk3|C:\\Copias\\osk3.bak");
        expected += "\n" + kInactive + "\n" + kInactive + "\n" + kInactive;
        if (bad)
            expected += "\nsaid Information: Imposible cargar parámetros.\r\n\r\n" + loaded;
        OSK_COMPARE_SNAPSHOT((seen + op.shown).join('\n'), expected);
    }

    // "(LOCAL)" or this computer's name, in any case; nothing else.
    void localServerName() {
        QString seen;
        for (const char* name :
             {"(local)", "(LOCAL)", "servidor1", "SERVIDOR1", "SERVIDOR2", "Servidor1\\OSK", ""})
            seen += isLocalSqlServerName(QLatin1String(name), "Servidor1") ? '1' : '0';
        QCOMPARE(seen, QString("1111000"));
    }

    // Switching schedules keeps the edits of each; only Aceptar writes them. Another schedule is shown
    // only once the one on screen stands, and Aceptar refuses what leaving refuses.
    void editsReachTheFileOnlyWithAceptar() {
        const QByteArray before = section(2, "2", "OSKBETA", "C:\\b.obk", "6", "03:00");
        Fixture f(before);
        BackupEditor& editor = f.editor;
        const QString file = "\nfile:\n" + before;
        OSK_COMPARE_SNAPSHOT(f.look(), "shown 0, type 0, db 0, day -1 off, :, file , details off\n" + file);
        editor.chooseFile(); // disabled: no dialog
        editor.selectType(BackupEditor::kDaily);
        editor.selectDatabase(1);
        const auto refused = [&](const char* hour, const char* minute, const QString& file) {
            editor.setHourText(hour);
            editor.setMinuteText(minute);
            editor.setFileText(QString(file).replace("%F", f.folder.path()));
            editor.selectBackup(1);
            const QString accepted =
                file.trimmed().isEmpty() ? "" : QString("\naccepted %1").arg(editor.accept());
            return f.look().section("\nfile:\n", 0, 0) + accepted;
        };
        QStringList seen{refused("24", "0", "C:\\a.obk"), refused("23", "60", "C:\\a.obk"),
                         refused("0", "0", "  ")};
        editor.selectType(BackupEditor::kWeekly);
        seen << refused("0", "0", "") << refused("0", "0", "%F/OskServer.INI ");
        editor.selectType(BackupEditor::kDaily);
        editor.selectDatabase(1);
        const QString badHour = "said Information: Información de hora incorrecta.\n";
        const QString noFile = "said Information: Debe especificar un archivo para realizar la copia.\n";
        OSK_COMPARE_SNAPSHOT(
            seen.join(u'\n'),
            "shown 0, type 1, db 1, day -1 off, 24:0, file C:\\a.obk\n" + badHour.repeated(2) +
                "accepted 0\nshown 0, type 1, db 1, day -1 off, 23:60, file C:\\a.obk\n" +
                QString("said Information: Información de minuto incorrecta.\n").repeated(2) +
                "accepted 0\nshown 0, type 1, db 1, day -1 off, 0:0, file   \n" + noFile +
                "shown 0, type 2, db 0, day 0, 0:0, file \n" + noFile +
                "shown 0, type 2, db 0, day 0, 0:0, file %F/OskServer.INI \n" +
                QString(
                    "said Exclamation: El archivo de copia %F/OskServer.INI es un archivo del servidor.\n")
                    .repeated(2) +
                "accepted 0");
        editor.setHourText("7");
        editor.setMinuteText("5");
        f.op.saveAnswers = {f.folder.file("Copias/beta.obk")};
        editor.chooseFile();
        editor.chooseFile(); // cancelled: the file stays
        OSK_COMPARE_SNAPSHOT(f.look(), "shown 0, type 1, db 1, day -1 off, 7:5, file %F/Copias/beta.obk\n"
                                       "save dialog -> %F/Copias/beta.obk\nsave dialog -> " +
                                           file);
        editor.selectBackup(1);
        OSK_COMPARE_SNAPSHOT(f.look(), "shown 1, type 2, db 1, day 6, 03:00, file C:\\b.obk\n" + file);
        editor.selectDay(2);
        editor.selectBackup(0);
        OSK_COMPARE_SNAPSHOT(f.look(),
                             "shown 0, type 1, db 1, day -1 off, 07:05, file %F/Copias/beta.obk\n" + file);
        // The save stands; the missing folder is said after it.
        QVERIFY(editor.accept());
        OSK_COMPARE_SNAPSHOT(f.look(),
                             "shown 0, type 1, db 1, day -1 off, 07:05, file %F/Copias/beta.obk\n"
                             "said Exclamation: Copia de Seguridad 1: No se puede escribir en la carpeta "
                             "%F/Copias: la copia de seguridad no podrá guardarse.\nfile:\n" +
                                 section(2, "2", "oskbeta", "C:\\b.obk", "2", "03:00") +
                                 section(1, "1", "oskbeta", "%F/Copias/beta.obk", "0", "07:05") +
                                 section(3, "0", "", "", "0", "00:00"));
        QCOMPARE(f.engine.takeCalls(), QStringList{"list"});
    }

#ifdef OSK_TEST_DIALOG
    // The dialog only mirrors the editor: its widgets follow the editor's state and its keys reach
    // the editor's actions; a refused switch puts the list back on the schedule shown.
    void dialogDrivesTheEditor() {
        Fixture f;
        AutoBackupDialog dialog(f.engine, f.settings, f.op);
        dialog.show();
        auto* type = dialog.findChild<QComboBox*>("cboType");
        auto* day = dialog.findChild<QComboBox*>("cboDay");
        auto* file = dialog.findChild<QLineEdit*>("txtFile");
        auto* backup = dialog.findChild<QComboBox*>("cboBackup");
        type->setCurrentIndex(BackupEditor::kWeekly);
        QString seen =
            QString("%1 %2 %3").arg(day->isEnabled()).arg(file->isEnabled()).arg(day->currentText());
        type->setCurrentIndex(BackupEditor::kDaily);
        backup->setCurrentIndex(2);
        seen +=
            QString(", %1 %2 %3").arg(day->isEnabled()).arg(file->isEnabled()).arg(backup->currentIndex());
        auto* minute = dialog.findChild<QLineEdit*>("txtMinute");
        minute->selectAll();
        QTest::keyClicks(minute, "5");
        QTest::keyClicks(file, "C:\\a.obk");
        QTest::keyClick(type, Qt::Key_Return);
        QCOMPARE(seen + QString(", %1").arg(dialog.result()), QString("1 1 Lunes, 0 1 0, 1"));
        QVERIFY(readFileBytes(f.settings.path())
                    .startsWith("[Backup1]\r\nType=1\r\nDataBase=oskalfa\r\nOutPutFile=C:\\a.obk\r\nDay="
                                "0\r\nHour=00:05\r\n"));
    }
#endif

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
             "éxito.\n> log 1: [12:00:30]  Conexiones cerradas.\n> log 1: [12:00:30]  Servidor inactivo.\n> "
             "log 2: [12:00:30]  Cerrando conexiones...\n> log 1: [12:00:30]  Guardando registro de "
             "sucesos...\n> log 3: [12:00:30]  Copia de seguridad programada cancelada al cerrar Osk Server; "
             "no se ha generado el archivo.\nLog/11122026.log: 9 lines\n"
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
                             "backup: osk1 > C:\\Copias\\osk1.bak\nstop\nshow:Espere...\r\nGenerando copia "
                             "de seguriad en 'C:\\Copias\\osk1.bak'...\nhide\n3 [09:05:17]  La copia de "
                             "seguridad programada no se ha detenido a tiempo; Osk Server se "
                             "cierra sin esperarla.");
    }
};

QTEST_MAIN(TestBackup)
#include "test_backup.moc"
