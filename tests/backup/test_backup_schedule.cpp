#include "backup/backup_editor.h"
#include "backup/backup_schedule.h"
#include "backup_fakes.h"
#include "common/operator.h"
#include "config/profile_file.h"
#include "database/embedded_engine.h"
#include "support/scripted_operator.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QLocale>
#include <QTest>
#include <sys/stat.h>

using namespace osk;
using namespace osk::test;

namespace {

const QString kInactive = QStringLiteral("0|0|00:00:00||");

// One section as the editor writes it.
QByteArray section(int number, const QByteArray& type, const QByteArray& database, const QByteArray& file,
                   const QByteArray& day, const QByteArray& hour) {
    return "[Backup" + QByteArray::number(number) + "]\r\nType=" + type + "\r\nDataBase=" + database +
           "\r\nOutPutFile=" + file + "\r\nDay=" + day + "\r\nHour=" + hour + "\r\n";
}
QByteArray inactive(int number) {
    return section(number, "0", "", "", "0", "00:00");
}
// Section n of schedule n's database and file from "Type,Day,Hour".
QByteArray section(int number, const QByteArray& values) {
    const QByteArray n = QByteArray::number(number);
    const QList<QByteArray> v = values.split(',');
    return section(number, v.value(0), "osk" + n, "C:\\Copias\\osk" + n + ".bak", v.value(1), v.value(2));
}

// Each schedule as "Type|Day|HH:MM:SS|DataBase|OutputFile".
QStringList describe(const BackupSchedules& schedules) {
    QStringList all;
    for (const BackupSchedule& s : schedules)
        all << QStringLiteral("%1|%2|%3|%4|%5")
                   .arg(s.Type)
                   .arg(s.Day)
                   .arg(s.Hour.toString(u"HH:mm:ss"), s.DataBase, s.OutputFile);
    return all;
}

BackupSchedule schedule(int type, int day, QTime hour, const QString& file = QStringLiteral("C:\\osk.bak")) {
    return {QStringLiteral("osk"), type, uint8_t(day), hour, file};
}

// An editor over a settings file that holds `settingsBytes` and the product databases `names`.
struct Fixture {
    explicit Fixture(const QByteArray& settingsBytes = QByteArray(),
                     const QStringList& names = {QStringLiteral("oskalfa"), QStringLiteral("oskbeta")}) {
        engine.databases = names;
        engine.writesFiles = true;
        ready = settingsBytes.isEmpty() || writeFileBytes(settings.path(), settingsBytes);
        editor.load();
    }
    // The controls, what the operator was shown or asked since the last look, the settings file.
    QString look() {
        const BackupEditorControls& c = editor.controls();
        QString text = QStringLiteral("shown %1, type %2, db %3, day %4%5, %6:%7, file %8%9\n")
                           .arg(c.backup)
                           .arg(c.type)
                           .arg(c.database)
                           .arg(c.day)
                           .arg(c.dayEnabled ? "" : " off", c.hour, c.minute, c.file,
                                c.detailsEnabled ? "" : ", details off");
        text += std::exchange(op.shown, {}).join('\n') + "\nfile:\n" + readFileBytes(settings.path());
        return text.replace(folder.path(), "%F");
    }

    TempProgramFolder folder;
    FakeEngine engine;
    ProfileFile settings{folder.file(QStringLiteral("OskServer.INI"))};
    ScriptedOperator op;
    BackupEditor editor{engine, settings, op};
    bool ready = false;
};

} // namespace

// The schedules as the settings file holds them and the check runs them, and the editor of
// frmAutoBackup over them.
class TestBackupSchedule final : public QObject {
    Q_OBJECT

private slots:
    // Decimal points in the values are read as the locale writes them.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void loadConvertsEachValue_data();
    void loadConvertsEachValue();
    void localServerName();
    void dueAsTheClockMoves();
    void serverFilesAreRefused_data();
    void serverFilesAreRefused();

    // Switching schedules keeps the edits of each; only Aceptar writes them.
    void editsReachTheFileOnlyWithAceptar() {
        const QByteArray before = section(2, "2", "OSKBETA", "C:\\b.obk", "6", "03:00");
        Fixture f(before);
        QVERIFY(f.ready);
        BackupEditor& editor = f.editor;
        const QString file = "\nfile:\n" + before;
        OSK_COMPARE_SNAPSHOT(f.look(), "shown 0, type 0, db 0, day -1 off, :, file , details off\n" + file);
        editor.chooseFile(); // disabled: no dialog

        editor.selectType(BackupEditor::kDaily);
        editor.selectDatabase(1);
        editor.setHourText(QStringLiteral("7"));
        editor.setMinuteText(QStringLiteral("5"));
        f.op.saveAnswers = {f.folder.file(QStringLiteral("Copias/beta.obk"))};
        editor.chooseFile();
        OSK_COMPARE_SNAPSHOT(f.look(), "shown 0, type 1, db 1, day -1 off, 7:5, file %F/Copias/beta.obk\n"
                                       "save dialog -> %F/Copias/beta.obk" +
                                           file);
        editor.chooseFile(); // cancelled: the file stays
        OSK_COMPARE_SNAPSHOT(f.look(), "shown 0, type 1, db 1, day -1 off, 7:5, file %F/Copias/beta.obk\n"
                                       "save dialog -> " +
                                           file);

        editor.selectBackup(1);
        OSK_COMPARE_SNAPSHOT(f.look(), "shown 1, type 2, db 1, day 6, 03:00, file C:\\b.obk\n" + file);
        editor.selectDay(2);
        editor.selectBackup(0);
        OSK_COMPARE_SNAPSHOT(f.look(),
                             "shown 0, type 1, db 1, day -1 off, 07:05, file %F/Copias/beta.obk\n" + file);

        // The save stands; the missing folder is said after it.
        QVERIFY(editor.accept());
        OSK_COMPARE_SNAPSHOT(
            f.look(),
            "shown 0, type 1, db 1, day -1 off, 07:05, file %F/Copias/beta.obk\n"
            "said Exclamation: Copia de Seguridad 1: No se puede escribir en la carpeta %F/Copias: la "
            "copia de seguridad no podrá guardarse.\nfile:\n" +
                section(2, "2", "oskbeta", "C:\\b.obk", "2", "03:00") +
                section(1, "1", "oskbeta", "%F/Copias/beta.obk", "0", "07:05") + inactive(3));
        OSK_COMPARE_SNAPSHOT(f.engine.takeCalls().join('\n'), QStringLiteral("list"));
    }

    void leavingIsRefused_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("time"); // txtHour:txtMinute
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("message"); // "icon: text"; empty: the schedule is left

        const QString badHour = "Information: Información de hora incorrecta.";
        const QString noFile = "Information: Debe especificar un archivo para realizar la copia.";
        const QString a = "C:\\a.obk";
        QTest::newRow("hour 24") << 1 << "24:00" << a << badHour;
        QTest::newRow("hour ab") << 1 << "ab:00" << a << badHour;
        QTest::newRow("hour -1") << 2 << "-1:00" << a << badHour;
        QTest::newRow("minute 60") << 2 << "23:60" << a << "Information: Información de minuto incorrecta.";
        QTest::newRow("23:59") << 2 << "23:59" << a << QString();
        QTest::newRow("0:0") << 1 << "0:0" << a << QString();
        QTest::newRow("Diaria, no file") << 1 << "23:59" << QString() << noFile;
        QTest::newRow("Semanal, no file") << 2 << "23:59" << QString() << noFile;
        QTest::newRow("blanks only") << 1 << "23:59"
                                     << "   " << noFile;
        // The program's own files, "%F" standing for its folder.
        const QString own = "Exclamation: El archivo de copia %1 es un archivo del servidor.";
        for (const char* name : {"%F/oskserver.ini", "%F/OSKSERVER.INI", "%F/Log/20261204.LOG",
                                 "%F/Copias/../Log/eventlog.journal", "%F/.oskserverd.lock"})
            QTest::newRow(name) << 1 << "23:59" << QString(name) << own.arg(name);
        // The file judged is the one the settings file gives back, without the blanks around it.
        QTest::newRow("a blank after the settings") << 1 << "23:59"
                                                    << "%F/OskServer.INI " << own.arg("%F/OskServer.INI");
        QTest::newRow("a folder") << 2 << "23:59"
                                  << "%F"
                                  << "Exclamation: El archivo de copia %F es una carpeta.";
        // Its time boxes are disabled, and not checked.
        QTest::newRow("Inactiva") << 0 << "99:99" << QString() << QString();
    }

    // Another schedule is shown only once the one on screen stands, and Aceptar refuses what
    // leaving refuses: a refused schedule never reaches the file.
    void leavingIsRefused() {
        QFETCH(int, type);
        QFETCH(QString, time);
        QFETCH(QString, file);
        QFETCH(QString, message);
        Fixture f;
        f.editor.selectType(type);
        f.editor.setHourText(time.section(u':', 0, 0));
        f.editor.setMinuteText(time.section(u':', 1, 1));
        f.editor.setFileText(QString(file).replace("%F", f.folder.path()));
        f.editor.selectBackup(2);
        QString seen = QString("shown %1").arg(f.editor.controls().backup);
        const bool named = !file.trimmed().isEmpty();
        if (named)
            seen += QString(", accepted %1").arg(f.editor.accept());
        seen += (f.op.shown.isEmpty() ? "" : "\n") + f.op.shown.join('\n').replace(f.folder.path(), "%F");
        const QByteArray written = readFileBytes(f.settings.path());
        seen += "\nfile: " + written.left(written.indexOf("Day=")).replace("\r\n", " ");
        const QString said = message.isEmpty() ? "" : "\nsaid " + message;
        QCOMPARE(seen,
                 QString("shown %1").arg(message.isEmpty() ? 2 : 0) +
                     (named ? QString(", accepted %1").arg(message.isEmpty()) + said : QString()) + said +
                     "\nfile: " +
                     (named && message.isEmpty()
                          ? QString("[Backup1] Type=%1 DataBase=oskalfa OutPutFile=C:\\a.obk ").arg(type)
                          : ""));
    }

    // Without a database list an active schedule keeps the database it had.
    void failedDatabaseListKeepsStoredNames() {
        Fixture f(section(1, "1", "oskalfa", "C:\\a.obk", "0", "04:15"), {});
        f.editor.selectType(BackupEditor::kWeekly);
        QVERIFY(f.editor.accept());
        OSK_COMPARE_SNAPSHOT(f.look(), "shown 0, type 2, db -1, day 0, 04:15, file C:\\a.obk\n"
                                       "said Exclamation: CargaComboBDERRORno disponible\nfile:\n" +
                                           section(1, "2", "oskalfa", "C:\\a.obk", "0", "04:15") +
                                           inactive(2) + inactive(3));
    }
};

void TestBackupSchedule::loadConvertsEachValue_data() {
    QTest::addColumn<QByteArray>("values"); // Type, Day, Hour of section 2
    QTest::addColumn<QString>("loaded");    // Type|Day|HH:MM:SS; empty: the load error `reason`
    QTest::addColumn<QString>("reason");

    const QString mismatch = QStringLiteral("No coinciden los tipos");
    const auto row = [](const char* values, const char* loaded, const QString& reason = QString()) {
        QTest::newRow(values) << QByteArray(values) << QString::fromLatin1(loaded) << reason;
    };
    row("1,0,02:30", "1|0|02:30:00");
    row("3,6,23:59", "3|6|23:59:00");
    row("&H2,255,7:5", "2|255|07:05:00");
    row("2.5,3.5,2:30 PM", "2|4|14:30:00"); // halves to even
    // Both halves of the day at its edges, in both cases.
    row("1,0,12:00 AM", "1|0|00:00:00");
    row("1,0,12:00 PM", "1|0|12:00:00");
    row("1,0,11:59 PM", "1|0|23:59:00");
    row("1,0,0:00", "1|0|00:00:00");
    row("1,0,23:59", "1|0|23:59:00");
    row("1,0,12:00 am", "1|0|00:00:00");
    row("1,0,12:00 pm", "1|0|12:00:00");
    row("1,0,11:59 p", "1|0|23:59:00");
    row("1,0,12:59 A", "1|0|00:59:00");
    row("1,0,0:00 AM", "1|0|00:00:00");
    row("1,0,1:00:59 pm", "1|0|13:00:59");
    // The rest of a section without "Type" is not even read.
    QTest::newRow("no Type") << QByteArray(",x,99:99") << kInactive.left(11) << QString();
    // A schedule with a bad value is inactive, whatever was read before it: it would run at times
    // nobody wrote.
    for (const char* bad : {"diaria,5,02:30", "2x,5,02:30", "1,lunes,02:30", "2,,02:30", "1,5,24:00",
                            "1,5,25:00", "1,5,12:60", "1,5,13:00 PM", "1,5,12:00 M", "1,5,12:00:60"})
        row(bad, "", mismatch);
    row("1,256,02:30", "", QStringLiteral("Desbordamiento"));
}

// The second of three sections varies; a load error ends the load there.
void TestBackupSchedule::loadConvertsEachValue() {
    QFETCH(QByteArray, values);
    QFETCH(QString, loaded);
    QFETCH(QString, reason);

    TempProgramFolder folder;
    const QString path = folder.file(QStringLiteral("OskServer.INI"));
    QVERIFY(writeFileBytes(path, section(1, "2,3,04:15") + section(2, values) + section(3, "1,0,05:00")));
    ScriptedOperator op;
    QStringList seen = describe(loadBackupSchedules(ProfileFile(path), true, op)) + op.shown;
    // Backup files are on the SQL Server's own disk: nothing is read for one elsewhere.
    seen += describe(loadBackupSchedules(ProfileFile(path), false, op));
    const QString third =
        reason.isEmpty() ? QStringLiteral("1|0|05:00:00|osk3|C:\\Copias\\osk3.bak") : kInactive;
    QStringList expected{
        QStringLiteral("2|3|04:15:00|osk1|C:\\Copias\\osk1.bak"),
        loaded.size() > 11 ? loaded + QStringLiteral("|osk2|C:\\Copias\\osk2.bak") : kInactive, third};
    if (!reason.isEmpty())
        expected << QStringLiteral("said Information: Imposible cargar parámetros.\r\n\r\n") + reason;
    expected << kInactive << kInactive << kInactive;
    OSK_COMPARE_SNAPSHOT(seen.join('\n'), expected.join('\n'));
}

// "(LOCAL)" or this computer's name, in any case; nothing else.
void TestBackupSchedule::localServerName() {
    QString seen;
    for (const char* name :
         {"(local)", "(LOCAL)", "servidor1", "SERVIDOR1", "SERVIDOR2", "Servidor1\\OSK", ""})
        seen += isLocalSqlServerName(QLatin1String(name), QStringLiteral("Servidor1")) ? '1' : '0';
    QCOMPARE(seen, QStringLiteral("1111000"));
}

// The clock walks from Thursday 3 December 2026 to Monday the 7th; each instant names the schedule
// due then (1-based), "-" none.
void TestBackupSchedule::dueAsTheClockMoves() {
    const BackupSchedules edges = {schedule(1, 3, QTime(0, 0)), schedule(2, 4, QTime(12, 0)),
                                   schedule(3, 6, QTime(23, 59))};
    // An inactive schedule of the same minute, a Day no weekday has, a Type that is weekly.
    const BackupSchedules odd = {schedule(0, 0, QTime(0, 0)), schedule(2, 7, QTime(0, 0)),
                                 schedule(-2, 0, QTime(0, 0))};
    // Of two due at once, the lower-numbered one.
    const BackupSchedules both = {schedule(2, 0, QTime(0, 0)), schedule(1, 0, QTime(0, 0)), {}};
    QStringList seen;
    for (const char* instant :
         {"3 23:59:59", "4 00:00:00", "4 00:00:59", "4 00:01:00", "4 11:59:59", "4 12:00:00", "4 12:00:59",
          "5 12:00:00", "6 23:58:59", "6 23:59:00", "6 23:59:59", "7 00:00:00", "7 23:59:00"}) {
        const QDateTime now =
            QDateTime::fromString(QStringLiteral("2026-12-0") + instant, u"yyyy-MM-d HH:mm:ss");
        QString line = now.toString(u"ddd HH:mm:ss");
        for (const BackupSchedules* set : {&edges, &odd, &both}) {
            const std::optional<int> due = dueBackupSchedule(*set, now);
            line += due ? QStringLiteral(" %1").arg(*due + 1) : QStringLiteral(" -");
        }
        seen << line;
    }
    OSK_COMPARE_SNAPSHOT(seen.join('\n'), QStringLiteral("Thu 23:59:59 - - -\nFri 00:00:00 1 - 2\n"
                                                         "Fri 00:00:59 1 - 2\nFri 00:01:00 - - -\n"
                                                         "Fri 11:59:59 - - -\nFri 12:00:00 2 - -\n"
                                                         "Fri 12:00:59 2 - -\nSat 12:00:00 - - -\n"
                                                         "Sun 23:58:59 - - -\nSun 23:59:00 3 - -\n"
                                                         "Sun 23:59:59 3 - -\nMon 00:00:00 1 3 1\n"
                                                         "Mon 23:59:00 - - -"));
}

void TestBackupSchedule::serverFilesAreRefused_data() {
    QTest::addColumn<QString>("output");      // "%F" stands for the program folder
    QTest::addColumn<bool>("linkedSettings"); // OskServer.INI is a link to Otra/osk.ini
    QTest::addColumn<QString>("refusal");     // empty: allowed

    const QString own = QStringLiteral("El archivo de copia %1 es un archivo del servidor.");
    const auto row = [&](const char* name, const char* output, bool linked, const QString& refusal) {
        QTest::newRow(name) << QString::fromUtf8(output) << linked
                            << (refusal.contains("%1") ? refusal.arg(output) : refusal);
    };
    row("a link to the settings", "%F/copia.obk", false, own);
    row("the settings, lower case", "%F/oskserver.ini", false, own);
    row("the settings, upper case", "%F/OSKSERVER.INI", false, own);
    row("a database", "%F/Log/../Data/oskNueva.DB", false,
        QStringLiteral("El archivo de copia %1 es una base de datos del servidor."));
    row("the instance lock", "%F/.oskserverd.lock", false, own);
    row("the folder's socket", "%F/oskserver.sock", false, own);
    row("the runtime socket", "%F/run/control", false, own);
    row("a day's log", "%F/Log/20261204.LOG", false, own);
    row("the journal", "%F/Copias/../Log/EventLog.Journal", false, own);
    row("linked settings, its name", "%F/Copias/../OskServer.INI", true, own);
    row("linked settings, its target", "%F/Otra/osk.ini", true, own);
    const QString folder = QStringLiteral("El archivo de copia %1 es una carpeta.");
    row("the folder Log", "%F/Log", false, folder);
    row("the folder Data", "%F/Data/", false, folder);
    row("the program folder", "%F", false, folder);
    const QString notRegular = QStringLiteral("El archivo de copia %1 no es un archivo normal.");
    row("a FIFO", "%F/copia.fifo", false, notRegular);
    row("a device", "/dev/null", false, notRegular);
    const QString link = QStringLiteral("El archivo de copia %1 es un enlace simbólico.");
    row("a dangling link", "%F/perdido.obk", false, link);
    row("a link to a backup", "%F/enlace.obk", false, link);
    row("no name", "", false, QStringLiteral("No se ha indicado el archivo de copia."));
    for (const char* allowed : {"%F/Data.obk", "%F/Log/notas.txt", "%F/Copias/OskServer.INI",
                                "%F/Data/osk.obk", "%F/Copias/osk.obk", "%F/Otra/osk.ini", "%F/Copias/a.log"})
        row(allowed, allowed, false, QString());
}

// Paths are compared as written and resolved; whatever the backup would replace that is no
// regular file is refused; files beside the program's own are backup files like any other.
void TestBackupSchedule::serverFilesAreRefused() {
    QFETCH(QString, output);
    QFETCH(bool, linkedSettings);
    QFETCH(QString, refusal);
    TempProgramFolder folder;
    output.replace(QStringLiteral("%F"), folder.path());
    refusal.replace(QStringLiteral("%F"), folder.path());
    const EmbeddedEngine engine(folder.file(QStringLiteral("Data")));
    for (const char* made : {"Data", "Log", "Copias", "Otra", "run"})
        QVERIFY(QDir().mkpath(folder.file(QString::fromUtf8(made))));
    const QString settings = folder.file(QStringLiteral("OskServer.INI"));
    const QString target = folder.file(QStringLiteral("Otra/osk.ini"));
    QVERIFY(linkedSettings ? writeFileBytes(target, "[Main]\r\n") && QFile::link(target, settings)
                           : writeFileBytes(settings, "[Main]\r\n"));
    QVERIFY(writeFileBytes(folder.file(QStringLiteral("Copias/osk.obk")), "copia"));
    QVERIFY(QFile::link(settings, folder.file(QStringLiteral("copia.obk"))));
    QVERIFY(QFile::link(folder.file(QStringLiteral("Copias/osk.obk")),
                        folder.file(QStringLiteral("enlace.obk"))));
    QVERIFY(QFile::link(folder.file(QStringLiteral("nada.obk")), folder.file(QStringLiteral("perdido.obk"))));
    QCOMPARE(::mkfifo(QFile::encodeName(folder.file(QStringLiteral("copia.fifo"))).constData(), 0600), 0);
    // As the service manager runs the service: its socket in the runtime folder it was given.
    qputenv("RUNTIME_DIRECTORY", QFile::encodeName(folder.file(QStringLiteral("run"))));
    const Status checked = checkBackupOutput(output, engine, settings);
    qunsetenv("RUNTIME_DIRECTORY");
    QCOMPARE(checked.ok() ? QString() : checked.error(), refusal);
}

QTEST_GUILESS_MAIN(TestBackupSchedule)
#include "test_backup_schedule.moc"
