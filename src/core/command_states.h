#pragma once

#include <QObject>
#include <array>

namespace osk {

// The commands whose enabled state the service start and stop, the load and the engine decide.
// The console binds its menu items to these; the names are the menu items'.
enum class Command {
    mnuIniciarServicio,
    mnuDetenerServicio,
    mnuSalir,
    mnuServicioPuerto,
    mnuDBActualizar,
    mnuAutoBackup,
    mnuSQL,
    mnuDBDownload,
    mnuDBUpload,
    mnuDBBackup,
    Count
};

class CommandStates final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CommandStates)

public:
    explicit CommandStates(QObject* parent = nullptr)
        : QObject(parent) {
        m_enabled.fill(true);
    }

    bool isEnabled(Command command) const { return m_enabled[size_t(command)]; }
    void setEnabled(Command command, bool enabled) {
        if (m_enabled[size_t(command)] == enabled)
            return;
        m_enabled[size_t(command)] = enabled;
        emit changed(command, enabled);
    }

signals:
    void changed(osk::Command command, bool enabled);

private:
    std::array<bool, size_t(Command::Count)> m_enabled{};
};

} // namespace osk
