#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QLocalSocket>
#include <QString>
#include <optional>

namespace osk::ctl {

// The exit statuses of oskserverctl, one per way a command can end.
enum ExitStatus {
    kExitOk = 0,
    kExitRefused = 1,
    kExitUsage = 2,
    kExitNoServer = 3,
    kExitNoPermission = 4,
};

// One connection to a running server's control socket: a request out, lines of JSON back.
class ControlClient final {
public:
    // The connection's failure as an exit status and a one-line reason; kExitOk when connected.
    struct Connected {
        ExitStatus status = kExitOk;
        QString reason;
    };

    Connected connectTo(const QString& path);
    void send(const QJsonObject& request);
    // The next line, or nothing once the server has closed the connection (or within the wait,
    // when timeoutMs is not -1). An unreadable line counts as the end.
    std::optional<QJsonObject> nextLine(int timeoutMs = -1);
    // The raw text of the last line read, for --json.
    const QByteArray& lastRawLine() const { return m_lastRaw; }
    bool isOpen() const {
        return m_socket.state() == QLocalSocket::ConnectedState || m_socket.bytesAvailable() > 0;
    }
    void close() { m_socket.abort(); }

private:
    QLocalSocket m_socket;
    QByteArray m_lastRaw;
};

} // namespace osk::ctl
