#pragma once

#include "control/control_protocol.h"
#include "core/command_states.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>
#include <functional>
#include <map>
#include <optional>

namespace osk {

class RequestOperator;
class StateWatch;
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
    // The reply comes later, as the next send(): the requests after this one wait for it.
    virtual void replyLater() = 0;
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
    // At most this many adds of web users wait for their password's hash at once.
    static constexpr int kMaxPendingHashes = 4;

    // What outlives a single connection (the watch the watchers share, the adds under way) is
    // parented to `owner`.
    ControlCommands(ServerCore& core, QDateTime startedAt, QObject& owner);

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
    QJsonObject traffic(Call& call);
    QJsonObject watch(Call& call);
    QJsonObject webUserAdd(Call& call);
    QJsonObject webUserRemove(Call& call);
    QJsonObject webUserList(Call& call);

    std::optional<QJsonObject> refusedByState(Command command) const;
    QString userOfSlot(int slot) const;
    QJsonArray userRows() const;
    QJsonObject serviceState() const;
    QJsonObject enabledCommands() const;
    std::optional<QJsonObject> refusedWhileUpdatingClients() const;
    WebUsers webUsers() const;
    StateWatch& sharedWatch();
    void storeWhenHashed(const QString& name, const QString& password, ControlPeer& peer);
    // The row of lstUsers whose user is exactly this one; -1 when nobody by that name is connected.
    int rowOfUser(const QString& user) const;
    bool isListed(const QString& database) const;
    QJsonObject scheduleJson(int index) const;

    ServerCore& m_core;
    QDateTime m_startedAt;
    std::map<QString, Entry> m_commands;
    QObject& m_owner;
    QPointer<StateWatch> m_watch;
    int m_watchers = 0;
    // One hash at a time: each takes 64 MiB while it runs.
    QThreadPool m_hashing;
    int m_pendingHashes = 0;
};

} // namespace osk
