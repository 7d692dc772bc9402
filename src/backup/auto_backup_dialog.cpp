#include "backup/auto_backup_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>
#include <type_traits>

namespace osk {

namespace {

constexpr int kFileBoxWidth = 320;

QComboBox* comboBox(const QString& name, QWidget* parent) {
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    return box;
}

QLineEdit* textBox(const QString& name, QWidget* parent) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(name);
    return box;
}

QPushButton* button(const QString& name, const QString& caption, QWidget* parent) {
    auto* cmd = new QPushButton(caption, parent);
    cmd->setObjectName(name);
    // Enter belongs to the dialog, not to whichever button has the focus.
    cmd->setAutoDefault(false);
    return cmd;
}

// Room for two digits and a sign, so that what the operator typed is seen when it is refused.
void fitTwoDigits(QLineEdit* box) {
    box->setMaxLength(2);
    const int text = box->fontMetrics().horizontalAdvance(QStringLiteral("000"));
    box->setFixedWidth(text + box->sizeHint().height());
}

void setItems(QComboBox* box, const QStringList& items) {
    QStringList current;
    for (int i = 0; i < box->count(); ++i)
        current << box->itemText(i);
    if (current == items)
        return;
    box->clear();
    box->addItems(items);
}

void setText(QLineEdit* box, const QString& text) {
    // Setting the same text again would move the cursor while the operator types.
    if (box->text() != text)
        box->setText(text);
}

// Focus moves that are the operator leaving the box for another control; the focus going to a
// message box or a pop-up is not.
bool leavesTheBox(Qt::FocusReason reason) {
    return reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason;
}

} // namespace

AutoBackupDialog::AutoBackupDialog(Engine& engine, ProfileFile& settings, Operator& op, QWidget* parent)
    : QDialog(parent)
    , m_editor(engine, settings, op) {
    setObjectName(QStringLiteral("frmAutoBackup"));
    setWindowTitle(QStringLiteral("Programación Copias de Seguridad"));
    setModal(true);
    buildControls();
    connectControls();
    m_editor.load();
    refresh();
    centreOnScreen();
}

void AutoBackupDialog::buildControls() {
    m_cboBackup = comboBox(QStringLiteral("cboBackup"), this);
    m_cboDB = comboBox(QStringLiteral("cboDB"), this);
    m_cboType = comboBox(QStringLiteral("cboType"), this);
    m_cboDay = comboBox(QStringLiteral("cboDay"), this);
    m_txtHour = textBox(QStringLiteral("txtHour"), this);
    m_txtMinute = textBox(QStringLiteral("txtMinute"), this);
    m_txtFile = textBox(QStringLiteral("txtFile"), this);
    m_cmdFile = button(QStringLiteral("cmdFile"), QStringLiteral("..."), this);
    m_cmdAceptar = button(QStringLiteral("cmdAceptar"), QStringLiteral("Aceptar"), this);
    m_cmdCancelar = button(QStringLiteral("cmdCancelar"), QStringLiteral("Cancelar"), this);

    m_cboBackup->addItems(BackupEditor::backupNames());
    m_cboType->addItems(BackupEditor::typeNames());
    fitTwoDigits(m_txtHour);
    fitTwoDigits(m_txtMinute);
    m_txtFile->setMinimumWidth(kFileBoxWidth);
    m_cmdFile->setFixedWidth(m_txtFile->sizeHint().height() * 2);

    auto* hour = new QHBoxLayout;
    hour->addWidget(m_txtHour);
    hour->addWidget(new QLabel(QStringLiteral("hh"), this));
    hour->addSpacing(8);
    hour->addWidget(m_txtMinute);
    hour->addWidget(new QLabel(QStringLiteral("mm"), this));
    hour->addStretch();

    auto* file = new QHBoxLayout;
    file->addWidget(m_txtFile, 1);
    file->addWidget(m_cmdFile);

    auto* rows = new QGridLayout;
    const auto addRow = [&](const QString& label, auto* control) {
        const int row = rows->rowCount();
        rows->addWidget(new QLabel(label, this), row, 0);
        if constexpr (std::is_base_of_v<QLayout, std::remove_pointer_t<decltype(control)>>)
            rows->addLayout(control, row, 1);
        else
            rows->addWidget(control, row, 1);
    };
    addRow(QStringLiteral("Copia"), m_cboBackup);
    addRow(QStringLiteral("Base de Datos"), m_cboDB);
    addRow(QStringLiteral("Tipo"), m_cboType);
    addRow(QStringLiteral("Dia"), m_cboDay);
    addRow(QStringLiteral("Hora"), hour);
    addRow(QStringLiteral("Archivo"), file);
    rows->setColumnStretch(1, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_cmdAceptar);
    buttons->addWidget(m_cmdCancelar);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(rows);
    layout->addSpacing(8);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    for (QWidget* control :
         std::initializer_list<QWidget*>{m_cboBackup, m_cboDB, m_cboType, m_cboDay, m_txtHour, m_txtMinute,
                                         m_txtFile, m_cmdFile, m_cmdAceptar, m_cmdCancelar}) {
        control->installEventFilter(this);
    }
}

void AutoBackupDialog::connectControls() {
    connect(&m_editor, &BackupEditor::controlsChanged, this, &AutoBackupDialog::refresh);
    connect(m_cboBackup, &QComboBox::currentIndexChanged, &m_editor, &BackupEditor::selectBackup);
    connect(m_cboType, &QComboBox::currentIndexChanged, &m_editor, &BackupEditor::selectType);
    connect(m_cboDB, &QComboBox::currentIndexChanged, &m_editor, &BackupEditor::selectDatabase);
    connect(m_cboDay, &QComboBox::currentIndexChanged, &m_editor, &BackupEditor::selectDay);
    connect(m_txtHour, &QLineEdit::textEdited, &m_editor, &BackupEditor::setHourText);
    connect(m_txtMinute, &QLineEdit::textEdited, &m_editor, &BackupEditor::setMinuteText);
    connect(m_txtFile, &QLineEdit::textEdited, &m_editor, &BackupEditor::setFileText);
    connect(m_cmdFile, &QPushButton::clicked, &m_editor, &BackupEditor::chooseFile);
    connect(m_cmdAceptar, &QPushButton::clicked, this, [this] {
        if (m_editor.accept())
            accept();
    });
    connect(m_cmdCancelar, &QPushButton::clicked, this, &QDialog::reject);
}

void AutoBackupDialog::refresh() {
    const BackupEditorControls& state = m_editor.controls();
    const QSignalBlocker backupBlocker(m_cboBackup);
    const QSignalBlocker typeBlocker(m_cboType);
    const QSignalBlocker databaseBlocker(m_cboDB);
    const QSignalBlocker dayBlocker(m_cboDay);

    m_cboBackup->setCurrentIndex(state.backup);
    m_cboType->setCurrentIndex(state.type);
    setItems(m_cboDB, m_editor.databases());
    m_cboDB->setCurrentIndex(state.database);
    setItems(m_cboDay, state.dayListFilled ? BackupEditor::dayNames() : QStringList());
    m_cboDay->setCurrentIndex(state.day);
    setText(m_txtHour, state.hour);
    setText(m_txtMinute, state.minute);
    setText(m_txtFile, state.file);

    for (QWidget* detail :
         std::initializer_list<QWidget*>{m_cboDB, m_txtHour, m_txtMinute, m_txtFile, m_cmdFile})
        detail->setEnabled(state.detailsEnabled);
    m_cboDay->setEnabled(state.dayEnabled);
}

bool AutoBackupDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress)
        return previewKey(watched, static_cast<QKeyEvent*>(event)->key());
    if (event->type() == QEvent::FocusOut && (watched == m_txtHour || watched == m_txtMinute) &&
        leavesTheBox(static_cast<QFocusEvent*>(event)->reason())) {
        validateLeftBox(static_cast<QLineEdit*>(watched));
    }
    return QDialog::eventFilter(watched, event);
}

bool AutoBackupDialog::previewKey(QObject* watched, int key) {
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Swallowed even when Aceptar cannot be pressed: no control ever sees Enter.
        pressAceptar();
        return true;
    case Qt::Key_F4:
        pressAceptar();
        return true;
    case Qt::Key_Escape:
        if (m_cmdCancelar->isEnabled())
            m_cmdCancelar->click();
        return true;
    case Qt::Key_F2:
        if (watched != m_txtFile)
            return false;
        if (m_cmdFile->isEnabled())
            m_cmdFile->click();
        return true;
    default:
        return false;
    }
}

void AutoBackupDialog::pressAceptar() {
    if (m_cmdAceptar->isEnabled())
        m_cmdAceptar->click();
}

// The box is checked when the focus moves to another control of the dialog, except Cancelar,
// which must close the dialog whatever the box holds. The message box takes the focus away from
// the dialog too; that move is not a leave, and m_validating keeps the check from running twice.
void AutoBackupDialog::validateLeftBox(QLineEdit* box) {
    QWidget* next = QApplication::focusWidget();
    if (m_validating || !box->isEnabled() || !next || next == m_cmdCancelar || !isAncestorOf(next))
        return;
    m_validating = true;
    const bool valid = box == m_txtHour ? m_editor.validateHour() : m_editor.validateMinute();
    m_validating = false;
    if (!valid) {
        // Taken back once the focus change under way has ended. A mouse press that moved the
        // focus reaches its control only after the message box, whose release it never gets:
        // that press is undone, so nothing the operator aimed at is left pressed or open.
        QTimer::singleShot(0, box, [this, box] {
            for (QPushButton* button : findChildren<QPushButton*>())
                button->setDown(false);
            for (QComboBox* list : findChildren<QComboBox*>())
                list->hidePopup();
            box->setFocus(Qt::OtherFocusReason);
        });
    }
}

void AutoBackupDialog::centreOnScreen() {
    adjustSize();
    if (const QScreen* display = screen())
        move(display->availableGeometry().center() - rect().center());
}

} // namespace osk
