#include "backup/backup_schedule.h"
#include "common/operator.h"
#include "config/profile_file.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QLocale>
#include <QTest>

using namespace osk;
using namespace osk::test;

namespace {

const QString kLoadError = QStringLiteral("Imposible cargar parámetros.\r\n\r\n");
const QString kTypeMismatch = QStringLiteral("No coinciden los tipos");
const QString kOverflow = QStringLiteral("Desbordamiento");

// A schedule as one comparable text: "Type|Day|HH:MM:SS|DataBase|OutputFile".
QString describe(const BackupSchedule& schedule) {
    return QStringLiteral("%1|%2|%3|%4|%5")
        .arg(schedule.Type)
        .arg(schedule.Day)
        .arg(schedule.Hour.toString(u"HH:mm:ss"), schedule.DataBase, schedule.OutputFile);
}

QStringList describe(const BackupSchedules& schedules) {
    QStringList all;
    for (const BackupSchedule& schedule : schedules)
        all << describe(schedule);
    return all;
}

const QString kInactive = QStringLiteral("0|0|00:00:00||");

QByteArray section(int number, const QByteArray& type, const QByteArray& day, const QByteArray& hour) {
    return "[Backup" + QByteArray::number(number) + "]\r\nType=" + type + "\r\nDataBase=osk" +
           QByteArray::number(number) + "\r\nOutPutFile=C:\\Copias\\osk" + QByteArray::number(number) +
           ".bak\r\nDay=" + day + "\r\nHour=" + hour + "\r\n";
}

struct Loaded {
    QStringList schedules;
    std::vector<ShownMessage> messages;
};

Loaded load(const QByteArray& settings, bool serverIsLocal = true) {
    TempProgramFolder folder;
    const QString path = folder.file(QStringLiteral("OskServer.INI"));
    if (!settings.isNull() && !writeFileBytes(path, settings))
        return {};
    ScriptedOperator op;
    const BackupSchedules schedules = loadBackupSchedules(ProfileFile(path), serverIsLocal, op);
    return {describe(schedules), op.messages};
}

} // namespace

class TestBackupSchedule final : public QObject {
    Q_OBJECT

private slots:
    // Decimal points and separators in the values are read as the locale writes them.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void localServerName_data();
    void localServerName();
    void loadsTheThreeSections();
    void serverElsewhereLoadsNothing();
    void missingFileOrTypeLeavesSchedulesInactive_data();
    void missingFileOrTypeLeavesSchedulesInactive();
    void convertedValues_data();
    void convertedValues();
    void badValueStopsTheLoad_data();
    void badValueStopsTheLoad();
    void unwritableOutputFoldersAreNamed();
};

void TestBackupSchedule::localServerName_data() {
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("computer");
    QTest::addColumn<bool>("local");

    QTest::newRow("(LOCAL)") << "(LOCAL)"
                             << "SERVIDOR1" << true;
    QTest::newRow("(local)") << "(local)"
                             << "SERVIDOR1" << true;
    QTest::newRow("(Local)") << "(Local)"
                             << "servidor1" << true;
    QTest::newRow("computer name") << "SERVIDOR1"
                                   << "SERVIDOR1" << true;
    QTest::newRow("computer name, other case") << "servidor1"
                                               << "Servidor1" << true;
    QTest::newRow("other computer") << "SERVIDOR2"
                                    << "SERVIDOR1" << false;
    QTest::newRow("named instance on this computer") << "SERVIDOR1\\OSK"
                                                     << "SERVIDOR1" << false;
    QTest::newRow("LOCAL without parentheses") << "LOCAL"
                                               << "SERVIDOR1" << false;
    QTest::newRow("(LOCAL) with a blank") << "(LOCAL) "
                                          << "SERVIDOR1" << false;
    QTest::newRow("no name") << ""
                             << "SERVIDOR1" << false;
}

void TestBackupSchedule::localServerName() {
    QFETCH(QString, server);
    QFETCH(QString, computer);
    QFETCH(bool, local);

    QCOMPARE(isLocalSqlServerName(server, computer), local);
}

void TestBackupSchedule::loadsTheThreeSections() {
    // As the editor writes them, and as a hand edit leaves them: other case, keys in another order.
    const Loaded loaded = load("[Main]\r\nPort=1033\r\n" + section(1, "1", "0", "02:30") +
                               "[backup2]\r\nhour=23:05\r\nday=6\r\ntype=2\r\noutputfile=D:\\b.bak\r\n"
                               "DATABASE=oskCentral\r\n" +
                               section(3, "3", "4", "00:00"));

    QVERIFY(loaded.messages.empty());
    QCOMPARE(loaded.schedules, (QStringList{QStringLiteral("1|0|02:30:00|osk1|C:\\Copias\\osk1.bak"),
                                            QStringLiteral("2|6|23:05:00|oskCentral|D:\\b.bak"),
                                            QStringLiteral("3|4|00:00:00|osk3|C:\\Copias\\osk3.bak")}));
}

void TestBackupSchedule::serverElsewhereLoadsNothing() {
    // Nothing is read at all: not even a bad value is reported.
    const Loaded loaded = load(section(1, "1", "0", "02:30") + section(2, "1", "x", "02:30"), false);

    QVERIFY(loaded.messages.empty());
    QCOMPARE(loaded.schedules, (QStringList{kInactive, kInactive, kInactive}));
}

void TestBackupSchedule::missingFileOrTypeLeavesSchedulesInactive_data() {
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QStringList>("schedules");

    const QString second = QStringLiteral("1|0|02:30:00|osk2|C:\\Copias\\osk2.bak");
    QTest::newRow("no settings file") << QByteArray() << QStringList{kInactive, kInactive, kInactive};
    QTest::newRow("no backup sections")
        << QByteArray("[Main]\r\nPort=1033\r\n") << QStringList{kInactive, kInactive, kInactive};
    // The rest of a section without "Type" is not even read, so its bad values go unnoticed.
    QTest::newRow("empty Type") << section(1, "", "x", "99:99") + section(2, "1", "0", "02:30")
                                << QStringList{kInactive, second, kInactive};
    QTest::newRow("no Type key") << QByteArray("[Backup1]\r\nDataBase=osk1\r\nDay=x\r\n") +
                                        section(2, "1", "0", "02:30")
                                 << QStringList{kInactive, second, kInactive};
    QTest::newRow("Type 0 is read as inactive")
        << section(1, "0", "0", "00:00") + section(2, "1", "0", "02:30")
        << QStringList{QStringLiteral("0|0|00:00:00|osk1|C:\\Copias\\osk1.bak"), second, kInactive};
}

void TestBackupSchedule::missingFileOrTypeLeavesSchedulesInactive() {
    QFETCH(QByteArray, settings);
    QFETCH(QStringList, schedules);

    const Loaded loaded = load(settings);

    QVERIFY(loaded.messages.empty());
    QCOMPARE(loaded.schedules, schedules);
}

void TestBackupSchedule::convertedValues_data() {
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("day");
    QTest::addColumn<QByteArray>("hour");
    QTest::addColumn<QString>("schedule");

    QTest::newRow("daily") << QByteArray("1") << QByteArray("0") << QByteArray("02:30") << "1|0|02:30:00";
    QTest::newRow("weekly") << QByteArray("2") << QByteArray("6") << QByteArray("23:59") << "2|6|23:59:00";
    QTest::newRow("Type 3 is kept") << QByteArray("3") << QByteArray("1") << QByteArray("12:00")
                                    << "3|1|12:00:00";
    QTest::newRow("hexadecimal Type")
        << QByteArray("&H2") << QByteArray("0") << QByteArray("02:30") << "2|0|02:30:00";
    QTest::newRow("Type rounds halves to even")
        << QByteArray("2.5") << QByteArray("0") << QByteArray("02:30") << "2|0|02:30:00";
    QTest::newRow("negative Type") << QByteArray("-1") << QByteArray("0") << QByteArray("02:30")
                                   << "-1|0|02:30:00";
    QTest::newRow("Day rounds halves to even")
        << QByteArray("2") << QByteArray("3.5") << QByteArray("02:30") << "2|4|02:30:00";
    QTest::newRow("Day beyond the week is kept")
        << QByteArray("2") << QByteArray("255") << QByteArray("02:30") << "2|255|02:30:00";
    QTest::newRow("one-digit hour") << QByteArray("1") << QByteArray("0") << QByteArray("7:05")
                                    << "1|0|07:05:00";
    QTest::newRow("one-digit minute")
        << QByteArray("1") << QByteArray("0") << QByteArray("12:5") << "1|0|12:05:00";
    QTest::newRow("afternoon hour") << QByteArray("1") << QByteArray("0") << QByteArray("2:30 PM")
                                    << "1|0|14:30:00";
    QTest::newRow("hour with seconds")
        << QByteArray("1") << QByteArray("0") << QByteArray("07:05:40") << "1|0|07:05:40";
}

void TestBackupSchedule::convertedValues() {
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, day);
    QFETCH(QByteArray, hour);
    QFETCH(QString, schedule);

    const Loaded loaded = load(section(1, type, day, hour));

    QVERIFY(loaded.messages.empty());
    QCOMPARE(loaded.schedules,
             (QStringList{schedule + QStringLiteral("|osk1|C:\\Copias\\osk1.bak"), kInactive, kInactive}));
}

void TestBackupSchedule::badValueStopsTheLoad_data() {
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("partial");

    // The second schedule keeps what was read before the bad value; Day comes before Hour.
    const QString beforeDay = QStringLiteral("1|0|00:00:00|osk2|C:\\Copias\\osk2.bak");
    const QString beforeHour = QStringLiteral("1|5|00:00:00|osk2|C:\\Copias\\osk2.bak");
    QTest::newRow("empty Day") << section(2, "1", "", "02:30") << kTypeMismatch << beforeDay;
    QTest::newRow("Day not a number") << section(2, "1", "lunes", "02:30") << kTypeMismatch << beforeDay;
    QTest::newRow("Day with trailing text") << section(2, "1", "5x", "02:30") << kTypeMismatch << beforeDay;
    QTest::newRow("Day above a byte") << section(2, "1", "256", "02:30") << kOverflow << beforeDay;
    QTest::newRow("negative Day") << section(2, "1", "-1", "02:30") << kOverflow << beforeDay;
    QTest::newRow("empty Hour") << section(2, "1", "5", "") << kTypeMismatch << beforeHour;
    QTest::newRow("Hour without colon") << section(2, "1", "5", "0230") << kTypeMismatch << beforeHour;
    QTest::newRow("Hour 24") << section(2, "1", "5", "24:00") << kTypeMismatch << beforeHour;
    QTest::newRow("minute 60") << section(2, "1", "5", "12:60") << kTypeMismatch << beforeHour;
    QTest::newRow("afternoon past 12") << section(2, "1", "5", "13:00 PM") << kTypeMismatch << beforeHour;
    QTest::newRow("Hour not a time") << section(2, "1", "5", "noche") << kTypeMismatch << beforeHour;
    QTest::newRow("Type not a number") << section(2, "diaria", "5", "02:30") << kTypeMismatch << kInactive;
    QTest::newRow("Type with trailing text") << section(2, "2x", "5", "02:30") << kTypeMismatch << kInactive;
    QTest::newRow("Type beyond 16 bits") << section(2, "40000", "5", "02:30") << kOverflow << kInactive;
}

void TestBackupSchedule::badValueStopsTheLoad() {
    QFETCH(QByteArray, second);
    QFETCH(QString, reason);
    QFETCH(QString, partial);

    const Loaded loaded = load(section(1, "2", "3", "04:15") + second + section(3, "1", "0", "05:00"));

    QCOMPARE(loaded.messages.size(), size_t(1));
    QCOMPARE(loaded.messages[0].text, kLoadError + reason);
    QCOMPARE(loaded.messages[0].icon, MessageIcon::Information);
    QCOMPARE(loaded.messages[0].title, kDefaultTitle);
    QCOMPARE(loaded.schedules,
             (QStringList{QStringLiteral("2|3|04:15:00|osk1|C:\\Copias\\osk1.bak"), partial, kInactive}));
}

void TestBackupSchedule::unwritableOutputFoldersAreNamed() {
    TempProgramFolder folder;
    QVERIFY(writeFileBytes(folder.file(QStringLiteral("file")), "not a folder"));
    BackupSchedules schedules{};
    schedules[0] = {QStringLiteral("osk1"), 1, 0, QTime(4, 15), folder.file(QStringLiteral("osk1.obk"))};
    schedules[1] = {QStringLiteral("osk2"), 2, 3, QTime(5, 0), folder.file(QStringLiteral("gone/osk2.obk"))};
    schedules[2] = {QStringLiteral("osk3"), 1, 0, QTime(6, 0), folder.file(QStringLiteral("file/osk3.obk"))};
    // An inactive schedule is never run, whatever its folder.
    BackupSchedules inactive = schedules;
    inactive[1].Type = 0;
    inactive[2].Type = 0;

    const QString tail = QStringLiteral(": la copia de seguridad no podrá guardarse.");
    QCOMPARE(outputFolderProblems(schedules),
             (QStringList{QStringLiteral("Copia de Seguridad 2: No se puede escribir en la carpeta ") +
                              folder.file(QStringLiteral("gone")) + tail,
                          QStringLiteral("Copia de Seguridad 3: No se puede escribir en la carpeta ") +
                              folder.file(QStringLiteral("file")) + tail}));
    QCOMPARE(outputFolderProblems(inactive), QStringList());
}

QTEST_GUILESS_MAIN(TestBackupSchedule)
#include "test_backup_schedule.moc"
