#include "shell/about_dialog.h"

#include "common/operator.h"
#include "shell/dialog_display.h"
#include "shell/qt_operator.h"
#include "shell/shell_icons.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace osk {

namespace {

const QString kTitle = QStringLiteral("Osk Server");
const QString kDescription =
    QStringLiteral("Servidor de módulos, accesos y usuarios para aplicaciones Osk 2.0");
const QString kEmail = QStringLiteral("Correo: equipo-osk@example.com");
const QString kWeb = QStringLiteral("Web: https://www.example.com/oskserver");
const QString kDisclaimer =
    QStringLiteral("Advertencia: este programa se entrega tal cual, sin garantía de ningún tipo. "
                   "Quien lo utiliza asume los riesgos de su uso; sus autores no responden de los "
                   "daños ni de la pérdida de datos que pudiera causar.");
const QString kNoSystemInfo = QStringLiteral("La información del sistema no está disponible en este momento");
constexpr int kPictureSize = 48;
constexpr int kTextWidth = 320;

QLabel* namedLabel(const QString& name, const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

QFrame* separator(const QString& name, QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setObjectName(name);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QLabel* contactLabel(const QString& name, const QString& text, QWidget* parent) {
    QLabel* label = namedLabel(name, text, parent);
    QFont font = label->font();
    font.setUnderline(true);
    label->setFont(font);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

AboutDialog::AboutDialog(QWidget* parent)
    : AboutDialog(static_cast<Operator*>(nullptr), parent) {}

AboutDialog::AboutDialog(Operator& op, QWidget* parent)
    : AboutDialog(&op, parent) {}

AboutDialog::AboutDialog(Operator* op, QWidget* parent)
    : QDialog(parent)
    , m_operator(op) {
    if (!m_operator) {
        auto own = std::make_unique<QtOperator>();
        own->setParentWindow(this);
        m_operator = own.get();
        m_ownOperator = std::move(own);
    }
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("Acerca de Osk Server"));
    build();
    centreOnScreen(*this);
}

AboutDialog::~AboutDialog() = default;

QString AboutDialog::versionText() {
    return QStringLiteral("Versión %1.%2.%3")
        .arg(OSK_VERSION_MAJOR)
        .arg(OSK_VERSION_MINOR)
        .arg(OSK_VERSION_PATCH);
}

void AboutDialog::startSystemInfo() {
    if (!m_systemInfo.start())
        m_operator->showMessage(kNoSystemInfo, MessageIcon::None, kDefaultTitle);
}

void AboutDialog::build() {
    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("Picture1"));
    picture->setPixmap(icons::program().pixmap(kPictureSize));
    picture->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    QLabel* title = namedLabel(QStringLiteral("lblTitle"), kTitle, this);
    QFont titleFont = title->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
    title->setFont(titleFont);
    QLabel* description = namedLabel(QStringLiteral("lblDescription"), kDescription, this);
    description->setWordWrap(true);
    description->setMinimumWidth(kTextWidth);

    auto* heading = new QVBoxLayout;
    heading->addWidget(title);
    heading->addWidget(namedLabel(QStringLiteral("lblVersion"), versionText(), this));
    heading->addWidget(description);
    auto* top = new QHBoxLayout;
    top->addWidget(picture);
    top->addLayout(heading, 1);

    QLabel* disclaimer = namedLabel(QStringLiteral("lblDisclaimer"), kDisclaimer, this);
    disclaimer->setWordWrap(true);
    disclaimer->setMinimumWidth(kTextWidth);

    auto* ok = new QPushButton(QStringLiteral("Aceptar"), this);
    ok->setObjectName(QStringLiteral("cmdOK"));
    ok->setDefault(true);
    auto* sysInfo = new QPushButton(QStringLiteral("&Info. sistema..."), this);
    sysInfo->setObjectName(QStringLiteral("cmdSysInfo"));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(sysInfo, &QPushButton::clicked, this, &AboutDialog::startSystemInfo);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(ok);
    buttons->addWidget(sysInfo);
    buttons->addStretch();
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(disclaimer, 1);
    bottom->addLayout(buttons);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(separator(QStringLiteral("Line1"), this));
    layout->addWidget(contactLabel(QStringLiteral("lblEmail"), kEmail, this));
    layout->addWidget(contactLabel(QStringLiteral("lblWeb"), kWeb, this));
    layout->addWidget(separator(QStringLiteral("Line2"), this));
    layout->addLayout(bottom);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

} // namespace osk
