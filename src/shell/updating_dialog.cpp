#include "shell/updating_dialog.h"

#include "shell/dialog_display.h"

#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>
#include <algorithm>

namespace osk {

namespace {

const QString kUpdating = QStringLiteral("Actualizando...");
constexpr int kInitialMaximum = 100;
constexpr int kBarWidth = 300;

} // namespace

UpdatingDialog::UpdatingDialog(QWidget* parent)
    : QDialog(parent,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint)
    , m_progress(new QProgressBar(this))
    , m_caption(new QLabel(this)) {
    setObjectName(QStringLiteral("frmUpdating"));
    setWindowTitle(kUpdating);

    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("Frame1"));
    frame->setFrameShape(QFrame::StyledPanel);
    m_progress->setParent(frame);
    m_progress->setObjectName(QStringLiteral("pgbUpdate"));
    m_progress->setRange(0, kInitialMaximum);
    m_progress->setValue(0);
    m_progress->setTextVisible(false);
    m_progress->setMinimumWidth(kBarWidth);
    m_caption->setParent(frame);
    m_caption->setObjectName(QStringLiteral("lblCaption"));
    m_caption->setWordWrap(true);

    auto* column = new QVBoxLayout(frame);
    column->addWidget(m_progress);
    column->addWidget(m_caption);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(frame);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void UpdatingDialog::show() {
    m_caption->setText(kUpdating);
    centreOnScreen(*this);
    m_progress->setValue(1);
    QDialog::show();
    paintNow(*this);
}

void UpdatingDialog::setText(const QString& text) {
    m_caption->setText(text);
    paintNow(*this);
}

void UpdatingDialog::setMaximum(int maximum) {
    m_progress->setMaximum(std::max(maximum, 1));
    m_progress->setValue(1);
    paintNow(*this);
}

void UpdatingDialog::setValue(int value) {
    m_progress->setValue(value);
    paintNow(*this);
}

void UpdatingDialog::hide() {
    QDialog::hide();
}

} // namespace osk
