#include "backup/auto_backup_dialog.h"
#include "backup_fakes.h"
#include "config/profile_file.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QComboBox>
#include <QLineEdit>
#include <QtTest>

using namespace osk;
using namespace osk::test;

// The dialog only mirrors the editor: its widgets follow the editor's state and its keys reach
// the editor's actions.
class TestAutoBackupDialog final : public QObject {
    Q_OBJECT

private slots:
    void widgetsAndKeysDriveTheEditor() {
        TempProgramFolder folder;
        FakeEngine engine;
        engine.databases = {QStringLiteral("oskalfa")};
        ProfileFile settings(folder.file(QStringLiteral("OskServer.INI")));
        ScriptedOperator op;
        AutoBackupDialog dialog(engine, settings, op);
        dialog.show();
        auto* type = dialog.findChild<QComboBox*>(QStringLiteral("cboType"));
        auto* day = dialog.findChild<QComboBox*>(QStringLiteral("cboDay"));
        auto* file = dialog.findChild<QLineEdit*>(QStringLiteral("txtFile"));

        type->setCurrentIndex(BackupEditor::kWeekly);
        QVERIFY(day->isEnabled() && file->isEnabled());
        QCOMPARE(day->currentText(), QStringLiteral("Lunes"));
        type->setCurrentIndex(BackupEditor::kDaily);
        QVERIFY(!day->isEnabled() && file->isEnabled());
        // A refused switch puts the list back on the schedule shown.
        auto* backup = dialog.findChild<QComboBox*>(QStringLiteral("cboBackup"));
        backup->setCurrentIndex(2);
        QCOMPARE(backup->currentIndex(), 0);

        auto* minute = dialog.findChild<QLineEdit*>(QStringLiteral("txtMinute"));
        minute->selectAll();
        QTest::keyClicks(minute, QStringLiteral("5"));
        QTest::keyClicks(file, QStringLiteral("C:\\a.obk"));
        QTest::keyClick(type, Qt::Key_Return);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(readFileBytes(settings.path())
                    .startsWith("[Backup1]\r\nType=1\r\nDataBase=oskalfa\r\nOutPutFile=C:\\a.obk\r\nDay=0\r\n"
                                "Hour=00:05\r\n"));
    }
};

QTEST_MAIN(TestAutoBackupDialog)
#include "test_auto_backup_dialog.moc"
