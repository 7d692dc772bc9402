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
// What "Main"/"Port" holds for an accepted answer: the answer as typed, unless the load's reading
// of it would give another port.
QString storedPortText(const QString& answer, int port);

// The commands of the service and database menus that change settings for the next start: each
// writes its value at once and restarts nothing. A write that fails is shown to the operator and
// changes nothing: no new port, no restart message, no new check mark.
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
    // False, the operator told why, when the file could not be written.
    bool store(const QString& key, const QString& value);

    ProfileFile& m_settings;
    Operator& m_operator;
};

// "Debe reiniciar Osk Server para que los cambios surtan efecto", for every command whose change
// waits for the next start.
void showRestartNeeded(Operator& op);

// The critical box for a settings write that failed: the file and the reason.
void showSettingsNotSaved(Operator& op, const QString& path, const QString& reason);

} // namespace osk
