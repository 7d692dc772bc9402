#include "backup/backup_editor.h"
#include "backup_fakes.h"
#include "common/operator.h"
#include "config/profile_file.h"
#include "database/embedded_engine.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QFile>
#include <QScopeGuard>
#include <QTest>
#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

using namespace osk;
using namespace osk::test;

namespace {

const QString kFileMissing = QStringLiteral("Debe especificar un archivo para realizar la copia.");

// One section as the editor writes it.
QByteArray section(int number, const QByteArray& type, const QByteArray& database, const QByteArray& file,
                   const QByteArray& day, const QByteArray& hour) {
    return "[Backup" + QByteArray::number(number) + "]\r\nType=" + type + "\r\nDataBase=" + database +
           "\r\nOutPutFile=" + file + "\r\nDay=" + day + "\r\nHour=" + hour + "\r\n";
}

QByteArray inactive(int number) {
    return section(number, "0", "", "", "0", "00:00");
}

// The operator of the other tests, who also remembers what each save dialog was opened with.
class FileDialogOperator final : public Operator {
public:
    void showMessage(const QString& text, MessageIcon icon, const QString& title) override {
        scripted.showMessage(text, icon, title);
    }
    bool ask(const QString& text, MessageIcon icon, const QString& title) override {
        return scripted.ask(text, icon, title);
    }
    QString askText(const QString& prompt, const QString& title, const QString& defaultAnswer) override {
        return scripted.askText(prompt, title, defaultAnswer);
    }
    QString askSaveFile(const QString& suffix, const QString& filter, const QString& initialName) override {
        saveDialogs << QStringList{suffix, filter, initialName};
        return scripted.askSaveFile(suffix, filter, initialName);
    }
    void setBusy(bool busy) override { scripted.setBusy(busy); }

    ScriptedOperator scripted;
    QList<QStringList> saveDialogs;
};

} // namespace

class TestBackupEditor final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        m_engine = std::make_unique<EmbeddedEngine>(m_folder->file(QStringLiteral("Data")));
        for (const char* name : {"oskalfa", "oskbeta"}) {
            const Status created = m_engine->createProductDatabase(QString::fromLatin1(name));
            QVERIFY2(created.ok(), qPrintable(created.error()));
        }
        m_settings = std::make_unique<ProfileFile>(m_folder->file(QStringLiteral("OskServer.INI")));
        m_operator = std::make_unique<FileDialogOperator>();
    }

    void cleanup() {
        m_operator.reset();
        m_settings.reset();
        m_engine.reset();
        m_folder.reset();
    }

    void opensWithThreeInactiveSchedules() {
        BackupEditor editor(*m_engine, *m_settings, *m_operator);
        editor.load();

        QCOMPARE(editor.shownIndex(), 0);
        QCOMPARE(editor.databases(), QStringList({QStringLiteral("oskalfa"), QStringLiteral("oskbeta")}));
        const BackupEditorControls& shown = editor.controls();
        QCOMPARE(shown.backup, 0);
        QCOMPARE(shown.type, BackupEditor::kInactive);
        QCOMPARE(shown.database, 0);
        QVERIFY(shown.hour.isEmpty() && shown.minute.isEmpty() && shown.file.isEmpty());
        QVERIFY(!shown.detailsEnabled && !shown.dayEnabled);
        for (const BackupSchedule& schedule : editor.schedules())
            QCOMPARE(schedule.Type, 0);
        QVERIFY(messages().empty());
        QVERIFY(!m_settings->exists());
    }

    void opensOnTheFirstStoredSchedule() {
        QVERIFY(writeSettings(section(1, "2", "OSKBETA", "C:\\Copias\\b.obk", "6", "02:30")));
        BackupEditor editor(*m_engine, *m_settings, *m_operator);
        editor.load();

        const BackupEditorControls& shown = editor.controls();
        QCOMPARE(shown.type, BackupEditor::kWeekly);
        QCOMPARE(shown.database, 1); // matched without regard to case
        QVERIFY(shown.dayListFilled && shown.dayEnabled);
        QCOMPARE(BackupEditor::dayNames().at(shown.day), QStringLiteral("Domingo"));
        QCOMPARE(shown.hour, QStringLiteral("02"));
        QCOMPARE(shown.minute, QStringLiteral("30"));
        QCOMPARE(shown.file, QStringLiteral("C:\\Copias\\b.obk"));
        QVERIFY(shown.detailsEnabled);
    }

    void typeChangeSetsTheControls() {
        BackupEditor editor(*m_engine, *m_settings, *m_operator);
        editor.load();
        editor.selectDatabase(1);

        editor.selectType(BackupEditor::kDaily);
        BackupEditorControls shown = editor.controls();
        QCOMPARE(shown.hour, QStringLiteral("00"));
        QCOMPARE(shown.minute, QStringLiteral("00"));
        QCOMPARE(shown.database, 0);
        QCOMPARE(shown.day, -1);
        QVERIFY(shown.detailsEnabled && !shown.dayEnabled);

        editor.setHourText(QStringLiteral("5"));
        editor.selectType(BackupEditor::kWeekly);
        shown = editor.controls();
        QCOMPARE(shown.hour, QStringLiteral("5")); // only an empty box is filled in
        QVERIFY(shown.dayListFilled && shown.dayEnabled);
        QCOMPARE(shown.day, 0);

        editor.selectType(BackupEditor::kInactive);
        shown = editor.controls();
        QVERIFY(!shown.detailsEnabled && !shown.dayEnabled);
        QCOMPARE(shown.hour, QStringLiteral("5")); // kept, disabled
    }

    void activeScheduleWithoutFileCannotBeLeft() {
        BackupEditor editor(*m_engine, *m_settings, *m_operator);
        editor.load();
        editor.selectType(BackupEditor::kDaily);

        editor.selectBackup(1);
        QCOMPARE(editor.shownIndex(), 0);
        QCOMPARE(editor.controls().backup, 0);
        QCOMPARE(editor.controls().type, BackupEditor::kDaily);
        QCOMPARE(messages().size(), size_t(1));
        QCOMPARE(messages().front().text, kFileMissing);
        QCOMPARE(messages().front().icon, MessageIcon::Information);
        QCOMPARE(messages().front().title, kDefaultTitle);

        // Inactive, the same empty file is no obstacle.
        editor.selectType(BackupEditor::kInactive);
        editor.selectBackup(1);
        QCOMPARE(editor.shownIndex(), 1);
        QCOMPARE(messages().size(), size_t(1));
    }

    void editsSurviveSwitchesAndReachTheFileOnlyWithAceptar() {
        BackupEditor editor(*m_engine, *m_settings, *m_operator);
        editor.load();
        editor.selectType(BackupEditor::kDaily);
        editor.selectDatabase(1);
        editor.setHourText(QStringLiteral("7"));
        editor.setMinuteText(QStringLiteral("5"));
        editor.setFileText(QStringLiteral("C:\\Copias\\beta.obk"));

        editor.selectBackup(1);
        QCOMPARE(editor.controls().type, BackupEditor::kInactive);
        editor.selectBackup(0);
        const BackupEditorControls& shown = editor.controls();
        QCOMPARE(shown.type, BackupEditor::kDaily);
        QCOMPARE(shown.database, 1);
        QCOMPARE(shown.hour, QStringLiteral("07"));
        QCOMPARE(shown.minute, QStringLiteral("05"));
        QCOMPARE(shown.file, QStringLiteral("C:\\Copias\\beta.obk"));
        QVERIFY(!m_settings->exists());

        QVERIFY(editor.accept());
        QCOMPARE(readFileBytes(m_settings->path()),
                 section(1, "1", "oskbeta", "C:\\Copias\\beta.obk", "0", "07:05") + inactive(2) +
                     inactive(3));
        QVERIFY(messages().empty());
        // What the main window reloads afterwards.
        const BackupSchedules reloaded = loadBackupSchedules(*m_settings, true, m_operator->scripted);
        QCOMPARE(reloaded[0].Type, 1);
        QCOMPARE(reloaded[0].Hour, QTime(7, 5));
        QCOMPARE(reloaded[0].OutputFile, QStringLiteral("C:\\Copias\\beta.obk"));
        QCOMPARE(reloaded[1].Type, 0);
    }

    void badTimeIsRefused_data() {
        QTest::addColumn<QString>("hour");
        QTest::addColumn<QString>("minute");
        QTest::addColumn<QString>("message");

        const QString badHour = QStringLiteral("Información de hora incorrecta.");
        const QString badMinute = QStringLiteral("Información de minuto incorrecta.");
        QTest::newRow("hour 24") << "24"
                                 << "00" << badHour;
        QTest::newRow("hour -1") << "-1"
                                 << "00" << badHour;
        QTest::newRow("hour ab") << "ab"
                                 << "00" << badHour;
        QTest::newRow("hour empty") << ""
                                    << "00" << badHour;
        QTest::newRow("minute 60") << "23"
                                   << "60" << badMinute;
        QTest::newRow("minute x") << "23"
                                  << "x" << badMinute;
    }

    void badTimeIsRefused() {
        QFETCH(QString, hour);
        QFETCH(QString, minute);
        QFETCH(QString, message);
        BackupEditor editor(*m_engine, *m_settings, *m_operator);
        editor.load();
        editor.selectType(BackupEditor::kDaily);
        editor.setFileText(QStringLiteral("C:\\a.obk"));
        editor.setHourText(hour);
        editor.setMinuteText(minute);

        QVERIFY(!editor.accept());
        QVERIFY(!editor.validateHour() || !editor.validateMinute());
        editor.selectBackup(1); // leaving is refused the same way
        QCOMPARE(editor.shownIndex(), 0);
        QVERIFY(!m_settings->exists());
        QCOMPARE(messages().size(), size_t(3));
        for (const ShownMessage& shown : messages()) {
            QCOMPARE(shown.text, message);
            QCOMPARE(shown.icon, MessageIcon::Information);
        }
    }

    void weeklyWritesItsWeekdayAndDailyKeepsItsLastDay() {
        QVERIFY(writeSettings(section(2, "2", "oskalfa", "C:\\b.obk", "4", "03:00")));
        BackupEditor editor(*m_engine, *m_settings, *m_operator);
        editor.load();
        editor.selectType(BackupEditor::kWeekly);
        editor.selectDay(6);
        editor.setFileText(QStringLiteral("C:\\a.obk"));
        editor.selectBackup(1);
        editor.selectType(BackupEditor::kDaily);

        QVERIFY(editor.accept());
        QCOMPARE(readFileBytes(m_settings->path()),
                 section(2, "1", "oskalfa", "C:\\b.obk", "4", "03:00") +
                     section(1, "2", "oskalfa", "C:\\a.obk", "6", "00:00") + inactive(3));
    }

    void inactiveScheduleIsWrittenEmpty() {
        QVERIFY(writeSettings(section(1, "1", "oskalfa", "C:\\a.obk", "3", "04:15")));
        BackupEditor editor(*m_engine, *m_settings, *m_operator);
        editor.load();
        editor.selectType(BackupEditor::kInactive);

        QVERIFY(editor.accept());
        QCOMPARE(readFileBytes(m_settings->path()), inactive(1) + inactive(2) + inactive(3));
        // The record keeps its values until written; only the file forgets them.
        QCOMPARE(editor.schedules()[0].DataBase, QStringLiteral("oskalfa"));
    }

    void fileDialogStartsAtTheTextAndCancelKeepsIt() {
        BackupEditor editor(*m_engine, *m_settings, *m_operator);
        editor.load();
        editor.selectType(BackupEditor::kDaily);
        editor.setFileText(QStringLiteral("C:\\old.obk"));
        m_operator->scripted.fileAnswers = {QStringLiteral("C:\\new.obk")};

        editor.chooseFile();
        QCOMPARE(editor.controls().file, QStringLiteral("C:\\new.obk"));
        editor.chooseFile(); // cancelled
        QCOMPARE(editor.controls().file, QStringLiteral("C:\\new.obk"));
        const QString filter = QStringLiteral("Archivos de copia de seguridad (*.obk)|*.obk");
        QCOMPARE(m_operator->saveDialogs,
                 QList<QStringList>({{QStringLiteral("obk"), filter, QStringLiteral("C:\\old.obk")},
                                     {QStringLiteral("obk"), filter, QStringLiteral("C:\\new.obk")}}));
    }

    // A disk that fills up during the save (a file size limit, which holds for root too): the
    // operator is told which file and why, and the file keeps every section as it was, not the
    // first of the new ones.
    void saveFailureIsToldAndChangesNothing() {
#ifdef Q_OS_UNIX
        const QByteArray before = section(1, "1", "oskalfa", "C:\\a.obk", "0", "04:15");
        QVERIFY(writeSettings(before));
        BackupEditor editor(*m_engine, *m_settings, *m_operator);
        editor.load();
        editor.selectBackup(1);
        editor.selectType(BackupEditor::kDaily);
        editor.setFileText(QStringLiteral("C:\\b.obk"));

        rlimit previous{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = previous;
        small.rlim_cur = rlim_t(before.size() + 40);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        auto restore = qScopeGuard([&] {
            setrlimit(RLIMIT_FSIZE, &previous);
            std::signal(SIGXFSZ, previousHandler);
        });
        QVERIFY(editor.accept()); // the dialog closes all the same
        restore.dismiss();
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);

        QCOMPARE(readFileBytes(m_settings->path()), before);
        QCOMPARE(messages().size(), size_t(1));
        const QString prefix = QStringLiteral("Imposible Guardar parámetros.\r\n\r\nNo se puede escribir el "
                                              "archivo '%1': ")
                                   .arg(m_settings->path());
        QVERIFY2(messages().front().text.startsWith(prefix), qPrintable(messages().front().text));
        QVERIFY(messages().front().text.size() > prefix.size());
        QCOMPARE(messages().front().icon, MessageIcon::Information);
#else
        QSKIP("needs a file size limit");
#endif
    }

    // Without a database list an active schedule keeps the database it had.
    void failedDatabaseListIsToldAndKeepsStoredNames() {
        QVERIFY(writeSettings(section(1, "1", "oskalfa", "C:\\a.obk", "0", "04:15")));
        FakeEngine failing;
        BackupEditor editor(failing, *m_settings, *m_operator);
        editor.load();

        QCOMPARE(messages().size(), size_t(1));
        QCOMPARE(messages().front().text, QStringLiteral("CargaComboBDERRORnot in this test"));
        QCOMPARE(messages().front().icon, MessageIcon::Exclamation);
        QCOMPARE(messages().front().title, kDefaultTitle);
        QVERIFY(editor.databases().isEmpty());
        QCOMPARE(editor.controls().database, -1);

        editor.selectType(BackupEditor::kWeekly);
        QCOMPARE(editor.controls().database, -1);
        QVERIFY(editor.accept());
        QCOMPARE(readFileBytes(m_settings->path()),
                 section(1, "2", "oskalfa", "C:\\a.obk", "0", "04:15") + inactive(2) + inactive(3));
    }

    // A type the list cannot show is shown as weekly, as it runs; a weekday beyond Sunday is
    // shown as none and kept.
    void unusualStoredValues() {
        QVERIFY(writeSettings(section(1, "7", "oskalfa", "C:\\a.obk", "9", "04:15") +
                              section(2, "3", "oskbeta", "C:\\b.obk", "1", "05:00")));
        BackupEditor editor(*m_engine, *m_settings, *m_operator);
        editor.load();
        QCOMPARE(editor.controls().type, BackupEditor::kWeekly);
        QCOMPARE(editor.controls().day, -1);

        QVERIFY(editor.accept());
        const QByteArray written = readFileBytes(m_settings->path());
        QVERIFY(written.startsWith(section(1, "2", "oskalfa", "C:\\a.obk", "9", "04:15") +
                                   section(2, "3", "oskbeta", "C:\\b.obk", "1", "05:00")));
    }

    // The schedule is kept, and the operator learns now, not from a backup that fails at night.
    void unwritableOutputFolderIsSaidAfterTheSave() {
        BackupEditor editor(*m_engine, *m_settings, *m_operator);
        editor.load();
        editor.selectType(BackupEditor::kDaily);
        editor.setFileText(m_folder->file(QStringLiteral("gone/alfa.obk")));

        QVERIFY(editor.accept());
        QCOMPARE(readFileBytes(m_settings->path()),
                 section(1, "1", "oskalfa",
                         QFile::encodeName(m_folder->file(QStringLiteral("gone/alfa.obk"))), "0", "00:00") +
                     inactive(2) + inactive(3));
        QCOMPARE(messages().size(), size_t(1));
        QCOMPARE(messages().back().text,
                 QStringLiteral("Copia de Seguridad 1: No se puede escribir en la carpeta ") +
                     m_folder->file(QStringLiteral("gone")) +
                     QStringLiteral(": la copia de seguridad no podrá guardarse."));
        QCOMPARE(messages().back().icon, MessageIcon::Exclamation);
    }

private:
    const std::vector<ShownMessage>& messages() const {
        return m_operator->scripted.messages;
    }
    bool writeSettings(const QByteArray& bytes) {
        return writeFileBytes(m_settings->path(), bytes);
    }

    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<EmbeddedEngine> m_engine;
    std::unique_ptr<ProfileFile> m_settings;
    std::unique_ptr<FileDialogOperator> m_operator;
};

QTEST_GUILESS_MAIN(TestBackupEditor)
#include "test_backup_editor.moc"
