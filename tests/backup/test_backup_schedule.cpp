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
#include "support/scripted_operator.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QLocale>
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

} // namespace

// The schedules as the settings file holds them and the check runs them, and the editor of
// frmAutoBackup over them.
class TestBackupSchedule final : public QObject {
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
};

QTEST_MAIN(TestBackupSchedule)
#include "test_backup_schedule.moc"
