#include "backup/auto_backup_dialog.h"
#include "config/profile_file.h"
#include "database/embedded_engine.h"
#include "shell/qt_operator.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QtTest>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>

using namespace osk;
using namespace osk::test;

class TestAutoBackupDialog final : public QObject {
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
        m_operator = std::make_unique<ScriptedOperator>();
        m_dialog = std::make_unique<AutoBackupDialog>(*m_engine, *m_settings, *m_operator);
    }

    void cleanup() {
        m_dialog.reset();
        m_operator.reset();
        m_settings.reset();
        m_engine.reset();
        m_folder.reset();
    }

    void showsEveryRowUnclipped() {
        m_dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
        QCOMPARE(m_dialog->windowTitle(), QStringLiteral("Programación Copias de Seguridad"));
        const QPoint offCentre =
            m_dialog->geometry().center() - m_dialog->screen()->availableGeometry().center();
        QVERIFY2(std::abs(offCentre.x()) <= 2 && std::abs(offCentre.y()) <= 2,
                 qPrintable(QStringLiteral("%1,%2").arg(offCentre.x()).arg(offCentre.y())));
        QCOMPARE(combo("cboBackup")->currentText(), QStringLiteral("Copia de Seguridad 1"));
        QCOMPARE(combo("cboType")->currentText(), QStringLiteral("Inactiva"));
        QCOMPARE(combo("cboDB")->count(), 2);
        QCOMPARE(m_dialog->findChild<QPushButton*>(QStringLiteral("cmdFile"))->text(), QStringLiteral("..."));

        // In reading order, row by row.
        QList<QLabel*> found = m_dialog->findChildren<QLabel*>();
        std::sort(found.begin(), found.end(), [](const QLabel* a, const QLabel* b) {
            const QPoint pa = a->mapTo(a->window(), a->rect().center());
            const QPoint pb = b->mapTo(b->window(), b->rect().center());
            return std::pair(pa.y(), pa.x()) < std::pair(pb.y(), pb.x());
        });
        QStringList labels;
        for (const QLabel* label : found) {
            labels << label->text();
            QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->text()));
        }
        QCOMPARE(labels,
                 QStringList({QStringLiteral("Copia"), QStringLiteral("Base de Datos"),
                              QStringLiteral("Tipo"), QStringLiteral("Dia"), QStringLiteral("Hora"),
                              QStringLiteral("hh"), QStringLiteral("mm"), QStringLiteral("Archivo")}));
        for (const QPushButton* button : m_dialog->findChildren<QPushButton*>())
            QVERIFY2(button->width() > button->fontMetrics().horizontalAdvance(button->text()) + 8,
                     qPrintable(button->text()));

        if (const QString folder = qEnvironmentVariable("OSK_SCREENSHOT_DIR"); !folder.isEmpty())
            m_dialog->grab().save(QDir(folder).filePath(QStringLiteral("frmAutoBackup.png")));
    }

    void widgetsFollowTheTypeChange() {
        combo("cboType")->setCurrentIndex(BackupEditor::kDaily);
        QCOMPARE(line("txtHour")->text(), QStringLiteral("00"));
        QCOMPARE(line("txtMinute")->text(), QStringLiteral("00"));
        QVERIFY(line("txtFile")->isEnabled() && combo("cboDB")->isEnabled());
        QCOMPARE(combo("cboDB")->currentText(), QStringLiteral("oskalfa"));
        QVERIFY(!combo("cboDay")->isEnabled());

        combo("cboType")->setCurrentIndex(BackupEditor::kWeekly);
        QVERIFY(combo("cboDay")->isEnabled());
        QCOMPARE(combo("cboDay")->count(), 7);
        QCOMPARE(combo("cboDay")->currentText(), QStringLiteral("Lunes"));

        // A refused switch puts the schedule list back on the schedule shown.
        combo("cboBackup")->setCurrentIndex(2);
        QCOMPARE(combo("cboBackup")->currentIndex(), 0);
        QCOMPARE(m_operator->messages.size(), size_t(1));
    }

    void enterAndF4PressAceptar_data() {
        QTest::addColumn<int>("key");
        QTest::newRow("Return") << int(Qt::Key_Return);
        QTest::newRow("Enter") << int(Qt::Key_Enter);
        QTest::newRow("F4") << int(Qt::Key_F4);
    }

    void enterAndF4PressAceptar() {
        QFETCH(int, key);
        m_dialog->show();
        combo("cboType")->setCurrentIndex(BackupEditor::kDaily);
        typeInto("txtHour", QStringLiteral("7"));
        typeInto("txtFile", QStringLiteral("C:\\a.obk"));

        QTest::keyClick(combo("cboDB"), Qt::Key(key));
        QCOMPARE(m_dialog->result(), int(QDialog::Accepted));
        QVERIFY(!m_dialog->isVisible());
        QVERIFY(readFileBytes(m_settings->path())
                    .startsWith("[Backup1]\r\nType=1\r\nDataBase=oskalfa\r\nOutPutFile=C:\\a.obk\r\nDay=0\r\n"
                                "Hour=07:00\r\n"));
    }

    void escapeCancelsWithoutWriting() {
        m_dialog->show();
        combo("cboType")->setCurrentIndex(BackupEditor::kDaily);
        typeInto("txtFile", QStringLiteral("C:\\a.obk"));

        QTest::keyClick(line("txtFile"), Qt::Key_Escape);
        QCOMPARE(m_dialog->result(), int(QDialog::Rejected));
        QVERIFY(!m_dialog->isVisible());
        QVERIFY(!m_settings->exists());
    }

    void f2InTheFileBoxOpensTheFileDialog() {
        combo("cboType")->setCurrentIndex(BackupEditor::kDaily);
        m_operator->fileAnswers = {QStringLiteral("C:\\x.obk"), QStringLiteral("C:\\y.obk")};

        QTest::keyClick(line("txtHour"), Qt::Key_F2);
        QCOMPARE(m_operator->fileAnswers.size(), size_t(2));
        QTest::keyClick(line("txtFile"), Qt::Key_F2);
        QCOMPARE(line("txtFile")->text(), QStringLiteral("C:\\x.obk"));

        combo("cboType")->setCurrentIndex(BackupEditor::kInactive);
        QTest::keyClick(line("txtFile"), Qt::Key_F2);
        QCOMPARE(m_operator->fileAnswers.size(), size_t(1));
    }

    // The message box takes the focus from the box it is about; that must not count as leaving it.
    void refusalMessageBoxDoesNotLoop() {
        QtOperator op;
        AutoBackupDialog dialog(*m_engine, *m_settings, op);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        auto* type = dialog.findChild<QComboBox*>(QStringLiteral("cboType"));
        auto* hour = dialog.findChild<QLineEdit*>(QStringLiteral("txtHour"));
        type->setCurrentIndex(BackupEditor::kDaily);
        hour->setFocus();
        hour->selectAll();
        QTest::keyClicks(hour, QStringLiteral("ab"));

        int boxes = 0;
        QTimer closer;
        connect(&closer, &QTimer::timeout, &closer, [&boxes] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                ++boxes;
                box->accept();
            }
        });
        closer.start(20);
        // Aceptar's own check, while the box has the focus.
        QTest::keyClick(hour, Qt::Key_Return);
        QCOMPARE(boxes, 1);
        QVERIFY(dialog.isVisible());
        // Leaving the box. (The offscreen platform gives the activation back only when asked.)
        dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QCOMPARE(QApplication::focusWidget(), hour);
        QTest::keyClick(hour, Qt::Key_Tab);
        QTRY_COMPARE(dialog.focusWidget(), hour);
        QTest::qWait(300);
        QCOMPARE(boxes, 2);
        QCOMPARE(dialog.focusWidget(), hour);

        // Cancelar may be reached whatever the box holds.
        dialog.findChild<QPushButton*>(QStringLiteral("cmdCancelar"))->setFocus(Qt::MouseFocusReason);
        QTest::qWait(100);
        QCOMPARE(boxes, 2);
    }

private:
    QComboBox* combo(const char* name) const { return m_dialog->findChild<QComboBox*>(QLatin1String(name)); }
    QLineEdit* line(const char* name) const { return m_dialog->findChild<QLineEdit*>(QLatin1String(name)); }

    void typeInto(const char* name, const QString& text) {
        line(name)->selectAll();
        QTest::keyClicks(line(name), text);
    }

    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<EmbeddedEngine> m_engine;
    std::unique_ptr<ProfileFile> m_settings;
    std::unique_ptr<ScriptedOperator> m_operator;
    std::unique_ptr<AutoBackupDialog> m_dialog;
};

QTEST_MAIN(TestAutoBackupDialog)
#include "test_auto_backup_dialog.moc"
