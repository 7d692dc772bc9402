#pragma once

#include "control/control_commands.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

class QWebSocket;

namespace osk {
class ServiceMetrics;
}

namespace osk {

// One WebSocket of the web administration, as a command sees it: a control connection whose lines
// are messages. Each message is one request; replies and events go back one object per message.
// Nothing waits for the browser: a socket that leaves kMaxUnreadBytes unread is dropped.
class WebSocketPeer final : public ControlPeer {
public:
    static constexpr qint64 kMaxUnreadBytes = 4 * 1024 * 1024;
    static constexpr qint64 kMaxMessageBytes = 64 * 1024;
    // Requests that may wait for the reply before them; a socket that sends more is dropped.
    static constexpr int kMaxWaitingRequests = 64;

    // `gone` is called once, when the socket has closed or is to be dropped; the owner deletes this
    // later, from the event loop.
    WebSocketPeer(std::unique_ptr<QWebSocket> socket, ControlCommands& commands, ServiceMetrics& metrics,
                  QByteArray session, QString caller, std::function<void(WebSocketPeer*)> gone);
    ~WebSocketPeer() override;

    void send(const QJsonObject& line) override;
    void sendPaced(std::function<std::optional<QJsonObject>()> next) override;
    // One at a time: a second would take the place of the first's lines.
    bool canSendPaced() const override { return !m_paced; }
    void keepOpen() override { m_streaming = true; }
    void replyLater() override { m_awaitingReply = true; }
    void finish() override;
    QObject* context() override { return m_context.get(); }
    QString caller() const override { return m_caller; }

    const QByteArray& session() const { return m_session; }
    void close();
    // A command runs on this socket now: one that lets the event loop run meanwhile (the client
    // programs' copy, piece by piece) still uses it, however the socket has gone.
    bool isBusy() const { return m_busy; }
    // Called once the command that runs has ended; at once when none does.
    void whenIdle(std::function<void()> idle);

private:
    void onMessage(const QString& message);
    void takeUpWaiting();
    void pace();
    void onWritten();
    void drop();

    std::unique_ptr<QWebSocket> m_socket;
    ControlCommands& m_commands;
    ServiceMetrics& m_metrics;
    QTimer m_unreadCheck;
    QByteArray m_session;
    QString m_caller;
    std::function<void(WebSocketPeer*)> m_gone;
    std::unique_ptr<QObject> m_context;
    std::function<std::optional<QJsonObject>()> m_paced;
    QStringList m_afterPaced;
    qint64 m_afterPacedBytes = 0;
    // Requests that came while one waited for its reply, in order.
    QStringList m_waiting;
    bool m_awaitingReply = false;
    bool m_streaming = false;
    bool m_finished = false;
    bool m_goneCalled = false;
    bool m_busy = false;
    std::function<void()> m_whenIdle;
};

} // namespace osk
