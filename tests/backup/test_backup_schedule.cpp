#include "backup/backup_schedule.h"
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

// Section n from "Type,Day,Hour".
QByteArray section(int number, const QByteArray& values) {
    const QByteArray n = QByteArray::number(number);
    const QList<QByteArray> v = values.split(',');
    return "[Backup" + n + "]\r\nType=" + v.value(0) + "\r\nDataBase=osk" + n +
           "\r\nOutPutFile=C:\\Copias\\osk" + n + ".bak\r\nDay=" + v.value(1) + "\r\nHour=" + v.value(2) +
           "\r\n";
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

} // namespace

class TestBackupSchedule final : public QObject {
    Q_OBJECT

private slots:
    // Decimal points in the values are read as the locale writes them.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void loadConvertsEachValue_data();
    void loadConvertsEachValue();
    void localServerName();
    void dueAsTheClockMoves();
    void outputFoldersThatCannotTakeTheFile();
    void serverFilesAreRefused_data();
    void serverFilesAreRefused();
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

// A folder that is there takes a file not made yet; a missing one is named, unless the schedule
// is inactive and never runs.
void TestBackupSchedule::outputFoldersThatCannotTakeTheFile() {
    TempProgramFolder folder;
    BackupSchedules schedules = {schedule(1, 0, QTime(2, 30), folder.file(QStringLiteral("osk1.obk"))),
                                 schedule(2, 3, QTime(2, 30), folder.file(QStringLiteral("gone/osk2.obk"))),
                                 schedule(1, 0, QTime(2, 30), QString())};
    QStringList seen = outputFolderProblems(schedules);
    schedules[1].Type = 0;
    schedules[2].Type = 0;
    seen << QStringLiteral("inactive:") << outputFolderProblems(schedules);
    OSK_COMPARE_SNAPSHOT(
        seen.join('\n').replace(folder.path(), QStringLiteral("%F")),
        QStringLiteral("Copia de Seguridad 2: No se puede escribir en la carpeta %F/gone: la "
                       "copia de seguridad no podrá guardarse.\nCopia de Seguridad 3: No se ha "
                       "indicado el archivo de copia.\ninactive:"));
}

void TestBackupSchedule::serverFilesAreRefused_data() {
    QTest::addColumn<QString>("output");      // "%F" stands for the program folder
    QTest::addColumn<bool>("linkedSettings"); // OskServer.INI is a link to Otra/osk.ini
    QTest::addColumn<QString>("refusal");     // empty: allowed

    const QString own = QStringLiteral("El archivo de copia %1 es un archivo del servidor.");
    const auto row = [&](const char* name, const char* output, bool linked, const QString& refusal) {
        QTest::newRow(name) << QString::fromUtf8(output) << linked << refusal.arg(QString::fromUtf8(output));
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
