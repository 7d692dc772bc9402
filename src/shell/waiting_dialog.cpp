#include "shell/waiting_dialog.h"

#include "shell/dialog_display.h"
#include "shell/shell_icons.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>

namespace osk {

namespace {

constexpr int kPictureSize = 32;
constexpr int kMessageWidth = 260;

} // namespace

WaitingDialog::WaitingDialog(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
    , m_message(new QLabel(this)) {
    setObjectName(QStringLiteral("frmWaiting"));
    setWindowTitle(QStringLiteral("Osk Server"));

    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("Frame1"));
    frame->setFrameShape(QFrame::StyledPanel);
    auto* picture = new QLabel(frame);
    picture->setObjectName(QStringLiteral("Image1"));
    picture->setPixmap(icons::logKind(2).pixmap(kPictureSize));
    m_message->setParent(frame);
    m_message->setObjectName(QStringLiteral("lblMessage"));
    m_message->setWordWrap(true);
    m_message->setMinimumWidth(kMessageWidth);

    auto* row = new QHBoxLayout(frame);
    row->addWidget(picture, 0, Qt::AlignTop);
    row->addWidget(m_message, 1);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(frame);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void WaitingDialog::show(const QString& message) {
    m_message->setText(message);
    centreOnScreen(*this);
    QDialog::show();
    paintNow(*this);
}

void WaitingDialog::hide() {
    QDialog::hide();
}

QString WaitingDialog::message() const {
    return m_message->text();
}

} // namespace osk
