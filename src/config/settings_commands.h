#pragma once

#include <QString>
#include <optional>

namespace osk {

class Operator;
class ProfileFile;

// PideServidorSQL: asks for the SQL Server name, offering the current one. A non-empty answer
// becomes `name` and the result is true; otherwise `name` stays and the result is false. The
// settings file is left to the caller.
bool PideServidorSQL(Operator& op, QString& name);

// What the port command makes of the operator's answer.
struct PortAnswer {
    enum class Outcome { Unchanged, Refused, Accepted };
    Outcome outcome = Outcome::Unchanged;
    // The port to hold when accepted: the answer rounded as the language rounds, in a field wide
    // enough for the whole TCP range.
    int port = 0;
};
PortAnswer judgePortAnswer(const QString& answer, int currentPort);

// The commands of the service and database menus that change settings for the next start: each
// writes its value at once and restarts nothing.
class SettingsCommands final {
public:
    SettingsCommands(ProfileFile& settings, Operator& op);

    // mnuServicioPuerto: the new port when the operator gave one ("Main"/"Port" then holds the
    // answer as typed); nothing when the answer was the current port or was refused.
    std::optional<int> askPort(int currentPort);
    // mnuSQL: a new name is stored for the next start, with the restart message; the running
    // program keeps the name it started with.
    void changeSqlServer(const QString& currentName);
    // mnuAutoStart and mnuMinStart: the new check mark of the item, stored as "1" or "0".
    bool toggleAutoStart(bool checked);
    bool toggleMinStart(bool checked);

private:
    bool toggle(const QString& key, bool checked);

    ProfileFile& m_settings;
    Operator& m_operator;
};

// "Debe reiniciar Osk Server para que los cambios surtan efecto", for every command whose change
// waits for the next start.
void showRestartNeeded(Operator& op);

} // namespace osk
