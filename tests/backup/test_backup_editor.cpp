#include "backup/backup_editor.h"
#include "backup_fakes.h"
#include "config/profile_file.h"
#include "support/scripted_operator.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QTest>

using namespace osk;
using namespace osk::test;

namespace {

// One section as the editor writes it.
QByteArray section(int number, const QByteArray& type, const QByteArray& database, const QByteArray& file,
                   const QByteArray& day, const QByteArray& hour) {
    return "[Backup" + QByteArray::number(number) + "]\r\nType=" + type + "\r\nDataBase=" + database +
           "\r\nOutPutFile=" + file + "\r\nDay=" + day + "\r\nHour=" + hour + "\r\n";
}

QByteArray inactive(int number) {
    return section(number, "0", "", "", "0", "00:00");
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

class TestBackupEditor final : public QObject {
    Q_OBJECT

private slots:
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

QTEST_GUILESS_MAIN(TestBackupEditor)
#include "test_backup_editor.moc"
