#pragma once

#include <QString>

namespace osk {

// oskserverd's life: load as the console would, start the service at once, copy every event-log
// line to stdout, and on SIGTERM or SIGINT stop the service, save the log and end. The exit status
// tells a service manager whether the service ran and ended cleanly.
class HeadlessRunner final {
public:
    explicit HeadlessRunner(QString programFolder)
        : m_programFolder(std::move(programFolder)) {}

    // Runs the event loop until a stop signal; the process's exit status.
    int run();

private:
    QString m_programFolder;
};

// oskserverd --create-database: an empty product database in the embedded engine's folder, so that
// a new installation has something to try every command on. The process's exit status.
int createEmbeddedDatabase(const QString& programFolder, const QString& name);

} // namespace osk
