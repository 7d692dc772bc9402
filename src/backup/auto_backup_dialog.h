#pragma once

#include "backup/backup_editor.h"

#include <QDialog>

class QComboBox;
class QLineEdit;
class QPushButton;

namespace osk {

class Engine;
class Operator;
class ProfileFile;

// frmAutoBackup: the modal editor of the three backup schedules. The behaviour lives in
// BackupEditor; the widgets show its state and hand it the operator's actions. The schedules are
// read when the dialog is built and written to the settings file only by Aceptar; the caller
// reloads its own copy once exec() returns, whichever button closed the dialog.
class AutoBackupDialog final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AutoBackupDialog)

public:
    AutoBackupDialog(Engine& engine, ProfileFile& settings, Operator& op, QWidget* parent = nullptr);

    BackupEditor& editor() { return m_editor; }

protected:
    // The dialog previews the keys of all its controls, and checks a time box when it is left.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void connectControls();
    void refresh();
    bool previewKey(QObject* watched, int key);
    void validateLeftBox(QLineEdit* box);
    void pressAceptar();
    void centreOnScreen();

    BackupEditor m_editor;
    QComboBox* m_cboBackup = nullptr;
    QComboBox* m_cboDB = nullptr;
    QComboBox* m_cboType = nullptr;
    QComboBox* m_cboDay = nullptr;
    QLineEdit* m_txtHour = nullptr;
    QLineEdit* m_txtMinute = nullptr;
    QLineEdit* m_txtFile = nullptr;
    QPushButton* m_cmdFile = nullptr;
    QPushButton* m_cmdAceptar = nullptr;
    QPushButton* m_cmdCancelar = nullptr;
    bool m_validating = false;
};

} // namespace osk
