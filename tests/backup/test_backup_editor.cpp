#include "backup/backup_editor.h"
#include "backup_fakes.h"
#include "config/profile_file.h"
#include "support/scripted_operator.h"
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
        ready = settingsBytes.isEmpty() || writeFileBytes(settings.path(), settingsBytes);
        editor.load();
    }
    QByteArray file() const { return readFileBytes(settings.path()); }

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
        QVERIFY(!editor.controls().detailsEnabled);

        editor.selectType(BackupEditor::kDaily);
        QCOMPARE(editor.controls().hour + editor.controls().minute, QStringLiteral("0000"));
        QVERIFY(editor.controls().detailsEnabled && !editor.controls().dayEnabled);
        editor.selectDatabase(1);
        editor.setHourText(QStringLiteral("7"));
        editor.setMinuteText(QStringLiteral("5"));
        editor.setFileText(QStringLiteral("C:\\Copias\\beta.obk"));

        editor.selectBackup(1);
        const BackupEditorControls& shown = editor.controls();
        QCOMPARE(shown.type, BackupEditor::kWeekly);
        QVERIFY(shown.detailsEnabled && shown.dayEnabled);
        QCOMPARE(shown.day, 6);
        QCOMPARE(shown.database, 1);
        QCOMPARE(shown.hour + shown.minute, QStringLiteral("0300"));
        editor.selectDay(2);
        editor.selectBackup(0);
        QCOMPARE(editor.controls().hour + editor.controls().minute, QStringLiteral("0705"));
        QCOMPARE(f.file(), before);

        QVERIFY(editor.accept());
        QCOMPARE(f.file(), section(2, "2", "oskbeta", "C:\\b.obk", "2", "03:00") +
                               section(1, "1", "oskbeta", "C:\\Copias\\beta.obk", "0", "07:05") +
                               inactive(3));
        QCOMPARE(f.op.messages.size(), size_t(0));
    }

    void leavingIsRefused_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("time"); // txtHour:txtMinute
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("message"); // empty: the schedule is left

        const QString badHour = QStringLiteral("Información de hora incorrecta.");
        const QString badMinute = QStringLiteral("Información de minuto incorrecta.");
        const QString noFile = QStringLiteral("Debe especificar un archivo para realizar la copia.");
        QTest::newRow("hour 24") << 1 << QStringLiteral("24:00") << QStringLiteral("C:\\a.obk") << badHour;
        QTest::newRow("hour ab") << 1 << QStringLiteral("ab:00") << QStringLiteral("C:\\a.obk") << badHour;
        QTest::newRow("minute 60") << 2 << QStringLiteral("23:60") << QStringLiteral("C:\\a.obk")
                                   << badMinute;
        QTest::newRow("Diaria, no file") << 1 << QStringLiteral("23:59") << QString() << noFile;
        QTest::newRow("Semanal, no file") << 2 << QStringLiteral("23:59") << QString() << noFile;
        // The program's own files, "%F" standing for its folder.
        const QString own = QStringLiteral("El archivo de copia %1 es un archivo del servidor.");
        for (const char* name : {"%F/oskserver.ini", "%F/Log/20261204.LOG",
                                 "%F/Copias/../Log/eventlog.journal", "%F/.oskserverd.lock"})
            QTest::newRow(name) << 1 << QStringLiteral("23:59") << QString::fromUtf8(name)
                                << own.arg(QString::fromUtf8(name));
        // The file judged is the one the settings file gives back, without the blanks around it.
        QTest::newRow("a blank after the settings")
            << 1 << QStringLiteral("23:59") << QStringLiteral("%F/OskServer.INI ")
            << own.arg("%F/OskServer.INI");
        QTest::newRow("blanks only") << 1 << QStringLiteral("23:59") << QStringLiteral("   ") << noFile;
        QTest::newRow("a folder") << 2 << QStringLiteral("23:59") << QStringLiteral("%F")
                                  << QStringLiteral("El archivo de copia %F es una carpeta.");
        // Its time boxes are disabled, and not checked.
        QTest::newRow("Inactiva") << 0 << QStringLiteral("99:99") << QString() << QString();
    }

    // Another schedule is shown only once the one on screen stands; a bad time never reaches the file.
    void leavingIsRefused() {
        QFETCH(int, type);
        QFETCH(QString, time);
        QFETCH(QString, file);
        QFETCH(QString, message);
        Fixture f;
        file.replace(QStringLiteral("%F"), f.folder.path());
        message.replace(QStringLiteral("%F"), f.folder.path());
        f.editor.selectType(type);
        f.editor.setHourText(time.section(u':', 0, 0));
        f.editor.setMinuteText(time.section(u':', 1, 1));
        f.editor.setFileText(file);

        f.editor.selectBackup(2);
        QCOMPARE(f.editor.controls().backup, message.isEmpty() ? 2 : 0);
        QCOMPARE(f.op.messages.size(), size_t(message.isEmpty() ? 0 : 1));
        if (!message.isEmpty())
            QCOMPARE(f.op.messages[0].text, message);
        if (!file.trimmed().isEmpty()) {
            QVERIFY(!f.editor.accept());
            QVERIFY(!f.settings.exists());
        }
    }

    // Without a database list an active schedule keeps the database it had.
    void failedDatabaseListKeepsStoredNames() {
        Fixture f(section(1, "1", "oskalfa", "C:\\a.obk", "0", "04:15"), {});
        QCOMPARE(f.op.messages.size(), size_t(1));
        QCOMPARE(f.op.messages[0].text, QStringLiteral("CargaComboBDERRORno disponible"));

        f.editor.selectType(BackupEditor::kWeekly);
        QVERIFY(f.editor.accept());
        QCOMPARE(f.file(), section(1, "2", "oskalfa", "C:\\a.obk", "0", "04:15") + inactive(2) + inactive(3));
    }
};

QTEST_GUILESS_MAIN(TestBackupEditor)
#include "test_backup_editor.moc"
