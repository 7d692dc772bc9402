#pragma once

#include <QSslServer>
#include <QTcpServer>
#include <memory>

class QTcpSocket;

namespace osk {

// What every web connection is held to, before the HTTP server reads a byte of it: at most
// kMaxConnections at once (more are closed at once), a request of at most kMaxRequestBytes (a
// larger one is answered 413 and the connection closed, so that no body is ever held whole), and
// kIdleMs from the last answer (or the connection) to the next whole request, unless an answer is
// still being prepared. A connection that has become a WebSocket is only counted.
class WebConnectionLimits final {
public:
    static constexpr int kMaxConnections = 64;
    static constexpr qint64 kMaxBodyBytes = 1024 * 1024;
    // The body and room for the request line and headers.
    static constexpr qint64 kMaxRequestBytes = kMaxBodyBytes + 64 * 1024;
    static constexpr int kIdleMs = 30 * 1000;

    explicit WebConnectionLimits(const QObject& httpServer);

    // Whether one more connection may come in.
    bool admits() const { return *m_open < kMaxConnections; }
    // Held to the limits from now until it is destroyed.
    void guard(QTcpSocket& socket) const;
    int openConnections() const { return *m_open; }

    // While an answer is being prepared the connection is not idle.
    static void setAnswering(QTcpSocket& socket, bool answering);

private:
    const QObject& m_httpServer;
    std::shared_ptr<int> m_open = std::make_shared<int>(0);
};

// The plain listener.
class WebTcpServer final : public QTcpServer {
public:
    WebTcpServer(const WebConnectionLimits& limits, QObject* parent);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    const WebConnectionLimits& m_limits;
};

// The HTTPS listener: a connection counts from its handshake's start.
class WebSslServer final : public QSslServer {
public:
    WebSslServer(const WebConnectionLimits& limits, QObject* parent);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    const WebConnectionLimits& m_limits;
};

} // namespace osk
