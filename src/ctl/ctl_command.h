#pragma once

#include "ctl/control_client.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>

namespace osk::ctl {

// One command line of oskserverctl, as parsed.
struct Invocation {
    QString command;
    QStringList arguments;
    bool json = false;
    QString saveFile;         // follow --save
    std::optional<int> lines; // log -n
    bool follow = false;      // log -f
    bool refresh = false;     // databases --refresh
    bool yes = false;         // delete-database --yes
};

// The request that a command line asks for; nothing, with the reason, when the line is wrong.
struct BuiltRequest {
    std::optional<QJsonObject> request;
    QString usageError;
};
BuiltRequest buildRequest(const Invocation& invocation);

// Sends the request and shows what comes back until the server has answered (or, for the commands
// that follow something, until it ends or the user interrupts). Returns the exit status.
int runCommand(const Invocation& invocation, const QJsonObject& request, ControlClient& client);

// Set from a signal handler: the user asked to stop following.
void requestInterrupt();

} // namespace osk::ctl
