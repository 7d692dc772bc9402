#pragma once

#include "control/control_protocol.h"
#include "core/command_states.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <functional>
#include <map>
#include <optional>

namespace osk {

class RequestOperator;
class WebUsers;
class ServerCore;

// The caller's end of one control connection, as a command sees it.
class ControlPeer {
public:
    virtual ~ControlPeer() = default;
    // One line to the caller: the reply, or an event of a command that keeps streaming.
    virtual void send(const QJsonObject& line) = 0;
    // Lines taken from `next` until it has none, each as the caller has read enough of the last
    // ones: for a reply too large to queue at once. What send() is given meanwhile follows them.
    virtual void sendPaced(std::function<std::optional<QJsonObject>()> next) = 0;
    // False while too many such replies are under way.
    virtual bool canSendPaced() const = 0;
    // The connection stays open after the reply: events follow until finish().
    virtual void keepOpen() = 0;
    // Closes the connection once what was sent has gone.
    virtual void finish() = 0;
    // Lives as long as the connection; what a streaming command connects dies with it.
    virtual QObject* context() = 0;
    // The caller's user name, as the system knows it.
    virtual QString caller() const = 0;
};

// The commands of the control socket. Each calls the core method that the console's menu item
// calls, under the enabled state that governs that item, and answers with one JSON object:
// {"ok": true, ...} or {"ok": false, "error": ...}, with the boxes the console would have shown in
// "messages". A command that changes something is written to the event log with its caller.
class ControlCommands final {
public:
    ControlCommands(ServerCore& core, QDateTime startedAt);

    void execute(const ControlRequest& request, ControlPeer& peer);
    bool knows(const QString& command) const { return m_commands.count(command) > 0; }

private:
    struct Call {
        const QJsonObject& arguments;
        ControlPeer& peer;
        RequestOperator& op;
    };
    using Handler = QJsonObject (ControlCommands::*)(Call&);
    struct Entry {
        Handler handler;
        bool changesState;
    };

    QJsonObject status(Call& call);
    QJsonObject start(Call& call);
    QJsonObject stop(Call& call);
    QJsonObject users(Call& call);
    QJsonObject disconnect(Call& call);
    QJsonObject follow(Call& call);
    QJsonObject log(Call& call);
    QJsonObject saveLog(Call& call);
    QJsonObject port(Call& call);
    QJsonObject sqlServer(Call& call);
    QJsonObject autostart(Call& call);
    QJsonObject databases(Call& call);
    QJsonObject deleteDatabase(Call& call);
    QJsonObject updateClients(Call& call);
    QJsonObject backups(Call& call);
    QJsonObject backupSet(Call& call);
    QJsonObject backupRun(Call& call);
    QJsonObject watch(Call& call);
    QJsonObject webUserAdd(Call& call);
    QJsonObject webUserRemove(Call& call);
    QJsonObject webUserList(Call& call);

    std::optional<QJsonObject> refusedByState(Command command) const;
    QString userOfSlot(int slot) const;
    QJsonArray userRows() const;
    QJsonObject serviceState() const;
    WebUsers webUsers() const;
    // The row of lstUsers whose user is exactly this one; -1 when nobody by that name is connected.
    int rowOfUser(const QString& user) const;
    bool isListed(const QString& database) const;
    QJsonObject scheduleJson(int index) const;

    ServerCore& m_core;
    QDateTime m_startedAt;
    std::map<QString, Entry> m_commands;
};

} // namespace osk
