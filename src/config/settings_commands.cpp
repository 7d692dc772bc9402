#include "config/settings_commands.h"

#include "common/operator.h"
#include "common/vb.h"
#include "config/main_settings.h"
#include "config/profile_file.h"

#include <QCoreApplication>
#include <QDir>
#include <cmath>

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
    // The value taken is the language's conversion of the whole answer, which knows the locale's
    // separators, a currency sign and "&H"; Val above reads only the number at its start.
    const std::optional<double> value = vb::toNumber(answer);
    if (!value)
        return {PortAnswer::Outcome::Refused, currentPort};
    // Halves to even, as the language's conversions round. A port below 1 would be written into
    // every product database and then refused by the next start: it is as wrong as one too high.
    const double rounded = std::nearbyint(*value);
    if (rounded >= kFirstRefusedPort || rounded < 1)
        return {PortAnswer::Outcome::Refused, currentPort};
    return {PortAnswer::Outcome::Accepted, int(rounded)};
}

QString storedPortText(const QString& answer, int port) {
    // The load reads the port back with Val: an answer it would read otherwise ("1.033" under a
    // decimal comma, "$1033") is stored as the port it was taken for.
    return std::nearbyint(vb::val(answer)) == double(port) ? answer : QString::number(port);
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
    if (!store(kPortKey, storedPortText(answer, judged.port)))
        return std::nullopt;
    return judged.port;
}

void SettingsCommands::changeSqlServer(const QString& currentName) {
    QString name = currentName;
    if (!PideServidorSQL(m_operator, name))
        return;
    if (name == currentName)
        return;
    // Stored even where no name was remembered (the embedded engine's default), for a start with
    // the SQL Server engine. With no engine written in the file, a name would be that choice (the
    // engine rule): the engine that runs now is written with it, so the next start keeps it.
    const bool keepsEmbedded = chooseEngine(m_settings) == EngineKind::Embedded;
    QList<ProfileFile::Entry> entries{{kMainSection, kSqlServerKey, name}};
    if (keepsEmbedded)
        entries.append({kMainSection, kEngineKey, QStringLiteral("Embedded")});
    if (const Status written = m_settings.write(entries); !written) {
        showSettingsNotSaved(m_operator, m_settings.path(), written.error());
        return;
    }
    if (keepsEmbedded)
        m_operator.showMessage(
            QStringLiteral("El servidor SQL Server se usará cuando Osk Server arranque con el "
                           "motor SQL Server (Engine=SQLServer)."),
            MessageIcon::Information, kProductTitle);
    else
        showRestartNeeded(m_operator);
}

bool SettingsCommands::toggleAutoStart(bool checked) {
    return toggle(kAutoStartKey, checked);
}

bool SettingsCommands::toggleMinStart(bool checked) {
    return toggle(kMinStartKey, checked);
}

bool SettingsCommands::toggle(const QString& key, bool checked) {
    // The check mark mirrors the file: it moves only when the file holds the new state.
    const bool nowChecked = !checked;
    return store(key, nowChecked ? QStringLiteral("1") : QStringLiteral("0")) ? nowChecked : checked;
}

bool SettingsCommands::store(const QString& key, const QString& value) {
    const Status written = m_settings.write(kMainSection, key, value);
    if (!written)
        showSettingsNotSaved(m_operator, m_settings.path(), written.error());
    return written.ok();
}

void showRestartNeeded(Operator& op) {
    op.showMessage(QStringLiteral("Debe reiniciar Osk Server para que los cambios surtan efecto"),
                   MessageIcon::Information, kDefaultTitle);
}

} // namespace osk

namespace osk {

void showSettingsNotSaved(Operator& op, const QString& path, const QString& reason) {
    op.showMessage(QStringLiteral("No se ha podido guardar la configuración en el archivo '%1': %2")
                       .arg(QDir::toNativeSeparators(path), reason),
                   MessageIcon::Critical, kDefaultTitle);
}

} // namespace osk
