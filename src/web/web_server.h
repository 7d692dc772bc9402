#pragma once

#include "common/result.h"
#include "config/web_settings.h"
#include "control/control_commands.h"
#include "web/web_listener.h"
#include "web/web_page.h"
#include "web/web_sessions.h"

#include <QAbstractHttpServer>
#include <QSslConfiguration>
#include <QThreadPool>
#include <memory>
#include <set>
#include <vector>

class QHttpServerRequest;
class QTcpSocket;

namespace osk {

class ServerCore;
class WebSocketPeer;

// The web administration: the control socket's commands over HTTP(S) and a WebSocket, for an
// administrator on another computer, behind a login. Everything runs in the event loop like the
// rest of the service, except the password checks, which take a tenth of a second each and run on
// a thread of their own so that no session waits for them.
class WebServer final : public QAbstractHttpServer {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WebServer)

public:
    // Password checks waiting or running at once; more logins are asked to try again later.
    static constexpr int kMaxPendingLogins = 8;
    // Today's event log file is handed out whole, at most this large and this many at once.
    static constexpr qint64 kMaxLogFileBytes = 32 * 1024 * 1024;
    static constexpr int kMaxLogDownloads = 2;

    WebServer(ServerCore& core, WebSettings settings, QObject* parent = nullptr);
    ~WebServer() override;

    // Listens as the settings say; the reason, naming the setting, when it cannot.
    Status start();
    quint16 port() const;
    int openConnections() const { return m_limits.openConnections(); }
    int webSocketCount() const { return int(m_webSockets.size()); }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    class CommandPeer;
    struct Reply {
        int status = 200;
        QByteArray contentType;
        QByteArray body;
        std::vector<std::pair<QByteArray, QByteArray>> headers;
    };
    struct Refusal {
        int status = 0; // 0: none
        QString reason;
    };

    void login(const QHttpServerRequest& request, QTcpSocket* socket);
    void finishLogin(QTcpSocket* socket, const QHttpServerRequest* request, const QHostAddress& address,
                     const QString& user, bool verified);
    void logout(const QHttpServerRequest& request, QTcpSocket* socket);
    WebSessions::Session* actingSession(const QHttpServerRequest& request, QTcpSocket* socket);
    void command(const QString& name, const QHttpServerRequest& request, QTcpSocket* socket);
    void logFile(const QHttpServerRequest& request, QTcpSocket* socket);
    void metrics(const QHttpServerRequest& request, QTcpSocket* socket);
    Refusal webSocketRefusal(const QHttpServerRequest& request);
    void onWebSocket();
    void dropWebSocket(WebSocketPeer* gone);
    void releaseWebSocket(WebSocketPeer* gone);
    void answer(QTcpSocket* socket, const QHttpServerRequest& request, Reply reply);
    void answerJson(QTcpSocket* socket, const QHttpServerRequest& request, int status,
                    const QJsonObject& body);
    void finishCommand(CommandPeer* peer);
    QString callerName(const QString& user, const QHostAddress& address) const;
    // The certificate and key of the settings, read and checked.
    Result<QSslConfiguration> tlsConfiguration() const;

    ServerCore& m_core;
    WebSettings m_settings;
    WebConnectionLimits m_limits;
    ControlCommands m_commands;
    WebSessions m_sessions;
    LoginThrottle m_throttle;
    WebPage m_page;
    int m_logDownloads = 0;
    QThreadPool m_passwordChecks;
    int m_pendingLogins = 0;
    std::set<QString> m_addressesLoggingIn;
    std::vector<std::unique_ptr<CommandPeer>> m_waitingCommands;
    std::vector<std::unique_ptr<WebSocketPeer>> m_webSockets;
};

// The web administration as the settings file asks: none while it is off; the reason, naming the
// setting, when it is on and cannot be served.
Status startWebAdministration(ServerCore& core, std::unique_ptr<WebServer>& server);

} // namespace osk
