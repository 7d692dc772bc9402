#include "backup/backup_schedule.h"
#include "common/operator.h"
#include "config/profile_file.h"
#include "database/embedded_engine.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QLocale>
#include <QTest>
#include <sys/stat.h>

using namespace osk;
using namespace osk::test;

namespace {

const QString kInactive = QStringLiteral("0|0|00:00:00||");
const QString kTypeMismatch = QStringLiteral("No coinciden los tipos");
const QString kOverflow = QStringLiteral("Desbordamiento");

// Section n from "Type,Day,Hour".
QByteArray section(int number, const QByteArray& values) {
    const QByteArray n = QByteArray::number(number);
    const QList<QByteArray> v = values.split(',');
    return "[Backup" + n + "]\r\nType=" + v.value(0) + "\r\nDataBase=osk" + n +
           "\r\nOutPutFile=C:\\Copias\\osk" + n + ".bak\r\nDay=" + v.value(1) + "\r\nHour=" + v.value(2) +
           "\r\n";
}

// Schedule 2 of section() with the given "Type|Day|HH:MM:SS".
QString second(const char* values) {
    return QLatin1String(values) + QStringLiteral("|osk2|C:\\Copias\\osk2.bak");
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

QDateTime at(int daysAfterMonday, int hour, int minute, int second = 0) {
    return QDateTime(QDate(2026, 12, 7).addDays(daysAfterMonday), QTime(hour, minute, second));
}

// A schedule at 02:30.
BackupSchedule schedule(int type, int day, const QString& file = QStringLiteral("C:\\osk.bak")) {
    return {QStringLiteral("osk"), type, uint8_t(day), QTime(2, 30), file};
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
    void dueSchedule_data();
    void dueSchedule();
    void outputFoldersThatCannotTakeTheFile();
    void serverFilesAreRefused_data();
    void serverFilesAreRefused();
};

void TestBackupSchedule::loadConvertsEachValue_data() {
    QTest::addColumn<QByteArray>("values"); // Type, Day, Hour of section 2
    QTest::addColumn<QString>("loaded");
    QTest::addColumn<QString>("reason"); // empty: no load error

    QTest::newRow("daily") << QByteArray("1,0,02:30") << second("1|0|02:30:00") << QString();
    QTest::newRow("Type 3 kept") << QByteArray("3,6,23:59") << second("3|6|23:59:00") << QString();
    QTest::newRow("hexadecimal Type") << QByteArray("&H2,255,7:5") << second("2|255|07:05:00") << QString();
    QTest::newRow("halves to even") << QByteArray("2.5,3.5,2:30 PM") << second("2|4|14:30:00") << QString();
    // The rest of a section without "Type" is not even read.
    QTest::newRow("no Type") << QByteArray(",x,99:99") << kInactive << QString();
    // A schedule with a bad value is inactive, whatever was read before it: it would run at times
    // nobody wrote.
    QTest::newRow("Type diaria") << QByteArray("diaria,5,02:30") << kInactive << kTypeMismatch;
    QTest::newRow("Type 2x") << QByteArray("2x,5,02:30") << kInactive << kTypeMismatch;
    QTest::newRow("Day lunes") << QByteArray("1,lunes,02:30") << kInactive << kTypeMismatch;
    QTest::newRow("Day 256") << QByteArray("1,256,02:30") << kInactive << kOverflow;
    QTest::newRow("weekly, no Day") << QByteArray("2,,02:30") << kInactive << kTypeMismatch;
    QTest::newRow("Hour 25:00") << QByteArray("1,5,25:00") << kInactive << kTypeMismatch;
    QTest::newRow("Hour 12:60") << QByteArray("1,5,12:60") << kInactive << kTypeMismatch;
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
    const BackupSchedules schedules = loadBackupSchedules(ProfileFile(path), true, op);

    const QString third =
        reason.isEmpty() ? QStringLiteral("1|0|05:00:00|osk3|C:\\Copias\\osk3.bak") : kInactive;
    QCOMPARE(describe(schedules),
             (QStringList{QStringLiteral("2|3|04:15:00|osk1|C:\\Copias\\osk1.bak"), loaded, third}));
    QCOMPARE(op.messages.size(), size_t(reason.isEmpty() ? 0 : 1));
    if (!reason.isEmpty()) {
        QCOMPARE(op.messages[0].text, QStringLiteral("Imposible cargar parámetros.\r\n\r\n") + reason);
        QCOMPARE(op.messages[0].icon, MessageIcon::Information);
    }
    // Backup files are on the SQL Server's own disk: nothing is read for one elsewhere.
    QCOMPARE(describe(loadBackupSchedules(ProfileFile(path), false, op)),
             (QStringList{kInactive, kInactive, kInactive}));
}

// "(LOCAL)" or this computer's name, in any case; nothing else.
void TestBackupSchedule::localServerName() {
    const auto local = [](const char* name) {
        return isLocalSqlServerName(QLatin1String(name), QStringLiteral("Servidor1"));
    };
    QCOMPARE((QList<bool>{local("(local)"), local("servidor1"), local("SERVIDOR2"), local("Servidor1\\OSK")}),
             (QList<bool>{true, true, false, false}));
}

void TestBackupSchedule::dueSchedule_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("day");
    QTest::addColumn<QDateTime>("now"); // the schedule is at 02:30
    QTest::addColumn<bool>("due");

    QTest::newRow("daily, on its minute") << 1 << 6 << at(4, 2, 30, 0) << true;
    QTest::newRow("daily, end of its minute") << 1 << 0 << at(4, 2, 30, 59) << true;
    QTest::newRow("daily, a second early") << 1 << 0 << at(4, 2, 29, 59) << false;
    QTest::newRow("daily, a minute late") << 1 << 0 << at(4, 2, 31) << false;
    QTest::newRow("weekly Day 0, Monday") << 2 << 0 << at(0, 2, 30) << true;
    QTest::newRow("weekly Day 0, Tuesday") << 2 << 0 << at(1, 2, 30) << false;
    QTest::newRow("weekly Day 6, Sunday") << 2 << 6 << at(6, 2, 30) << true;
    QTest::newRow("Type 3, its day") << 3 << 3 << at(3, 2, 30) << true;
    QTest::newRow("Type -2, another day") << -2 << 3 << at(4, 2, 30) << false;
    QTest::newRow("Day 7, Sunday") << 2 << 7 << at(6, 2, 30) << false;
    QTest::newRow("inactive") << 0 << 4 << at(4, 2, 30) << false;
}

void TestBackupSchedule::dueSchedule() {
    QFETCH(int, type);
    QFETCH(int, day);
    QFETCH(QDateTime, now);
    QFETCH(bool, due);

    // An inactive schedule of the same minute before it, a weekly one of another day after it.
    const BackupSchedules schedules = {schedule(0, day), schedule(type, day),
                                       schedule(2, (now.date().dayOfWeek() + 2) % 7)};
    QCOMPARE(dueBackupSchedule(schedules, now), due ? std::optional<int>(1) : std::nullopt);
    // Of two due at once, the lower-numbered one.
    const BackupSchedules both = {schedule(2, 0), schedule(1, 0), {}};
    QCOMPARE(dueBackupSchedule(both, at(0, 2, 30)), std::optional<int>(0));
}

// A folder that is there takes a file not made yet; a missing one is named, unless the schedule
// is inactive and never runs.
void TestBackupSchedule::outputFoldersThatCannotTakeTheFile() {
    TempProgramFolder folder;
    BackupSchedules schedules = {schedule(1, 0, folder.file(QStringLiteral("osk1.obk"))),
                                 schedule(2, 3, folder.file(QStringLiteral("gone/osk2.obk"))),
                                 schedule(1, 0, QString())};

    QCOMPARE(outputFolderProblems(schedules),
             (QStringList{QStringLiteral("Copia de Seguridad 2: No se puede escribir en la carpeta ") +
                              folder.file(QStringLiteral("gone")) +
                              QStringLiteral(": la copia de seguridad no podrá guardarse."),
                          QStringLiteral("Copia de Seguridad 3: No se ha indicado el archivo de copia.")}));
    schedules[1].Type = 0;
    schedules[2].Type = 0;
    QCOMPARE(outputFolderProblems(schedules), QStringList());
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
    row("a database", "%F/Log/../Data/oskNueva.DB", false,
        QStringLiteral("El archivo de copia %1 es una base de datos del servidor."));
    row("the instance lock", "%F/.oskserverd.lock", false, own);
    row("the folder's socket", "%F/oskserver.sock", false, own);
    row("the runtime socket", "%F/run/control", false, own);
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
    for (const char* allowed : {"%F/Data.obk", "%F/Log/notas.txt", "%F/Copias/OskServer.INI",
                                "%F/Data/osk.obk", "%F/Copias/osk.obk", "%F/Otra/osk.ini"})
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
