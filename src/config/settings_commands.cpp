#include "config/settings_commands.h"

#include "common/operator.h"
#include "common/vb.h"
#include "config/main_settings.h"
#include "config/profile_file.h"

#include <QCoreApplication>
#include <cmath>
#include <limits>

namespace osk {

namespace {
constexpr double kFirstRefusedPort = 65501;
} // namespace

bool PideServidorSQL(Operator& op, QString& name) {
    const QString answer =
        op.askText(QStringLiteral("Introduzca el nombre del servidor SQL Server:"), kProductTitle, name);
    QCoreApplication::processEvents();
    if (answer.isEmpty())
        return false;
    name = answer;
    return true;
}

PortAnswer judgePortAnswer(const QString& answer, int currentPort) {
    if (vb::val(answer) == double(currentPort))
        return {PortAnswer::Outcome::Unchanged, currentPort};
    if (!vb::isNumeric(answer))
        return {PortAnswer::Outcome::Refused, currentPort};
    // Halves to even, as the language's conversions round. There is no lower bound: a port the
    // service cannot listen on is refused by the start, and 0 is replaced at the next load.
    const double rounded = std::nearbyint(vb::val(answer));
    if (rounded >= kFirstRefusedPort || rounded < double(std::numeric_limits<int>::min()))
        return {PortAnswer::Outcome::Refused, currentPort};
    return {PortAnswer::Outcome::Accepted, int(rounded)};
}

SettingsCommands::SettingsCommands(ProfileFile& settings, Operator& op)
    : m_settings(settings)
    , m_operator(op) {}

std::optional<int> SettingsCommands::askPort(int currentPort) {
    const QString answer = m_operator.askText(QStringLiteral("Indique nuevo puerto."), kProductTitle,
                                              QString::number(currentPort));
    const PortAnswer judged = judgePortAnswer(answer, currentPort);
    switch (judged.outcome) {
    case PortAnswer::Outcome::Unchanged:
        return std::nullopt;
    case PortAnswer::Outcome::Refused:
        m_operator.showMessage(QStringLiteral("Puerto Incorrecto"), MessageIcon::Information, kProductTitle);
        return std::nullopt;
    case PortAnswer::Outcome::Accepted:
        break;
    }
    m_settings.write(kMainSection, kPortKey, answer);
    return judged.port;
}

void SettingsCommands::changeSqlServer(const QString& currentName) {
    QString name = currentName;
    if (!PideServidorSQL(m_operator, name))
        return;
    if (name != currentName && !currentName.isEmpty()) {
        m_settings.write(kMainSection, kSqlServerKey, name);
        showRestartNeeded(m_operator);
    }
}

bool SettingsCommands::toggleAutoStart(bool checked) {
    return toggle(kAutoStartKey, checked);
}

bool SettingsCommands::toggleMinStart(bool checked) {
    return toggle(kMinStartKey, checked);
}

bool SettingsCommands::toggle(const QString& key, bool checked) {
    const bool nowChecked = !checked;
    m_settings.write(kMainSection, key, nowChecked ? QStringLiteral("1") : QStringLiteral("0"));
    return nowChecked;
}

void showRestartNeeded(Operator& op) {
    op.showMessage(QStringLiteral("Debe reiniciar Osk Server para que los cambios surtan efecto"),
                   MessageIcon::Information, kDefaultTitle);
}

} // namespace osk
